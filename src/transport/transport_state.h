// The state that every copy of one Transport shares, for the transport's own
// code and its tests. Nothing outside src/transport/ and the tests includes it.
//
// Locking rule: each table has its own std::shared_mutex, held for one table
// operation only (a lookup and the copy of what was found, or one insert or
// removal). Never held across a co_await, a socket operation, a queue wait, a
// name lookup or a publish, and never two at once. Handles and sending ends
// taken out of a table are dropped after the lock is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "async/asio.h"
#include "runtime/node_id.h"
#include "transport/peer.h"
#include "transport/transport.h"

namespace vardimont::transport {

// Lets the routing table be searched with a std::string_view without
// building a std::string.
struct ActorNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using PeerTable = std::unordered_map<NodeId, PeerHandle>;
using DesiredSet = std::unordered_set<NodeId>;
using RoutingTable = std::unordered_map<std::string, MailboxSender, ActorNameHash, std::equal_to<>>;

// The tie-break on two keys (full ids): a new connection wins when the node
// that dialled it has the smaller key, the keys compared as unsigned bytes (a
// proper prefix is smaller). Equal keys never win.
bool tiebreak_key_wins(std::string_view local_key, std::string_view peer_key, bool outbound) noexcept;

struct Transport::Shared {
  Shared(TransportConfig c, async::Executor ex) : config(std::move(c)), executor(std::move(ex)) {}

  const TransportConfig config;
  // Where the transport's tasks run: the executor of the coroutine that ran
  // Transport::listen (the runtime's io_context).
  const async::Executor executor;

  // The peer table: for each peer id, the handle of the connection in use.
  mutable std::shared_mutex peers_mutex;
  PeerTable peers;

  // The desired-peer set: the peers this node dialled and keeps reconnecting to.
  mutable std::shared_mutex desired_mutex;
  DesiredSet desired;

  // The routing table: actor name to the sending end of its mailbox.
  mutable std::shared_mutex actors_mutex;
  RoutingTable actors;

  // The message id counter; see Transport::take_msg_id.
  std::atomic<std::uint64_t> next_msg_id{1};

  // --- one-operation helpers, each taking one lock for one table operation.

  // A copy of the handle registered for `peer` (peer table read lock).
  std::optional<PeerHandle> find_peer(const NodeId& peer) const {
    std::shared_lock lock(peers_mutex);
    auto it = peers.find(peer);
    if (it == peers.end()) return std::nullopt;
    return it->second;
  }

  // Inserts `peer` into the desired-peer set (write lock).
  void want(const NodeId& peer) {
    std::unique_lock lock(desired_mutex);
    desired.insert(peer);
  }

  // Removes `peer` from the desired-peer set; whether it was there (write lock).
  bool unwant(const NodeId& peer) {
    std::unique_lock lock(desired_mutex);
    return desired.erase(peer) != 0;
  }

  // Whether `peer` is in the desired-peer set (read lock).
  bool wanted(const NodeId& peer) const {
    std::shared_lock lock(desired_mutex);
    return desired.contains(peer);
  }

  // A copy of the desired-peer set (read lock).
  std::vector<NodeId> wanted_peers() const {
    std::shared_lock lock(desired_mutex);
    return {desired.begin(), desired.end()};
  }
};

}  // namespace vardimont::transport
