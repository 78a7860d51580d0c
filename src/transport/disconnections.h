// The announcement of a peer's disconnection to the tasks that follow that
// peer: the readers of its connections and its heartbeat tasks. Each of them
// follows its own peer alone, so that an announcement costs one lookup and
// one post per follower of that peer, and an event of another kind, or about
// another peer, costs a follower nothing at all. The event broadcast keeps
// its other subscribers (the reconnect supervisor, the event handlers).
//
// A follower says from which moment on it counts announcements (a `Mark`,
// taken when its task starts): an announcement made after that mark and
// before it began to follow is still seen, as long as it is among the last
// RECENT announcements of the node. An inbound reader takes its mark when the
// connection is accepted and follows once its Handshake names the peer, so a
// disconnection of that peer announced in between ends the new connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/node_id.h"

namespace vardimont::transport {

using runtime::NodeId;

// Made with std::make_shared: a Following keeps the table alive.
class Disconnections : public std::enable_shared_from_this<Disconnections> {
 public:
  using Mark = std::uint64_t;  // the number of announcements made so far

  // How many past announcements a late follower can still see.
  static constexpr std::size_t RECENT = 64;

  // Following one peer; destroying it (or stop()) stops following. Moves only.
  class Following {
   public:
    Following() = default;
    Following(Following&& other) noexcept { *this = std::move(other); }
    Following& operator=(Following&& other) noexcept;
    Following(const Following&) = delete;
    Following& operator=(const Following&) = delete;
    ~Following() { stop(); }
    void stop() noexcept;

   private:
    friend class Disconnections;
    Following(std::shared_ptr<Disconnections> table, NodeId peer, std::uint64_t id)
        : table_(std::move(table)), peer_(std::move(peer)), id_(id) {}
    std::shared_ptr<Disconnections> table_;
    NodeId peer_;
    std::uint64_t id_ = 0;
  };

  Mark mark() const;

  // Calls `on_disconnected` once, at the first announcement for `peer` made
  // after `since`, on the announcing thread and outside the table's lock: at
  // once, on this thread, when one was made already (and is still among the
  // recent ones). It should only post to its owner's strand, and the owner
  // must look there for itself whether it still cares: a post already made
  // is not taken back by stop().
  Following follow(const NodeId& peer, Mark since, std::function<void()> on_disconnected);

  // Announces `peer`'s disconnection to everybody who follows it now.
  void announce(const NodeId& peer);

  // How many follow `peer` now (for tests).
  std::size_t followers(const NodeId& peer) const;

 private:
  struct Follower {
    std::uint64_t id;
    std::function<void()> on_disconnected;
  };
  void unfollow(const NodeId& peer, std::uint64_t id) noexcept;

  mutable std::mutex mu_;
  Mark announced_ = 0;
  std::uint64_t next_id_ = 0;
  // Announcement n (from 1) is recent_[n % RECENT] until n + RECENT replaces it.
  std::array<NodeId, RECENT> recent_;
  std::unordered_map<NodeId, std::vector<Follower>> followers_;
};

}  // namespace vardimont::transport
