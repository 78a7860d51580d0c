// The tables that every copy of one Transport shares: the peer table, the
// desired-peer set, the count of running reconnect loops and the routing
// table. Each owns its lock; nothing else locks them.
//
// Locking rule: each table holds its std::shared_mutex for one table
// operation only (a lookup and the copy of what was found, or one insert or
// removal), so no lock is ever held across a co_await, a socket operation, a
// queue wait, a name lookup or a publish, and no two are ever held at once.
// The one queue operation made under a lock is dialling's non-waiting put of
// the Handshake into a new connection's empty queue (PeerTable::insert's
// `before_insert`). An operation that removes or replaces an entry hands the
// old value back: its destructor (which may close a peer queue or a mailbox)
// then runs in the caller, after the lock is released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "async/queue.h"
#include "runtime/node_id.h"
#include "transport/peer.h"

namespace vardimont::transport {

using MailboxSender = async::Sender<WireMessage>;

// For each peer id, the handle of the connection in use.
class PeerTable {
 public:
  // A copy of the handle registered for `peer` (read lock).
  std::optional<PeerHandle> find(const NodeId& peer) const;

  // find without waiting for the lock: `busy` when it is not free at once.
  struct TryFind {
    bool busy = false;
    std::optional<PeerHandle> handle;
  };
  TryFind try_find(const NodeId& peer) const;

  bool contains(const NodeId& peer) const;  // read lock
  std::size_t size() const;                 // read lock

  // Under the write lock: when `handle.id()` has no entry, or `replace`, runs
  // `before_insert` (which must not wait or publish) and maps the id to a copy
  // of `handle`. `inserted` says whether it did; `replaced` is the handle that
  // the entry held before. The caller decides `replace` (register_connection,
  // by the tie-break).
  struct Inserted {
    bool inserted = false;
    std::optional<PeerHandle> replaced;
  };
  Inserted insert(const PeerHandle& handle, bool replace, const std::function<void()>& before_insert);

  // Removes the entry of `peer` (write lock); the removed handle, if any.
  std::optional<PeerHandle> erase(const NodeId& peer);
  // Removes the entry of `handle.id()` only while it holds `handle`'s
  // connection (write lock); the removed handle, if any.
  std::optional<PeerHandle> erase_connection(const PeerHandle& handle);

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<NodeId, PeerHandle> peers_;
};

// The peers this node dialled and keeps reconnecting to.
class DesiredPeers {
 public:
  void insert(const NodeId& peer);           // write lock
  bool erase(const NodeId& peer);            // write lock; whether it was there
  bool contains(const NodeId& peer) const;   // read lock
  std::vector<NodeId> snapshot() const;      // read lock

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_set<NodeId> peers_;
};

// For each peer, how many reconnect loops run for it. A loop is counted from
// the moment its task is made until the task's frame is destroyed, however it
// ends: returning, failing, or dropped unrun when the runtime shuts down.
class ReconnectLoops {
 public:
  // One counted loop; destroying it (write lock) takes the loop off the count.
  class Running {
   public:
    Running(Running&&) noexcept = default;
    Running& operator=(Running&&) = delete;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running();

   private:
    friend class ReconnectLoops;
    Running(std::shared_ptr<ReconnectLoops> table, NodeId peer) : table_(std::move(table)), peer_(std::move(peer)) {}
    // Keeps the table alive for as long as the loop is counted in it.
    std::shared_ptr<ReconnectLoops> table_;
    NodeId peer_;
  };

  // Counts one more loop for `peer` in `table` (write lock).
  static Running start(std::shared_ptr<ReconnectLoops> table, const NodeId& peer);
  // Counts a loop for `peer` only when none is counted (one write lock for
  // the check and the count); nothing when one runs.
  static std::optional<Running> start_first(std::shared_ptr<ReconnectLoops> table, const NodeId& peer);
  std::size_t running(const NodeId& peer) const;  // read lock

 private:
  void stop(const NodeId& peer);

  mutable std::shared_mutex mutex_;
  std::unordered_map<NodeId, std::size_t> loops_;
};

// Actor name to the sending end of its mailbox.
class RoutingTable {
 public:
  // A copy of the sending end registered for `name` (read lock); `version`,
  // when given, receives the version that the answer belongs to.
  std::optional<MailboxSender> find(std::string_view name, std::uint64_t* version = nullptr) const;
  // Changes with every insert and erase: a sending end found at one version
  // is still the one registered while the version has not moved.
  std::uint64_t version() const noexcept { return version_.load(std::memory_order_acquire); }
  // Maps `name` to `mailbox` (write lock); the sending end it replaced, if any.
  std::optional<MailboxSender> insert(std::string name, MailboxSender mailbox);
  // Removes `name` (write lock); the removed sending end, if any.
  std::optional<MailboxSender> erase(std::string_view name);

 private:
  // Lets the table be searched with a std::string_view without building a
  // std::string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, MailboxSender, NameHash, std::equal_to<>> actors_;
  std::atomic<std::uint64_t> version_{0};  // moved under the write lock
};

}  // namespace vardimont::transport
