// The registration rule for a new connection, and the tie-break it applies
// when the peer table already holds a connection to that peer: at most one
// connection per pair of nodes is in use, and both nodes of a pair that dial
// each other at once keep the same one.
#include <cstring>
#include <string_view>

#include "transport/internal.h"

namespace vardimont::transport {

namespace {

// Byte-wise order of two keys as unsigned bytes; a proper prefix is smaller.
bool key_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned bytes
  return c < 0 || (c == 0 && a.size() < b.size());
}

}  // namespace

bool tiebreak_key_wins(std::string_view local_key, std::string_view peer_key, bool outbound) noexcept {
  return outbound ? key_less(local_key, peer_key) : key_less(peer_key, local_key);
}

bool wins_tiebreak(const Transport& t, const NodeId& peer, bool outbound) {
  return tiebreak_key_wins(t.local_full(), peer.to_full(), outbound);
}

bool register_connection(const Transport& t, const PeerHandle& handle, bool outbound,
                         const std::function<void()>& before_insert) {
  const bool wins = wins_tiebreak(t, handle.id(), outbound);
  // A replaced handle is dropped when the insert returns, after the lock.
  return state_of(t).peers.insert(handle, wins, before_insert).inserted;
}

bool unregister_connection(const Transport& t, const PeerHandle& handle) {
  return state_of(t).peers.erase_connection(handle).has_value();  // the removed handle is dropped here
}

bool is_registered(const Transport& t, const NodeId& peer, const PeerHandle::ConnectionRef& connection) {
  const std::optional<PeerHandle> registered = state_of(t).peers.find(peer);
  return registered && registered->is(connection);
}

}  // namespace vardimont::transport
