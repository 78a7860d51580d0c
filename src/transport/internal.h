// The transport's own parts, for its code in src/transport/ and its tests:
// the state that every copy of one Transport shares, the registration rule
// with its tie-break, the tasks (dialling, accepting, reading, heartbeats,
// reconnection) and the routing of what a reader receives. Nothing else
// includes it; the node uses transport.h.
//
// Task bodies take their Transport by value: a detached task owns everything
// it uses. The tables lock themselves, each for one table operation (tables.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "async/asio.h"
#include "transport/disconnections.h"
#include "transport/durations.h"
#include "transport/peer.h"
#include "transport/tables.h"
#include "transport/transport.h"
#include "wire/message.h"

namespace vardimont::transport {

// ---- the shared state (transport.cpp)

struct Transport::Shared {
  Shared(TransportConfig c, async::Executor ex) : config(std::move(c)), executor(std::move(ex)) {}

  const TransportConfig config;
  // Where the transport's tasks run: the executor of the coroutine that ran
  // Transport::listen (the runtime's io_context).
  const async::Executor executor;

  PeerTable peers;
  DesiredPeers desired;
  // How many reconnect loops run for each peer (see reconnect.cpp).
  ReconnectLoops reconnect_loops;
  RoutingTable actors;
  // Who follows each peer's disconnection: its readers and heartbeat tasks.
  // Raised by every publication of a PeerDisconnected.
  const std::shared_ptr<Disconnections> disconnections = std::make_shared<Disconnections>();
  // Accepted connections whose Handshake has not arrived yet; see
  // accept_loop for their bound.
  std::atomic<std::size_t> awaiting_handshake{0};

  // The message id counter; see take_msg_id.
  std::atomic<std::uint64_t> next_msg_id{1};
};

const std::shared_ptr<Transport::Shared>& shared_state(const Transport& t) noexcept;
inline Transport::Shared& state_of(const Transport& t) noexcept { return *shared_state(t); }

// Never waits; no receiver is not an error. A PeerDisconnected is also
// announced to the readers and heartbeat tasks that follow its peer.
void publish(const Transport& t, Event event);
// Announcements of disconnections, for the tasks that follow one peer.
inline Disconnections& disconnections(const Transport& t) noexcept { return *state_of(t).disconnections; }
// The next message id: unique among the messages of this transport, never 0.
std::uint64_t take_msg_id(const Transport& t) noexcept;

// Spawns a detached task on `ex` (a connection's strand, for its reader and
// heartbeat task). Whatever escapes the task ends it quietly here.
void spawn_on(const async::Executor& ex, async::awaitable<void> task);

// ---- registration and the tie-break (registration.cpp)

// The tie-break on two keys (full ids): a new connection wins when the node
// that dialled it has the smaller key, the keys compared as unsigned bytes (a
// proper prefix is smaller). Equal keys never win.
bool tiebreak_key_wins(std::string_view local_key, std::string_view peer_key, bool outbound) noexcept;
// The tie-break for a new connection to `peer`, dialled by this node
// (`outbound`) or accepted.
bool wins_tiebreak(const Transport& t, const NodeId& peer, bool outbound);

// The registration rule for a new connection to `handle.id()`, dialled by
// this node (`outbound`) or accepted. Under the peer table's write lock: no
// entry, or wins_tiebreak(peer, outbound), makes it the winner; for a winner
// `before_insert` runs (still under the lock; it must not wait or publish:
// dialling queues its Handshake there), then the table maps the peer to a
// copy of `handle`. A replaced handle is dropped after the lock is released.
// Returns whether the new connection won; the caller publishes PeerConnected
// for a winner and closes a loser.
bool register_connection(const Transport& t, const PeerHandle& handle, bool outbound,
                         const std::function<void()>& before_insert = {});
// Removes the entry for handle.id() if it still holds `handle`'s connection
// (peer table write lock); whether it did. Used by a closing reader.
bool unregister_connection(const Transport& t, const PeerHandle& handle);
// Whether the peer table maps `peer` to `connection` now (read lock). A
// reader or heartbeat task told of its peer's disconnection while its own
// connection is the one registered goes on: the announcement is of an older
// connection, since a connection's removal always precedes its announcement.
bool is_registered(const Transport& t, const NodeId& peer, const PeerHandle::ConnectionRef& connection);

// ---- the tasks

struct KnownPeer {
  NodeId id;
  PeerHandle handle;
};

// An accepted connection counted among those awaiting their Handshake, from
// its accept until its reader learns who the peer is or ends; see
// accept_loop. Moves only; the empty slot counts nothing.
class HandshakeSlot {
 public:
  HandshakeSlot() = default;
  explicit HandshakeSlot(std::shared_ptr<std::atomic<std::size_t>> count) : count_(std::move(count)) {
    count_->fetch_add(1, std::memory_order_relaxed);
  }
  HandshakeSlot(HandshakeSlot&&) noexcept = default;
  HandshakeSlot& operator=(HandshakeSlot&& other) noexcept {
    release();
    count_ = std::move(other.count_);
    return *this;
  }
  ~HandshakeSlot() { release(); }
  void release() noexcept {
    if (count_) count_->fetch_sub(1, std::memory_order_relaxed);
    count_.reset();
  }

