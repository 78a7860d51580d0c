// The Transport handle: its copies, the settings check, events, message ids,
// spawning, and the node's operations on the routing and peer tables.
#include "transport/transport.h"

#include <exception>
#include <utility>

#include "transport/internal.h"

namespace vardimont::transport {

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

const std::shared_ptr<Transport::Shared>& shared_state(const Transport& t) noexcept { return t.shared_; }

const TransportConfig& Transport::config() const noexcept { return shared_->config; }

async::Executor Transport::executor() const { return shared_->executor; }

EventReceiver Transport::subscribe_events() const { return events_.subscribe(); }

void publish(const Transport& t, Event event) {
  std::optional<NodeId> gone;
  if (const auto* d = std::get_if<PeerDisconnected>(&event)) gone = d->peer;
  (void)t.events_.publish(std::move(event));  // no receiver is not an error
  if (gone) disconnections(t).announce(*gone);
}

std::uint64_t take_msg_id(const Transport& t) noexcept {
  return state_of(t).next_msg_id.fetch_add(1, std::memory_order_relaxed);
}

void Transport::spawn(async::awaitable<void> task) const { spawn_on(shared_->executor, std::move(task)); }

void spawn_on(const async::Executor& ex, async::awaitable<void> task) {
  // Task bodies catch what they can handle; anything that still escapes ends
  // the task quietly here instead of reaching the worker thread.
  asio::co_spawn(ex, std::move(task), [](const std::exception_ptr&) {});
}

// --- the routing table. A replaced or removed sending end closes here, once
// the table's lock is released.

void Transport::register_actor(std::string name, MailboxSender mailbox) const {
  (void)shared_->actors.insert(std::move(name), std::move(mailbox));
}

void Transport::unregister_actor(std::string_view name) const { (void)shared_->actors.erase(name); }

// --- the peer table

bool Transport::has_peer(const NodeId& peer) const { return shared_->peers.contains(peer); }

std::size_t Transport::peer_count() const { return shared_->peers.size(); }

void Transport::forget_peer(const NodeId& peer) const {
  // The desired-peer set changes first, so that the reconnect supervisor,
  // which looks the peer up there when the event reaches it, leaves it alone.
  shared_->desired.erase(peer);
  const std::optional<PeerHandle> removed = shared_->peers.erase(peer);
  if (removed) publish(*this, PeerDisconnected{peer});
}

}  // namespace vardimont::transport
