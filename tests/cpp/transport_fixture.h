// Helpers shared by the transport tests: polling with a deadline, a runtime
// per test, transports listening on loopback, connections made by hand (a
// peer handle over one end of a loopback socket pair, a RawPeer decoding
// frames on the other), and log capture. Loopback only. The raw peer and the
// message builder (tests/support) are shared with the fuzz targets.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
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
#include "message_builder.h"
#include "raw_peer.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/internal.h"
#include "wire/framing.h"

namespace vardimont::test {

using namespace std::chrono_literals;
using transport::NodeId;
using transport::ErrorReply;
using transport::RecentMailbox;
using transport::Transport;
using transport::TransportConfig;
using wire::WireMessage;

inline NodeId node_id(std::string_view text) {
  auto id = NodeId::parse(text);
  if (!id) throw std::invalid_argument("bad node id in test: " + std::string(text));
  return std::move(id).value();
}

// Settings with short intervals, for tests.
inline TransportConfig fast_config() {
  TransportConfig c;
  c.heartbeat_interval = transport::Duration::from_millis(30);
  c.peer_timeout = transport::Duration::from_millis(200);
  c.reconnect_interval = transport::Duration::from_millis(30);
  c.peer_queue_capacity = 64;
  return c;
}

// A connected loopback pair: an Asio socket on its own strand of `ex` (the
// transport's end) and a plain blocking socket (the far end).
struct SocketPair {
  asio::ip::tcp::socket local;
  RawPeer remote;
};

inline SocketPair loopback_pair(const async::Executor& ex) {
  using asio::ip::tcp;
  asio::io_context setup;  // synchronous accept only
  tcp::acceptor acceptor(setup, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  RawPeer remote = RawPeer::dial(acceptor.local_endpoint().port());
  if (!remote.valid()) throw std::runtime_error("connect: " + std::string(std::strerror(errno)));
  tcp::socket accepted(setup);
  acceptor.accept(accepted);
  tcp::socket local(asio::make_strand(ex));
  local.assign(tcp::v4(), accepted.release());
  return {std::move(local), std::move(remote)};
}

// A connection made by hand: a PeerHandle whose writer writes to one end of a
// loopback pair, registered in `t`'s peer table under `peer` by the
// registration rule, and a RawPeer on the other end.
struct HandMadeConnection {
  transport::PeerHandle handle;
  transport::ReadHalf read_half;  // keeps the transport's end open
  RawPeer remote;
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
  transport::PeerHandle h =
      transport::PeerHandle::spawn(peer, std::move(w), capacity, std::chrono::steady_clock::duration::max());
  return HandMadeConnection{std::move(h), std::move(r), std::move(pair.remote)};
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
  c.registered = register_connection(t, c.handle, outbound);
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
#include <future>
#include <variant>

#include "async/queue.h"

namespace vardimont::test {

// The events that the transport tests publish, count and expect.
using transport::Event;
using transport::MailboxFull;
using transport::PeerConnected;
using transport::PeerDisconnected;
using transport::PeerError;
using transport::ReconnectGaveUp;

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

// A raw peer that dials `t` and sends a Handshake from `id`, handed back once
// `registered()` holds; an invalid peer when the dial, the send or the wait
// failed. The second form waits until `t`'s peer table holds `id`.
template <class Pred>
RawPeer raw_peer_as(const Transport& t, const NodeId& id, Pred registered) {
  RawPeer p = RawPeer::dial(t.local_id().port);
  if (!p.valid() || !p.send(handshake_from(id.to_full())) || !eventually(registered)) return RawPeer();
  return p;
}
inline RawPeer raw_peer_as(const Transport& t, const NodeId& id) {
  return raw_peer_as(t, id, [&] { return t.has_peer(id); });
}

// Waits until `strand` has run everything posted to it before this call (a
// strand runs its handlers one at a time, in order); false at the deadline.
inline bool strand_reaches(const async::Executor& strand, std::chrono::milliseconds timeout = 10s) {
  auto reached = std::make_shared<std::promise<void>>();
  asio::post(strand, [reached] { reached->set_value(); });
  return reached->get_future().wait_for(timeout) == std::future_status::ready;
}

// The part of a log line after its time stamp, as the logger writes it for
// this event (level, target, message and fields).
inline std::string log_tail(log::Level level, std::string_view message,
                            std::initializer_list<log::Field> fields = {},
                            std::string_view target = log::TRANSPORT) {
  std::string line = log::format_line(level, target, message, fields, false);
  return line.substr(line.find(' '));
}

// A Data message with `text` as payload, sent from `from` to `to`'s actor.
inline bool send_text(const Transport& from, const NodeId& to, std::string_view actor, std::string_view text) {
  return from.send_data_bytes(to, actor, std::vector<std::uint8_t>(text.begin(), text.end()), std::nullopt,
                              std::nullopt)
      .ok();
}

inline std::string text_of(const WireMessage& m) { return {m.payload.begin(), m.payload.end()}; }

}  // namespace vardimont::test
