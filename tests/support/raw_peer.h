// The raw test peer: a plain blocking POSIX socket on the loopback interface,
// driven from the calling thread, that writes exactly the bytes it is given
// (frames, garbage, one byte per write) and decodes the frames that come back,
// as a peer would. Around it: a listener that a node can dial, a black hole
// that never answers, a refused port, and the descriptors and sockets open.
// Every wait has a deadline; nothing here touches a node's runtime, and
// nothing uses GoogleTest, so that the fuzz targets share it with the tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "message_builder.h"
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

inline sockaddr_in6 loopback_v6(std::uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  return a;
}

// One TCP connection, dialled by the test or accepted from a node. Writing
// and reading use separate state: one thread may write while another reads.
class RawPeer {
 public:
  explicit RawPeer(int fd = -1) : fd_(fd) {}
  RawPeer(RawPeer&& o) noexcept { *this = std::move(o); }
  RawPeer& operator=(RawPeer&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = std::exchange(o.fd_, -1);
      decoder_ = std::move(o.decoder_);
      pending_ = std::move(o.pending_);
      eof_ = o.eof_;
      error_ = std::move(o.error_);
    }
    return *this;
  }
  RawPeer(const RawPeer&) = delete;
  ~RawPeer() { close(); }

  // A TCP socket not connected yet (valid() false on failure), for a test
  // that must create it before it connects.
  static RawPeer unconnected(bool v6 = false) {
    return RawPeer(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }

  // Connects to `port` on 127.0.0.1 (::1 with `v6`); on failure an invalid
  // peer, with the reason in errno.
  static RawPeer dial(std::uint16_t port, bool v6 = false) {
    RawPeer p = unconnected(v6);
    if (p.valid() && !p.connect(port, v6)) {
      const int saved = errno;
      p.close();
      errno = saved;
    }
    return p;
  }

  // Connects this socket to `port` on 127.0.0.1 (::1 with `v6`).
  bool connect(std::uint16_t port, bool v6 = false) {
    // Each write leaves as its own segment, so "one byte per write" reaches
    // the node as separate arrivals as far as the stack allows.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (v6) {
      const sockaddr_in6 a = loopback_v6(port);
      return ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    const sockaddr_in a = loopback(port);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }

  bool valid() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }

  void close() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  void set_buffer_sizes(int bytes) const {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }

  // ---- Writing

  enum class Written {
    All,      // every byte was handed to the stack
    Closed,   // the connection failed first (closed or reset by the node)
    Stalled,  // the node stopped taking bytes until the deadline
  };

  // Writes `bytes` in writes of at most `piece` bytes each.
  Written write_in_pieces(std::span<const std::uint8_t> bytes, std::size_t piece,
                          std::chrono::milliseconds timeout = WRITE_TIMEOUT) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), std::min(piece, bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Written::Closed;
      pollfd p{fd_, POLLOUT, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return Written::Stalled;
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return Written::All;
  }

  // Writes every byte; false when the connection failed or stalled.
  bool write(std::span<const std::uint8_t> bytes) const {
    return write_in_pieces(bytes, bytes.size()) == Written::All;
  }
  bool write_bytewise(std::span<const std::uint8_t> bytes) const {
    return write_in_pieces(bytes, 1) == Written::All;
  }
  bool send(const wire::WireMessage& m) const { return write(frame_of(m)); }

  // Ends the sending direction; the node reads the end of the stream.
  void end_stream() const { ::shutdown(fd_, SHUT_WR); }

  // ---- Reading

  // The next message the node sent, or nullopt at the deadline, at the end of
  // the stream (or a reset) or after a frame that does not decode.
  std::optional<wire::WireMessage> read_message(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.empty() && !eof_ && pump(deadline)) {
    }
    if (pending_.empty()) return std::nullopt;
    wire::WireMessage m = std::move(pending_.front());
    pending_.pop_front();
    return m;
  }

  // The next message of `kind`, skipping others (heartbeats, mostly).
  std::optional<wire::WireMessage> read_kind(wire::MessageKind kind, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return std::nullopt;
      auto m = read_message(left);
      if (!m) return std::nullopt;
      if (m->kind == kind) return m;
    }
  }

  // Waits until the node closes the connection (end of stream or reset);
  // false at the deadline. Messages that come before stay for read_message.
  bool wait_closed(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_ && pump(deadline)) {
    }
    return eof_;
  }

  // Reads exactly `n` bytes and decodes them, however they are framed; true
  // once all have come. Lets a test hold a writer back and then let exactly a
  // known number of bytes through.
  bool take_bytes(std::size_t n, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (n > 0) {
      const std::size_t got = read_some(std::min<std::size_t>(n, std::size_t{1} << 20), deadline);
      if (got == 0) return false;
      n -= got;
    }
    return true;
  }

  // The end of the stream (or a reset, or an undecodable frame) was read.
  bool eof() const noexcept { return eof_; }
  // Why a frame did not decode, once one did not.
  const std::optional<wire::FrameError>& error() const noexcept { return error_; }

 private:
  static constexpr std::chrono::milliseconds WRITE_TIMEOUT = 20s;

  // One read of up to 64 KiB; false at the deadline.
  bool pump(std::chrono::steady_clock::time_point deadline) {
    return read_some(std::size_t{1} << 16, deadline) > 0 || eof_;
  }

  // One read of up to `max` bytes, decoded; the number read, 0 at the
  // deadline or at the end of the stream (eof_ set then).
  std::size_t read_some(std::size_t max, std::chrono::steady_clock::time_point deadline) {
    std::vector<std::uint8_t> buf(max);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return 0;
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno != EINTR) {
        eof_ = true;
        return 0;
      }
      if (r <= 0) continue;
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        eof_ = true;
        return 0;
      }
      feed(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
      return static_cast<std::size_t>(n);
    }
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

  int fd_ = -1;
  wire::FrameDecoder decoder_;
  std::deque<wire::WireMessage> pending_;
  bool eof_ = false;
  std::optional<wire::FrameError> error_;
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

