// Helpers shared by the transport tests: polling with a deadline, a runtime
// per test, transports listening on loopback, connections made by hand (a
// peer handle over one end of a loopback socket pair, a plain socket decoding
// frames on the other), and log capture. Loopback only.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "async/runtime.h"
#include "eventually.h"
#include "log/log.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/transport_state.h"
#include "wire/framing.h"

namespace vardimont::test {

using namespace std::chrono_literals;
using transport::NodeId;
using transport::Transport;
using transport::TransportConfig;
using wire::WireMessage;

inline NodeId node_id(std::string_view text) {
  auto id = NodeId::parse(text);
  if (!id) throw std::invalid_argument("bad node id in test: " + std::string(text));
  return std::move(id).value();
}

// A WireMessage built field by field, the others left at their defaults:
//   Msg().kind(wire::MessageKind::Error).payload("x").correlation(5)
class Msg {
 public:
  Msg& id(std::uint64_t v) { m_.msg_id = v; return *this; }
  Msg& version(std::uint8_t v) { m_.version = v; return *this; }
  Msg& src(std::string v) { m_.src = std::move(v); return *this; }
  Msg& dst(std::string v) { m_.dst_actor = std::move(v); return *this; }
  Msg& kind(wire::MessageKind v) { m_.kind = v; return *this; }
  Msg& payload(std::vector<std::uint8_t> v) { m_.payload = std::move(v); return *this; }
  Msg& payload(std::string_view v) { m_.payload.assign(v.begin(), v.end()); return *this; }
  Msg& reply_to(std::optional<std::string> v) { m_.reply_to = std::move(v); return *this; }
  Msg& correlation(std::optional<std::uint64_t> v) { m_.correlation_id = v; return *this; }
  operator WireMessage() const { return m_; }  // NOLINT(implicit)
  WireMessage get() const { return m_; }

