// A raw test peer: plain blocking POSIX sockets on the loopback interface,
// driven from the test thread, that write exactly the bytes a test gives
// (frames, garbage, one byte per write) and read what a node sends back.
// Every wait has a deadline; nothing here touches the node's runtime.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "wire/auth.h"
#include "wire/framing.h"
#include "wire/message.h"

namespace vardimont::test {

using namespace std::chrono_literals;

// The loopback address with `port`.
inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A message of `kind` from `src`, as a node would build it.
inline wire::WireMessage raw_message(wire::MessageKind kind, std::string src, std::uint64_t msg_id = 1) {
  wire::WireMessage m;
  m.msg_id = msg_id;
  m.src = std::move(src);
  m.kind = kind;
  return m;
}

// A Handshake from `src`, with a proof made with `secret` when there is one.
inline wire::WireMessage raw_handshake(std::string src,
                                       std::optional<std::vector<std::uint8_t>> secret = std::nullopt) {
  wire::WireMessage m = raw_message(wire::MessageKind::Handshake, std::move(src));
  if (secret) {
    auto proof = wire::build_proof(*secret);
    m.payload.assign(proof.begin(), proof.end());
  }
  return m;
}

inline wire::WireMessage raw_data(std::string src, std::string dst_actor, std::string payload,
                                  std::uint64_t msg_id = 2) {
  wire::WireMessage m = raw_message(wire::MessageKind::Data, std::move(src), msg_id);
  m.dst_actor = std::move(dst_actor);
  m.payload.assign(payload.begin(), payload.end());
  return m;
}

inline std::vector<std::uint8_t> frame_of(const wire::WireMessage& m) {
  auto f = wire::encode_frame(m);
  return f.ok() ? std::move(f.value()) : std::vector<std::uint8_t>{};
}

// Concatenates frames (and raw bytes) into one chunk.
inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// One TCP connection, either dialled by the test or accepted from a node.
class RawPeer {
 public:
  explicit RawPeer(int fd = -1) : fd_(fd) {}
  RawPeer(RawPeer&& o) noexcept : fd_(std::exchange(o.fd_, -1)), decoder_(std::move(o.decoder_)) {}
  RawPeer& operator=(RawPeer&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = std::exchange(o.fd_, -1);
      decoder_ = std::move(o.decoder_);
    }
    return *this;
  }
  RawPeer(const RawPeer&) = delete;
  ~RawPeer() { close(); }

  // Connects to 127.0.0.1:`port`; an invalid peer (valid() false) on failure.
  static RawPeer dial(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return RawPeer();
    // Each write leaves as its own segment, so "one byte per write" reaches
    // the node as separate arrivals as far as the stack allows.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return RawPeer();
    }
    return RawPeer(fd);
  }

  bool valid() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }

  void close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Writes every byte; false when the connection failed.
  bool write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool write_bytewise(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (!write(bytes.subspan(i, 1))) return false;
    }
    return true;
  }
  bool send(const wire::WireMessage& m) { return write(frame_of(m)); }

  // The next message the node sent, or nullopt at the deadline, at the end of
  // the stream or on a frame that does not decode.
  std::optional<wire::WireMessage> read_message(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (!pending_.empty()) {
        wire::WireMessage m = std::move(pending_.front());
        pending_.erase(pending_.begin());
        return m;
      }
      std::uint8_t buf[4096];
      const ssize_t n = read_some(buf, sizeof buf, deadline);
      if (n <= 0) return std::nullopt;
      auto msgs = decoder_.decode(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
      if (!msgs.ok()) return std::nullopt;
      for (auto& m : msgs.value()) pending_.push_back(std::move(m));
    }
  }

  // The next message of `kind`, skipping others (heartbeats, mostly).
  std::optional<wire::WireMessage> read_kind(wire::MessageKind kind, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto m = read_message(left);
      if (!m) return std::nullopt;
      if (m->kind == kind) return m;
    }
  }

  // Waits until the node closes the connection (end of stream or reset),
  // discarding whatever it sends meanwhile; false at the deadline.
  bool wait_closed(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::uint8_t buf[4096];
      const ssize_t n = read_some(buf, sizeof buf, deadline);
      if (n == 0 || (n < 0 && errno != ETIMEDOUT)) return true;
      if (n < 0) return false;
    }
  }

 private:
  // One read; 0 at the end of the stream, -1 with errno ETIMEDOUT at the
  // deadline, -1 with the read's errno on failure.
  ssize_t read_some(std::uint8_t* buf, std::size_t len, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) continue;
      const ssize_t n = ::recv(fd_, buf, len, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == ETIMEDOUT) errno = ECONNRESET;  // keep ETIMEDOUT for the deadline
      return n;
    }
  }

  int fd_ = -1;
  wire::FrameDecoder decoder_;
  std::vector<wire::WireMessage> pending_;
};

// A listening socket on 127.0.0.1 that a node can dial; the test accepts.
class RawListener {
 public:
  // Port 0 lets the system choose; `backlog` as for listen(2).
  explicit RawListener(int backlog = 16, std::uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, backlog) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  RawListener(const RawListener&) = delete;
  ~RawListener() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool valid() const noexcept { return fd_ >= 0; }
  std::uint16_t port() const noexcept { return port_; }

  // The next connection, or an invalid peer at the deadline.
  RawPeer accept(std::chrono::milliseconds timeout = 5s) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return RawPeer();
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return RawPeer(c);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A listener on 127.0.0.1 that never accepts and whose accept queue is full,
// so that the kernel drops further connection requests: a connection attempt
// to it stays unanswered, as one to an unreachable address would, without a
// packet leaving the loopback interface.
class BlackHole {
 public:
  BlackHole() : listener_(0) {
    if (!listener_.valid()) return;
    // Fill the accept queue: a filler whose connection does not complete in a
    // moment found the queue full.
    for (int i = 0; i < 16; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in a = loopback(listener_.port());
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(fd);
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) {
        full_ = true;
        break;
      }
    }
  }
  BlackHole(const BlackHole&) = delete;
  ~BlackHole() {
    for (int fd : fillers_) ::close(fd);
  }

  // Whether the queue was seen full (the test is meaningless otherwise).
  bool ready() const noexcept { return full_; }
  std::uint16_t port() const noexcept { return listener_.port(); }

 private:
  RawListener listener_;
  std::vector<int> fillers_;
  bool full_ = false;
};

// A loopback port on which nothing listens (bound, then released): connecting
// there is refused at once.
inline std::uint16_t refused_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace vardimont::test