 private:
  std::shared_ptr<std::atomic<std::size_t>> count_;
};

// Dials `peer`: opens a connection and registers it. With a deadline, the
// lookup and connection attempt are abandoned when it passes (timed_out() is
// then the error); registration never waits. (dial.cpp)
async::awaitable<Result<void, IoError>> dial(Transport self, NodeId peer,
                                             std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
// Accepts without end. An accepted connection is closed at once while as
// many as awaiting_handshake_bound() still await their Handshake, so that
// connections that never complete one cannot take every descriptor. (listen.cpp)
async::awaitable<void> accept_loop(Transport self, asio::ip::tcp::acceptor listener);
async::awaitable<void> handle_inbound(Transport self, asio::ip::tcp::socket stream, HandshakeSlot slot);
// Half the process's soft limit of open descriptors (at least 1).
std::size_t awaiting_handshake_bound();
// A connection's reader. `slot` counts an accepted connection until its
// Handshake is accepted. (reader.cpp)
async::awaitable<void> read_loop(Transport self, ReadHalf reader, std::optional<WriteHalf> writer,
                                 std::optional<KnownPeer> known, HandshakeSlot slot = {});
// Heartbeats to `peer` through `connection` while the peer table holds it:
// the task ends when its connection is replaced or ends, or the peer's
// disconnection is announced. It must run on a strand (the connection's),
// which it shares with the announcement. (heartbeat.cpp)
async::awaitable<void> heartbeat_loop(Transport self, NodeId peer, PeerHandle::ConnectionRef connection);
// (reconnect.cpp)
async::awaitable<void> reconnect_loop(Transport self, NodeId peer);
async::awaitable<void> reconnect_supervisor(Transport self, EventReceiver events);

// ---- routing what a reader receives (route.cpp) and error replies (sends.cpp)

// An error reply that routing one message asks for, to that message's peer.
struct ErrorReply {
  std::string detail;
  std::optional<std::uint64_t> correlation_id;
};
// The mailbox that one reader routed to last, so that a run of messages for
// one actor looks the routing table up once while the table does not
// change (a registration or removal takes effect from the next message on,
// as with a lookup per message). The reader forgets it before it waits for
// anything: a kept sending end would hold back the end of an unregistered
// actor's delivery.
struct RecentMailbox {
  std::string name;
  std::optional<MailboxSender> mailbox;  // none: no actor of that name
  std::uint64_t version = 0;             // of the routing table, when looked up
  bool known = false;

  void forget() noexcept {
    mailbox.reset();
    known = false;
  }
};
// Hands one message from `from`'s reader on: Data to its actor's mailbox
// (a put that never waits), Error to a PeerError event. Does everything but
// the error reply, which it hands back for reply_error.
std::optional<ErrorReply> route_now(const Transport& t, const NodeId& from, WireMessage msg, RecentMailbox& recent);
// route_now and its error reply, which waits for room up to the read time-out.
async::awaitable<void> route(Transport t, NodeId from, WireMessage msg);
// Sends route's error reply to `peer`, waiting for room in the peer queue
// until `deadline` at most; a reply that finds no room by then is dropped
// with a DEBUG line. The reader that routes reads nothing while its reply
// waits, so an unbounded wait could stop two nodes whose queues are full in
// both directions for good; a reader gives all the replies of one chunk one
// deadline, so that a chunk of many holds it for one read time-out at most.
// `t` must outlive the wait (the reader's own copy does).
async::awaitable<void> reply_error(const Transport& t, NodeId peer, ErrorReply reply,
                                   std::chrono::steady_clock::time_point deadline);

// ---- sends from a coroutine (sends.cpp)

// The Error message {"error":detail}, with a freshly drawn id; nothing when
// its body is longer than a frame may be, which is logged as the writer logs
// a message that it cannot frame. The detail of a reply echoes an actor name
// that the peer chose, and escaping can make it six times longer: such a
// reply is refused here rather than held in the peer queue.
std::optional<WireMessage> build_error(const Transport& t, std::string_view detail,
                                       std::optional<std::uint64_t> correlation_id);
// send_data_bytes and send_error_blocking from a coroutine: they wait for
// room in the peer queue without bound.
async::awaitable<Result<void, SendError>> async_send_data_bytes(Transport t, NodeId peer, std::string dst_actor,
                                                                std::vector<std::uint8_t> payload,
                                                                std::optional<std::string> reply_to,
                                                                std::optional<std::uint64_t> correlation_id);
async::awaitable<void> send_error(Transport t, NodeId peer, std::string detail,
                                  std::optional<std::uint64_t> correlation_id);

}  // namespace vardimont::transport
