// The Transport handle itself: its copies, events, message ids, the tie-break
// and the registration rule, and the duration and settings helpers.
#include "transport/transport.h"

#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>
#include <utility>

#include "transport/transport_state.h"

namespace vardimont::transport {

namespace {

constexpr std::uint64_t NANOS_PER_SEC = 1'000'000'000;

// Byte-wise order of two keys as unsigned bytes; a proper prefix is smaller.
bool key_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned bytes
  return c < 0 || (c == 0 && a.size() < b.size());
}

// The duration as nanoseconds, or nullopt when it exceeds the steady clock's
// range. A nanosecond part of a second or more is still counted exactly.
std::optional<std::chrono::steady_clock::duration> exact_steady(Duration d) noexcept {
  using Rep = std::chrono::steady_clock::duration::rep;
  using Period = std::chrono::steady_clock::duration::period;
  static_assert(std::is_same_v<Period, std::nano>, "steady_clock counts nanoseconds");
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max());
  if (d.secs > max / NANOS_PER_SEC) return std::nullopt;
  const std::uint64_t whole = d.secs * NANOS_PER_SEC;
  if (d.nanos > max - whole) return std::nullopt;
  return std::chrono::steady_clock::duration(static_cast<Rep>(whole + d.nanos));
}

}  // namespace

// --- Duration and settings

std::chrono::steady_clock::duration Duration::to_steady() const noexcept {
  return exact_steady(*this).value_or(std::chrono::steady_clock::duration::max());
}

Duration Duration::times3() const noexcept {
  constexpr std::uint64_t max_secs = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t nanos3 = std::uint64_t{nanos} * 3;  // below 2^34: no overflow
  const std::uint64_t carry = nanos3 / NANOS_PER_SEC;
  const auto rest = static_cast<std::uint32_t>(nanos3 % NANOS_PER_SEC);
  if (secs > (max_secs - carry) / 3) return {max_secs, static_cast<std::uint32_t>(NANOS_PER_SEC - 1)};
  return {secs * 3 + carry, rest};
}

std::optional<std::chrono::steady_clock::time_point> deadline_from(std::chrono::steady_clock::time_point start,
                                                                   Duration d) noexcept {
  const std::optional<std::chrono::steady_clock::duration> span = exact_steady(d);
  if (!span) return std::nullopt;
  if (start.time_since_epoch() > std::chrono::steady_clock::time_point::max().time_since_epoch() - *span) {
    return std::nullopt;
  }
  return start + *span;
}

std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration d) noexcept {
  return deadline_from(std::chrono::steady_clock::now(), d);
}

std::optional<std::string> config_problem(const TransportConfig& config) {
  if (config.heartbeat_interval.is_zero()) return "heartbeat_interval must be greater than zero";
  if (config.peer_timeout.is_zero()) return "peer_timeout must be greater than zero";
  if (config.reconnect_interval.is_zero()) return "reconnect_interval must be greater than zero";
  if (config.peer_queue_capacity == 0 || config.peer_queue_capacity > async::MAX_QUEUE_CAPACITY) {
    return "peer_queue_capacity must be from 1 to " + std::to_string(async::MAX_QUEUE_CAPACITY);
  }
  return std::nullopt;
}

// --- the handle

Transport::Transport(NodeId local_id, std::shared_ptr<Shared> shared)
    : local_id_(std::move(local_id)),
      local_full_(local_id_.to_full()),
      shared_(std::move(shared)),
      events_(EVENT_CAPACITY) {}

const TransportConfig& Transport::config() const noexcept { return shared_->config; }

async::Executor Transport::executor() const { return shared_->executor; }

EventReceiver Transport::subscribe_events() const { return events_.subscribe(); }

void Transport::publish(Event event) const {
  std::optional<NodeId> gone;
  if (const auto* d = std::get_if<PeerDisconnected>(&event)) gone = d->peer;
  (void)events_.publish(std::move(event));  // no receiver is not an error
  if (gone) shared_->disconnections->announce(*gone);
}

Disconnections& Transport::disconnections() const noexcept { return *shared_->disconnections; }

std::uint64_t Transport::take_msg_id() const noexcept {
  return shared_->next_msg_id.fetch_add(1, std::memory_order_relaxed);
}

bool tiebreak_key_wins(std::string_view local_key, std::string_view peer_key, bool outbound) noexcept {
  return outbound ? key_less(local_key, peer_key) : key_less(peer_key, local_key);
}

bool Transport::connection_wins_tiebreak(const NodeId& peer, bool outbound) const {
  return tiebreak_key_wins(local_full_, peer.to_full(), outbound);
}

bool Transport::register_connection(const PeerHandle& handle, bool outbound,
                                    const std::function<void()>& before_insert) const {
  const bool wins = connection_wins_tiebreak(handle.id(), outbound);
  return shared_->peers.insert(handle, wins, before_insert).inserted;  // a replaced handle is dropped here
}

bool Transport::unregister_connection(const PeerHandle& handle) const {
  return shared_->peers.erase_connection(handle).has_value();  // the removed handle is dropped here
}

void Transport::spawn(async::awaitable<void> task) const { spawn_on(shared_->executor, std::move(task)); }

void Transport::spawn_on(const async::Executor& ex, async::awaitable<void> task) {
  // Task bodies catch what they can handle; anything that still escapes ends
  // the task quietly here instead of reaching the worker thread.
  asio::co_spawn(ex, std::move(task), [](const std::exception_ptr&) {});
}

}  // namespace vardimont::transport
