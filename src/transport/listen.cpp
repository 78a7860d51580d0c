// The inbound side and the start of a transport: binding the listener, the
// accept loop, and the task that serves each accepted connection.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "async/lookup.h"
#include "log/log.h"
#include "transport/numeric_address.h"
#include "transport/sockets.h"
#include "transport/transport.h"
#include "transport/internal.h"

namespace vardimont::transport {

namespace {

using asio::ip::tcp;

constexpr int LISTEN_BACKLOG = 128;

// The pause after a failed accept, so that a lasting failure (out of file
// descriptors) does not spin.
constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{100};

std::error_code last_os_error() { return {errno, std::system_category()}; }

// A listening socket bound to `ep`: created non-blocking and closed on exec,
// address reuse enabled before the bind, backlog 128, no other option. On
// failure nothing stays open.
Result<tcp::acceptor, std::error_code> bind_listener(const async::Executor& ex, const tcp::endpoint& ep) {
  tcp::acceptor listener(ex);
  std::error_code ec = open_socket(listener, ep.protocol());
  if (ec) return err(ec);
  listener.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) listener.bind(ep, ec);
  if (!ec) listener.listen(LISTEN_BACKLOG, ec);
  if (ec) {
    std::error_code ignored;
    listener.close(ignored);
    return err(ec);
  }
  return listener;
}

// One accepted connection, non-blocking and closed on exec, on its own strand;
// nullopt when the listener had nothing to accept after all.
Result<std::optional<tcp::socket>, std::error_code> accept_one(tcp::acceptor& listener, const async::Executor& ex) {
  int fd = -1;
  do {
    // The remote address is not asked for: nothing uses it.
    fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::optional<tcp::socket>();
    return err(last_os_error());
  }
  std::error_code ec;
  const tcp::endpoint local = listener.local_endpoint(ec);
  tcp::socket socket(asio::make_strand(ex));
  if (!ec) socket.assign(local.protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    return err(ec);
  }
  return std::optional<tcp::socket>(std::move(socket));
}

// A numeric host without a lookup, else the resolver's addresses in its
// order, looked up on the runtime's blocking pool.
async::awaitable<Result<std::vector<tcp::endpoint>, std::error_code>> listen_candidates(const NodeId& id) {
  std::vector<tcp::endpoint> candidates;
  if (std::optional<asio::ip::address> addr = numeric_address(id.host, Ipv6Form::Bare)) {
    candidates.emplace_back(*addr, id.port);
    co_return candidates;
  }
  co_return co_await async::lookup(id.host, id.port);
}

}  // namespace

async::awaitable<Result<Transport, IoError>> Transport::listen(NodeId local_id, TransportConfig config) {
  if (std::optional<std::string> problem = config_problem(config)) {
    co_return err(IoError::invalid_input(std::move(*problem)));
  }
  const async::Executor ex = co_await asio::this_coro::executor;

  Result<std::vector<tcp::endpoint>, std::error_code> candidates = co_await listen_candidates(local_id);
  if (!candidates) co_return err(IoError::from(candidates.error()));

  // The first candidate that binds and listens wins; each failure replaces the
  // error kept so far.
  std::optional<tcp::acceptor> listener;
  std::optional<std::error_code> last_error;
  for (const tcp::endpoint& ep : candidates.value()) {
    Result<tcp::acceptor, std::error_code> bound = bind_listener(ex, ep);
    if (bound) {
      listener.emplace(std::move(bound).value());
      break;
    }
    last_error = bound.error();
  }

  // No candidate bound: the last failure, or no address at all.
  if (!listener) {
    if (last_error) co_return err(IoError::from(*last_error));
    co_return err(IoError::invalid_input("could not resolve to any address"));
  }

  // The port actually bound (the system's choice for port 0).
  std::error_code ec;
  const tcp::endpoint bound_at = listener->local_endpoint(ec);
  if (ec) {
    std::error_code ignored;
    listener->close(ignored);
    co_return err(IoError::from(ec));
  }

  // Nothing from here on can fail: the listener is bound and the node id
  // final.
  NodeId id{std::move(local_id.name), std::move(local_id.host), bound_at.port()};
  Transport transport(std::move(id), std::make_shared<Shared>(std::move(config), ex));
  transport.spawn(accept_loop(transport, std::move(*listener)));
  EventReceiver events = transport.subscribe_events();  // before the supervisor first runs
  transport.spawn(reconnect_supervisor(transport, std::move(events)));
  co_return transport;
}

async::awaitable<void> accept_loop(Transport self, asio::ip::tcp::acceptor listener) {
  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (;;) {
    std::string failure;
    try {
      auto [ec] = co_await listener.async_wait(tcp::acceptor::wait_read, async::use_tuple);
      if (!ec) {
        Result<std::optional<tcp::socket>, std::error_code> accepted = accept_one(listener, self.executor());
        if (accepted) {
          std::optional<tcp::socket>& socket = accepted.value();
          // Beyond the bound the connection is closed at once (the socket
          // goes out of scope): whoever keeps opening connections that never
          // complete a Handshake holds at most that many descriptors, and
          // the node keeps the rest for its peers.
          if (socket && state_of(self).awaiting_handshake.load(std::memory_order_relaxed) < awaiting_handshake_bound()) {
            const async::Executor strand = socket->get_executor();
            HandshakeSlot slot(std::shared_ptr<std::atomic<std::size_t>>(shared_state(self), &state_of(self).awaiting_handshake));
            spawn_on(strand, handle_inbound(self, std::move(*socket), std::move(slot)));
          }
          continue;
        }
        ec = accepted.error();
      }
      failure = ec.message();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    log::event(log::Level::Error, log::TRANSPORT, "accept error", {{"e", std::move(failure)}});
    pause.expires_after(ACCEPT_RETRY_DELAY);
    (void)co_await pause.async_wait(async::use_tuple);
  }
}

std::size_t awaiting_handshake_bound() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<std::size_t>::max();
  }
  return std::max<std::size_t>(1, static_cast<std::size_t>(limit.rlim_cur / 2));
}

async::awaitable<void> handle_inbound(Transport self, asio::ip::tcp::socket stream, HandshakeSlot slot) {
  // The reader's task is the connection's task: no coroutine frame of its own.
  auto [read_half, write_half] = split(std::move(stream));
  return read_loop(std::move(self), std::move(read_half), std::move(write_half), std::nullopt, std::move(slot));
}

}  // namespace vardimont::transport
