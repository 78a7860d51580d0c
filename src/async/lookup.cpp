#include "async/lookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "async/blocking_pool.h"
#include "async/fork.h"
#include "async/queue.h"

namespace vardimont::async {

namespace {

// getaddrinfo's failures as Asio's resolver reports them.
std::error_code lookup_error(int rc, int saved_errno) {
  switch (rc) {
    case EAI_AGAIN:
      return asio::error::host_not_found_try_again;
    case EAI_BADFLAGS:
      return asio::error::invalid_argument;
    case EAI_FAIL:
      return asio::error::no_recovery;
    case EAI_FAMILY:
      return asio::error::address_family_not_supported;
    case EAI_MEMORY:
      return asio::error::no_memory;
    case EAI_NONAME:
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY:
#endif
#if defined(EAI_NODATA) && (EAI_NODATA != EAI_NONAME)
    case EAI_NODATA:
#endif
      return asio::error::host_not_found;
    case EAI_SERVICE:
      return asio::error::service_not_found;
    case EAI_SOCKTYPE:
      return asio::error::socket_type_not_supported;
    default:  // EAI_SYSTEM: the system's error is in errno
      return {saved_errno, std::system_category()};
  }
}

// The seam, never destroyed: a detached pool thread may read it while the
// process exits.
struct Seam {
  std::mutex mu;
  std::shared_ptr<const LookupFunction> fn;  // null: system_lookup
};

Seam& seam() {
  static Seam* const s = new Seam();
  return *s;
}

std::mutex& seam_mutex() { return seam().mu; }
[[maybe_unused]] const int seam_held_across_fork = hold_across_fork<seam_mutex>();

LookupResult run_lookup(const std::string& host, std::uint16_t port) noexcept {
  try {
    std::shared_ptr<const LookupFunction> fn;
    {
      std::lock_guard<std::mutex> lock(seam().mu);
      fn = seam().fn;
    }
    return fn ? (*fn)(host, port) : system_lookup(host, port);
  } catch (...) {
    return err(std::error_code(asio::error::no_memory));
  }
}

}  // namespace

LookupResult system_lookup(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  errno = 0;
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) return err(lookup_error(rc, errno));
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, ::freeaddrinfo);

  Endpoints out;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    asio::ip::tcp::endpoint ep;
    if (ai->ai_addrlen > ep.capacity()) continue;
    ep.resize(ai->ai_addrlen);
    std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
    out.push_back(ep);
  }
  return out;
}

awaitable<LookupResult> lookup(std::string host, std::uint16_t port) {
  const Executor ex = co_await asio::this_coro::executor;
  auto [tx, rx] = make_queue<LookupResult>(1);
  std::error_code posted;
  try {
    posted = BlockingPool::of(ex).post([tx = std::move(tx), host = std::move(host), port]() mutable {
      LookupResult result = run_lookup(host, port);
      (void)tx.try_send(result);  // Closed: nobody waits any more
    });
  } catch (...) {
    posted = asio::error::no_memory;
  }
  if (posted) co_return err(posted);
  std::optional<LookupResult> result = co_await rx.recv();
  // No result and no sending end: the pool dropped the job (it was stopped).
  if (!result) co_return err(std::make_error_code(std::errc::operation_canceled));
  co_return std::move(*result);
}

void set_lookup_function(LookupFunction fn) {
  std::shared_ptr<const LookupFunction> next;
  if (fn) next = std::make_shared<const LookupFunction>(std::move(fn));
  std::lock_guard<std::mutex> lock(seam().mu);
  seam().fn.swap(next);  // the old function goes after the lock is released
}

}  // namespace vardimont::async
