#include "transport/tables.h"

#include <mutex>
#include <utility>

namespace vardimont::transport {

namespace {

// Removes the entry at `it` (if any) from `map` and hands its value back, so
// that the caller drops it after the table's lock is released.
template <class Map>
std::optional<typename Map::mapped_type> take(Map& map, typename Map::iterator it) {
  if (it == map.end()) return std::nullopt;
  std::optional<typename Map::mapped_type> value(std::move(it->second));
  map.erase(it);
  return value;
}

}  // namespace

// --- PeerTable

std::optional<PeerHandle> PeerTable::find(const NodeId& peer) const {
  std::shared_lock lock(mutex_);
  auto it = peers_.find(peer);
  if (it == peers_.end()) return std::nullopt;
  return it->second;
}

PeerTable::TryFind PeerTable::try_find(const NodeId& peer) const {
  std::shared_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return {.busy = true, .handle = std::nullopt};
  auto it = peers_.find(peer);
  if (it == peers_.end()) return {};
  return {.busy = false, .handle = it->second};
}

bool PeerTable::contains(const NodeId& peer) const {
  std::shared_lock lock(mutex_);
  return peers_.contains(peer);
}

std::size_t PeerTable::size() const {
  std::shared_lock lock(mutex_);
  return peers_.size();
}

PeerTable::Inserted PeerTable::insert(const PeerHandle& handle, bool replace,
                                      const std::function<void()>& before_insert) {
  std::unique_lock lock(mutex_);
  auto it = peers_.find(handle.id());
  if (it != peers_.end() && !replace) return {};
  if (before_insert) before_insert();
  if (it == peers_.end()) {
    peers_.emplace(handle.id(), handle);
    return {.inserted = true, .replaced = std::nullopt};
  }
  return {.inserted = true, .replaced = std::exchange(it->second, handle)};
}

std::optional<PeerHandle> PeerTable::erase(const NodeId& peer) {
  std::unique_lock lock(mutex_);
  return take(peers_, peers_.find(peer));
}

std::optional<PeerHandle> PeerTable::erase_connection(const PeerHandle& handle) {
  std::unique_lock lock(mutex_);
  auto it = peers_.find(handle.id());
  if (it != peers_.end() && !it->second.same_connection(handle)) return std::nullopt;
  return take(peers_, it);
}

// --- DesiredPeers

void DesiredPeers::insert(const NodeId& peer) {
  std::unique_lock lock(mutex_);
  peers_.insert(peer);
}

bool DesiredPeers::erase(const NodeId& peer) {
  std::unique_lock lock(mutex_);
  return peers_.erase(peer) != 0;
}

bool DesiredPeers::contains(const NodeId& peer) const {
  std::shared_lock lock(mutex_);
  return peers_.contains(peer);
}

std::vector<NodeId> DesiredPeers::snapshot() const {
  std::shared_lock lock(mutex_);
  return {peers_.begin(), peers_.end()};
}

// --- ReconnectLoops

ReconnectLoops::Running ReconnectLoops::start(std::shared_ptr<ReconnectLoops> table, const NodeId& peer) {
  {
    std::unique_lock lock(table->mutex_);
    ++table->loops_[peer];
  }
  return Running(std::move(table), peer);
}

std::optional<ReconnectLoops::Running> ReconnectLoops::start_first(std::shared_ptr<ReconnectLoops> table,
                                                                   const NodeId& peer) {
  {
    std::unique_lock lock(table->mutex_);
    if (!table->loops_.try_emplace(peer, 1).second) return std::nullopt;
  }
  return Running(std::move(table), peer);
}

ReconnectLoops::Running::~Running() {
  if (table_) table_->stop(peer_);  // a moved-from Running counts nothing
}

std::size_t ReconnectLoops::running(const NodeId& peer) const {
  std::shared_lock lock(mutex_);
  auto it = loops_.find(peer);
  return it == loops_.end() ? 0 : it->second;
}

void ReconnectLoops::stop(const NodeId& peer) {
  std::unique_lock lock(mutex_);
  auto it = loops_.find(peer);
  if (it != loops_.end() && --it->second == 0) loops_.erase(it);
}

// --- RoutingTable

std::optional<MailboxSender> RoutingTable::find(std::string_view name, std::uint64_t* version) const {
  std::shared_lock lock(mutex_);
  if (version) *version = version_.load(std::memory_order_relaxed);  // stable under the lock
  auto it = actors_.find(name);
  if (it == actors_.end()) return std::nullopt;
  return it->second;
}

std::optional<MailboxSender> RoutingTable::insert(std::string name, MailboxSender mailbox) {
  std::unique_lock lock(mutex_);
  version_.fetch_add(1, std::memory_order_release);
  auto it = actors_.find(name);
  if (it == actors_.end()) {
    actors_.emplace(std::move(name), std::move(mailbox));
    return std::nullopt;
  }
  return std::exchange(it->second, std::move(mailbox));
}

std::optional<MailboxSender> RoutingTable::erase(std::string_view name) {
  std::unique_lock lock(mutex_);
  version_.fetch_add(1, std::memory_order_release);
  return take(actors_, actors_.find(name));
}

}  // namespace vardimont::transport