// The port of a socket's local (or `remote`) address; 0 when it has none (a
// listener has no remote address) or `fd` is no socket.
inline std::uint16_t socket_port(int fd, bool remote) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  auto* addr = reinterpret_cast<sockaddr*>(&a);
  if ((remote ? ::getpeername(fd, addr, &len) : ::getsockname(fd, addr, &len)) != 0) return 0;
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return 0;
}

// The connections that were established to `listener` before this call, in
// their order; nullopt when that cannot be told by the deadline. A listener
// queues connections in the order they were established, so these are the
// ones accepted before a connection that this makes itself: a positive end
// to "nothing else came", without waiting for it not to come.
inline std::optional<std::vector<RawPeer>> connections_so_far(RawListener& listener,
                                                              std::chrono::milliseconds timeout = 5s) {
  const RawPeer marker = RawPeer::dial(listener.port());
  const std::uint16_t marker_port = marker.valid() ? socket_port(marker.fd(), false) : 0;
  if (marker_port == 0) return std::nullopt;
  std::vector<RawPeer> before;
  for (RawPeer c = listener.accept(timeout); c.valid(); c = listener.accept(timeout)) {
    if (socket_port(c.fd(), true) == marker_port) return before;
    before.push_back(std::move(c));
  }
  return std::nullopt;
}

// One socket of this process: its descriptor and the ports of its two ends.
struct OpenSocket {
  int fd;
  std::uint16_t local;
  std::uint16_t remote;  // 0 for a listener
};

// The sockets this process has open.
inline std::vector<OpenSocket> open_sockets() {
  std::vector<OpenSocket> sockets;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const int fd = std::atoi(e->d_name);
      if (fd == ::dirfd(d)) continue;
      const std::uint16_t local = socket_port(fd, false);
      if (local != 0) sockets.push_back({fd, local, socket_port(fd, true)});
    }
    ::closedir(d);
  }
  return sockets;
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

}  // namespace vardimont::test