 private:
  WireMessage m_;
};

// Settings with short intervals, for tests.
inline TransportConfig fast_config() {
  TransportConfig c;
  c.heartbeat_interval = transport::Duration::from_millis(30);
  c.peer_timeout = transport::Duration::from_millis(200);
  c.reconnect_interval = transport::Duration::from_millis(30);
  c.peer_queue_capacity = 64;
  return c;
}

// The number of descriptors this process has open.
inline std::size_t open_fd_count() {
  std::size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

// A plain blocking socket descriptor, closed on destruction.
class PlainSocket {
 public:
  PlainSocket() = default;
  explicit PlainSocket(int fd) : fd_(fd) {}
  PlainSocket(PlainSocket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  PlainSocket& operator=(PlainSocket&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~PlainSocket() { close(); }

  int fd() const noexcept { return fd_; }
  void close() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  // A new, unconnected TCP socket.
  static PlainSocket open(bool v6 = false) {
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    return PlainSocket(fd);
  }

  // Connects to `port` on 127.0.0.1 (or ::1 with `v6`).
  void connect(std::uint16_t port, bool v6 = false) const {
    int rc;
    if (v6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      a.sin6_addr = in6addr_loopback;
      rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) throw std::runtime_error("connect: " + std::string(std::strerror(errno)));
  }

  static PlainSocket connect_loopback(std::uint16_t port, bool v6 = false) {
    PlainSocket s = open(v6);
    s.connect(port, v6);
    return s;
  }

  void set_buffer_sizes(int bytes) const {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }

  void write_all(std::span<const std::uint8_t> bytes) const {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("send: " + std::string(std::strerror(errno)));
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
  }

  // Up to `max` bytes; an empty vector at the end of the stream (or on a
  // reset); nullopt when nothing arrived within `timeout`.
  std::optional<std::vector<std::uint8_t>> read_some(std::size_t max, std::chrono::milliseconds timeout) const {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return std::nullopt;
    std::vector<std::uint8_t> buf(max);
    ssize_t n;
    do {
      n = ::recv(fd_, buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
  }

 private:
  int fd_ = -1;
};

// The far end of a connection: decodes the frames that arrive on a plain
// socket, as a peer would.
class FrameReader {
 public:
  explicit FrameReader(PlainSocket s) : socket_(std::move(s)) {}

  PlainSocket& socket() noexcept { return socket_; }

  // The next message, or nullopt at the end of the stream or after `timeout`
  // without one.
  std::optional<WireMessage> next(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.empty() && !eof_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms || !pump(left)) break;
    }
    if (pending_.empty()) return std::nullopt;
    WireMessage m = std::move(pending_.front());
    pending_.pop_front();
    return m;
  }

  // Reads until the end of the stream; true if it came within `timeout`.
  // Messages that arrive before it are kept for next().
  bool reaches_eof(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms || !pump(left)) break;
    }
    return eof_;
  }

  // Reads exactly `n` bytes and feeds them to the decoder, however they are
  // framed; true once all have come. Lets a test hold the writer back and
  // then let exactly a known number of bytes through.
  bool take_bytes(std::size_t n, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (n > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      auto chunk = socket_.read_some(std::min<std::size_t>(n, 1 << 20), left);
      if (!chunk || chunk->empty()) return false;
      n -= chunk->size();
      feed(*chunk);
    }
    return true;
  }

  bool eof() const noexcept { return eof_; }
  const std::optional<wire::FrameError>& error() const noexcept { return error_; }

 private:
  // One read; false when nothing came in time.
  bool pump(std::chrono::milliseconds timeout) {
    auto chunk = socket_.read_some(1 << 16, timeout);
    if (!chunk) return false;
    if (chunk->empty()) {
      eof_ = true;
      return true;
    }
    feed(*chunk);
    return true;
  }

  void feed(std::span<const std::uint8_t> chunk) {
    if (error_) return;
    auto decoded = decoder_.decode(chunk);
    if (!decoded) {
      error_ = decoded.error();
      eof_ = true;
      return;
    }
    for (auto& m : decoded.value()) pending_.push_back(std::move(m));
  }

  PlainSocket socket_;
  wire::FrameDecoder decoder_;
  std::deque<WireMessage> pending_;
  bool eof_ = false;
  std::optional<wire::FrameError> error_;
};

// A connected loopback pair: an Asio socket on its own strand of `ex` (the
// transport's end) and a plain blocking socket (the far end).
struct SocketPair {
  asio::ip::tcp::socket local;
  PlainSocket remote;
};

inline SocketPair loopback_pair(const async::Executor& ex) {
  using asio::ip::tcp;
  asio::io_context setup;  // synchronous accept only
  tcp::acceptor acceptor(setup, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  PlainSocket remote = PlainSocket::connect_loopback(acceptor.local_endpoint().port());
  tcp::socket accepted(setup);
  acceptor.accept(accepted);
  tcp::socket local(asio::make_strand(ex));
  local.assign(tcp::v4(), accepted.release());
  return {std::move(local), std::move(remote)};
}

// A connection made by hand: a PeerHandle whose writer writes to one end of a
// loopback pair, registered in `t`'s peer table under `peer` by the
// registration rule, and a FrameReader on the other end.
struct HandMadeConnection {
  transport::PeerHandle handle;
  transport::ReadHalf read_half;  // keeps the transport's end open
  FrameReader remote;
  bool registered = false;
};

inline HandMadeConnection spawn_connection(const async::Executor& ex, const NodeId& peer, std::uint64_t capacity,
                                           int buffer_sizes = 0) {
  SocketPair pair = loopback_pair(ex);
  if (buffer_sizes > 0) {
    const asio::socket_base::send_buffer_size snd(buffer_sizes);
    pair.local.set_option(snd);
    pair.remote.set_buffer_sizes(buffer_sizes);
  }
  auto [r, w] = transport::split(std::move(pair.local));
  transport::PeerHandle h = transport::PeerHandle::spawn(peer, std::move(w), capacity);
  return HandMadeConnection{std::move(h), std::move(r), FrameReader(std::move(pair.remote))};
}

// Socket buffers small enough that a message of BIG_PAYLOAD bytes cannot be
// written until the far end reads it (pass to spawn_connection).
inline constexpr int SMALL_BUFFERS = 64 * 1024;
inline constexpr std::size_t BIG_PAYLOAD = 8 * 1024 * 1024;
inline constexpr std::size_t OCCUPY_PEEK = 16;

// Keeps the writer of `c` (made with SMALL_BUFFERS) busy: queues a message of
// BIG_PAYLOAD bytes and waits until its first bytes arrive, so the writer has
// built its batch and is writing; nothing sent after this joins that batch.
// The far end then holds OCCUPY_PEEK bytes of it; returns the message.
inline WireMessage occupy_writer(HandMadeConnection& c, std::uint64_t msg_id = 0) {
  WireMessage big;
  big.msg_id = msg_id;
  big.payload.assign(BIG_PAYLOAD, 'b');
  if (!c.handle.blocking_send(big).ok()) throw std::runtime_error("occupy_writer: queue closed");
  if (!c.remote.take_bytes(OCCUPY_PEEK)) throw std::runtime_error("occupy_writer: nothing written");
  return big;
}

// The bytes of `m`'s frame that follow what occupy_writer let through.
inline std::size_t rest_of_frame(const WireMessage& m) { return 4 + wire::encoded_body_len(m) - OCCUPY_PEEK; }

inline HandMadeConnection connect_by_hand(const Transport& t, const NodeId& peer, std::uint64_t capacity = 64,
                                          bool outbound = true) {
  HandMadeConnection c = spawn_connection(t.executor(), peer, capacity);
  c.registered = t.register_connection(c.handle, outbound);
  return c;
}

// Captures log lines for one test; restores "no subscriber" afterwards.
class LogCapture {
 public:
  explicit LogCapture(std::string_view filter = "trace") {
    auto lines = lines_;
    log::install_for_tests(std::make_shared<const log::Filter>(log::Filter::parse(filter, nullptr)), false,
                           [lines](std::string_view line) {
                             std::lock_guard lock(lines->mutex);
                             lines->items.emplace_back(line);
                           });
  }
  ~LogCapture() { log::install_for_tests(nullptr, false, {}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(lines_->mutex);
    return lines_->items;
  }
  std::size_t count_containing(std::string_view needle) const {
    std::lock_guard lock(lines_->mutex);
    std::size_t n = 0;
    for (const auto& l : lines_->items) n += l.find(needle) != std::string::npos;
    return n;
  }

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> items;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

// One runtime per test, and transports listening on 127.0.0.1 port 0.
class TransportTest : public ::testing::Test {
 protected:
  TransportTest() {
    auto rt = async::Runtime::create();
    if (!rt) throw std::runtime_error("runtime: " + rt.error());
    runtime_ = std::move(rt).value();
  }
  ~TransportTest() override { runtime_->shutdown_and_wait(); }

  async::Runtime& runtime() { return *runtime_; }

  Transport start(std::string name = "t", TransportConfig config = fast_config(), std::string host = "127.0.0.1") {
    auto t = runtime_->block_on(Transport::listen(NodeId{std::move(name), std::move(host), 0}, std::move(config)));
    if (!t) throw std::runtime_error("listen: " + t.error().message);
    return std::move(t).value();
  }

  // Drains the events received so far.
  static std::vector<transport::EventReceiver::Item> received(transport::EventReceiver& rx) {
    std::vector<transport::EventReceiver::Item> out;
    while (auto item = rx.try_recv()) out.push_back(std::move(*item));
    return out;
  }

 private:
  std::shared_ptr<async::Runtime> runtime_;
};

}  // namespace vardimont::test

// ===========================================================================
// Helpers for the dialling, reader, heartbeat, reconnection and integration
// tests: event trails, mailboxes, watched tasks and expected log lines.
// ===========================================================================

#include <atomic>
#include <variant>

#include "async/queue.h"

namespace vardimont::test {

// The events of one subscription, collected as the test polls them.
class EventTrail {
 public:
  explicit EventTrail(const Transport& t) : rx_(t.subscribe_events()) {}

  const std::vector<transport::Event>& events() {
    while (auto item = rx_.try_recv()) {
      if (auto* e = std::get_if<transport::Event>(&*item)) seen_.push_back(std::move(*e));
    }
    return seen_;
  }

  // Events of kind E (one of the variants carrying `peer`) for `peer`.
  template <class E>
  std::size_t count(const NodeId& peer) {
    std::size_t n = 0;
    for (const auto& e : events()) {
      if (const auto* x = std::get_if<E>(&e)) n += x->peer == peer;
    }
    return n;
  }
  template <class E>
  std::size_t count_all() {
    std::size_t n = 0;
    for (const auto& e : events()) n += std::holds_alternative<E>(e);
    return n;
  }

 private:
  transport::EventReceiver rx_;
  std::vector<transport::Event> seen_;
};

// An actor mailbox registered under `name`, drained by the test thread.
class TestMailbox {
 public:
  TestMailbox(const Transport& t, std::string name) {
    auto [tx, rx] = async::make_queue<WireMessage>(transport::MAILBOX_CAPACITY);
    t.register_actor(std::move(name), std::move(tx));
    rx_.emplace(std::move(rx));
  }

  // Everything delivered so far.
  const std::vector<WireMessage>& got() {
    while (auto m = rx_->try_recv()) got_.push_back(std::move(*m));
    return got_;
  }
  bool wait_for(std::size_t n, std::chrono::milliseconds timeout = 5s) {
    return eventually([&] { return got().size() >= n; }, timeout);
  }

 private:
  std::optional<async::Receiver<WireMessage>> rx_;
  std::vector<WireMessage> got_;
};

// Spawns `task` on `ex`; the flag turns true when the task has ended.
inline std::shared_ptr<std::atomic<bool>> spawn_watched(const async::Executor& ex, async::awaitable<void> task) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  asio::co_spawn(ex, std::move(task), [done](const std::exception_ptr&) { done->store(true); });
  return done;
}

// The part of a log line after its time stamp, as the logger writes it for
// this event (level, target, message and fields).
inline std::string log_tail(log::Level level, std::string_view message,
                            std::initializer_list<log::Field> fields = {},
                            std::string_view target = log::TRANSPORT) {
  std::string line = log::format_line(level, target, message, fields, false);
  return line.substr(line.find(' '));
}

inline std::vector<std::uint8_t> secret_bytes(std::string_view s) { return {s.begin(), s.end()}; }

// A Data message with `text` as payload, sent from `from` to `to`'s actor.
inline bool send_text(const Transport& from, const NodeId& to, std::string_view actor, std::string_view text) {
  return from.send_data_bytes(to, actor, std::vector<std::uint8_t>(text.begin(), text.end()), std::nullopt,
                              std::nullopt)
      .ok();
}

inline std::string text_of(const WireMessage& m) { return {m.payload.begin(), m.payload.end()}; }

}  // namespace vardimont::test
