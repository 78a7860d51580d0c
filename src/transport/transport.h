// Transport: the cheaply copied handle to one node's network engine. Every
// copy shares the settings, the peer table, the desired-peer set, the routing
// table, the event broadcast and the message counter; each copy owns its
// local id and is one more sending end of the broadcast.
//
// The tables lock themselves, each for one table operation (tables.h).
//
// Task bodies are static and take their Transport by value: a detached task
// owns everything it uses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "async/asio.h"
#include "async/broadcast.h"
#include "async/queue.h"
#include "runtime/node_id.h"
#include "runtime/result.h"
#include "transport/disconnections.h"
#include "transport/peer.h"
#include "transport/tables.h"
#include "wire/message.h"

namespace vardimont::transport {

inline constexpr std::size_t EVENT_CAPACITY = 64;
inline constexpr std::size_t MAX_PAYLOAD_LEN = 16'777'216;
inline constexpr std::size_t MAILBOX_CAPACITY = 256;

// Whole seconds and nanoseconds (0..999,999,999), as the settings hold them.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  static Duration from_millis(std::uint64_t ms) { return {ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)}; }
  bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
  // Saturates at the clock's largest duration.
  std::chrono::steady_clock::duration to_steady() const noexcept;
  // Three times this, saturating.
  Duration times3() const noexcept;
  friend bool operator==(const Duration&, const Duration&) = default;
};

// `start + d`, or nullopt when that cannot be represented (no deadline).
std::optional<std::chrono::steady_clock::time_point> deadline_from(std::chrono::steady_clock::time_point start,
                                                                   Duration d) noexcept;
// `now + d`, or nullopt when that cannot be represented (no deadline).
std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration d) noexcept;

struct TransportConfig {
  std::optional<std::vector<std::uint8_t>> cluster_secret;  // empty secret is a secret
  std::optional<std::uint32_t> reconnect_max_attempts;      // none: never give up
  Duration heartbeat_interval{1, 0};
  Duration peer_timeout{3, 0};
  Duration reconnect_interval{1, 0};
  std::uint64_t peer_queue_capacity = 256;
  bool auto_reconnect = true;
};

// Why a configuration is unusable (zero intervals, a capacity no queue can
// have), or nullopt when it is fine. Transport::listen refuses such a config.
std::optional<std::string> config_problem(const TransportConfig& config);

struct PeerConnected {
  NodeId peer;
};
struct PeerDisconnected {
  NodeId peer;
};
struct PeerError {
  NodeId peer;
  std::string detail;
  std::optional<std::uint64_t> correlation_id;
};
struct ReconnectGaveUp {
  NodeId peer;
};
struct MailboxFull {
  std::string actor;
};
using Event = std::variant<PeerConnected, PeerDisconnected, PeerError, ReconnectGaveUp, MailboxFull>;

using EventReceiver = async::BroadcastReceiver<Event>;

// An operating-system, resolver or invalid-input error, with its text.
struct IoError {
  std::error_code code;
  std::string message;  // the display text
  // Asio reports operating-system errors in a category of its own; they are
  // kept as std::system_category errors, so that they compare with std::errc.
  static IoError from(const std::error_code& ec) {
    if (ec.category() == asio::error::get_system_category()) {
      return {std::error_code(ec.value(), std::system_category()), ec.message()};
    }
    return {ec, ec.message()};
  }
  static IoError invalid_input(std::string text) {
    return {std::make_error_code(std::errc::invalid_argument), std::move(text)};
  }
  // The error of a dial abandoned at its deadline. It is the one IoError in
  // the generic category with this value: the system's own ETIMEDOUT arrives
  // in the system category and is an ordinary failure.
  static IoError timed_out() { return {std::make_error_code(std::errc::timed_out), "deadline has elapsed"}; }
  bool is_timed_out() const noexcept { return code == std::make_error_code(std::errc::timed_out); }
};

struct KnownPeer {
  NodeId id;
  PeerHandle handle;
};

// An accepted connection counted among those awaiting their Handshake, from
// its accept until its reader learns who the peer is or ends; see
// Transport::accept_loop. Moves only; the empty slot counts nothing.
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

class Transport {
 public:
  // Binds the listener (numeric hosts without a lookup), creates the shared
  // state and spawns the accept loop and the reconnect supervisor on the
  // coroutine's executor. Refuses a config for which config_problem() speaks.
  static async::awaitable<Result<Transport, IoError>> listen(NodeId local_id, TransportConfig config);

  const NodeId& local_id() const noexcept { return local_id_; }
  const std::string& local_full() const noexcept { return local_full_; }
  const TransportConfig& config() const noexcept;
  async::Executor executor() const;

  EventReceiver subscribe_events() const;
  // Never waits; no receiver is not an error. A PeerDisconnected is also
  // announced to the readers and heartbeat tasks that follow its peer.
  void publish(Event event) const;
  // Announcements of disconnections, for the tasks that follow one peer.
  Disconnections& disconnections() const noexcept;
  std::uint64_t take_msg_id() const noexcept;
  bool connection_wins_tiebreak(const NodeId& peer, bool outbound) const;

  // --- operations for the node: each runs to completion on the calling
  // thread. The lock-only ones may run anywhere; the sends that may wait for
  // room in a peer queue throw async::BlockingOnWorker on a worker thread.
  void register_actor(std::string name, MailboxSender mailbox) const;
  void unregister_actor(std::string_view name) const;
  bool has_peer(const NodeId& peer) const;
  std::size_t peer_count() const;
  void forget_peer(const NodeId& peer) const;
  Result<void, SendError> send_data_bytes(const NodeId& peer, std::string_view dst_actor,
                                          std::vector<std::uint8_t> payload,
                                          std::optional<std::string_view> reply_to,
                                          std::optional<std::uint64_t> correlation_id) const;
  void send_error_blocking(const NodeId& peer, std::string detail,
                           std::optional<std::uint64_t> correlation_id) const;

  // A message built for one peer (its id drawn) and not yet in the peer queue.
  struct PendingSend {
    NodeId peer;
    WireMessage message;
    std::optional<PeerHandle> handle;  // the peer's handle, once looked up
  };
  // send_data_bytes in two halves, for a caller that must not wait while it
  // holds a lock of its own (the GIL). The first never waits: it builds the
  // message and queues it when the peer table's lock is free and the peer
  // queue has room, and returns the send's result whenever that is decided
  // without waiting. What it returns pending, send_pending finishes, waiting
  // as send_data_bytes does. Together they refuse and succeed exactly as
  // send_data_bytes does, in the same order.
  using FirstAttempt = std::variant<Result<void, SendError>, PendingSend>;
  FirstAttempt try_send_data_bytes(
      const NodeId& peer, std::string_view dst_actor, std::vector<std::uint8_t> payload,
      std::optional<std::string_view> reply_to, std::optional<std::uint64_t> correlation_id) const;
  // Looks the peer up if that is still to do (NotConnected without an entry),
  // then waits for room in its queue (Closed when the writer has ended).
  Result<void, SendError> send_pending(PendingSend pending) const;

  // The same sends from a coroutine (benchmarks, tests). send_error waits for
  // room in the peer queue; route's own replies wait with a bound (reply_error).
  async::awaitable<Result<void, SendError>> async_send_data_bytes(
      NodeId peer, std::string dst_actor, std::vector<std::uint8_t> payload,
      std::optional<std::string> reply_to, std::optional<std::uint64_t> correlation_id) const;
  async::awaitable<void> send_error(NodeId peer, std::string detail,
                                    std::optional<std::uint64_t> correlation_id) const;

  // --- tasks and their parts
  static async::awaitable<void> connect(Transport self, NodeId peer);
  // With a deadline, the lookup and connection attempt are abandoned when it
  // passes (timed_out() is then the error); registration never waits.
  static async::awaitable<Result<void, IoError>> dial(
      Transport self, NodeId peer,
      std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
  // Accepts without end. An accepted connection is closed at once while as
  // many as awaiting_handshake_bound() still await their Handshake, so that
  // connections that never complete one cannot take every descriptor.
  static async::awaitable<void> accept_loop(Transport self, asio::ip::tcp::acceptor listener);
  static async::awaitable<void> handle_inbound(Transport self, asio::ip::tcp::socket stream, HandshakeSlot slot);
  // Half the process's soft limit of open descriptors (at least 1).
  static std::size_t awaiting_handshake_bound();
  // `slot` counts an accepted connection until its Handshake is accepted.
  static async::awaitable<void> read_loop(Transport self, ReadHalf reader,
                                          std::optional<WriteHalf> writer,
                                          std::optional<KnownPeer> known, HandshakeSlot slot = {});
  // Hands one message from `from`'s reader on: Data to its actor's mailbox
  // (a put that never waits), Error to a PeerError event. A coroutine because
  // an error reply to `from` may wait for room, up to the read time-out.
  async::awaitable<void> route(NodeId from, WireMessage msg) const;
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
  // route without its wait: does everything but the error reply, which it
  // hands back for reply_error.
  std::optional<ErrorReply> route_now(const NodeId& from, WireMessage msg, RecentMailbox& recent) const;
  // Sends route's error reply to `peer`, waiting for room in the peer queue
  // until `deadline` at most; a reply that finds no room by then is dropped
  // with a DEBUG line. The reader that routes reads nothing while its reply
  // waits, so an unbounded wait could stop two nodes whose queues are full in
  // both directions for good; a reader gives all the replies of one chunk one
  // deadline, so that a chunk of many holds it for one read time-out at most.
  async::awaitable<void> reply_error(const NodeId& peer, ErrorReply reply,
                                     std::chrono::steady_clock::time_point deadline) const;
  // Heartbeats to `peer` through `connection` while the peer table holds it:
  // the task ends when its connection is replaced or ends, or the peer's
  // disconnection is announced. It must run on a strand (the connection's),
  // which it shares with the announcement.
  static async::awaitable<void> heartbeat_loop(Transport self, NodeId peer, PeerHandle::ConnectionRef connection);
  static async::awaitable<void> reconnect_loop(Transport self, NodeId peer);
  static async::awaitable<void> reconnect_supervisor(Transport self, EventReceiver events);

  // Spawns a detached task on this transport's executor. A task whose state
  // is shared with handlers of its own (an event watch, a time-out) must not
  // go here, since both workers could run them at once: it runs on a strand
  // of its own (spawn_on).
  void spawn(async::awaitable<void> task) const;
  // Spawns a detached task on `ex` (a connection's strand, for its reader).
  static void spawn_on(const async::Executor& ex, async::awaitable<void> task);

  // The registration rule for a new connection to `handle.id()`, dialled by
  // this node (`outbound`) or accepted. Under the peer table's write lock: no
  // entry, or connection_wins_tiebreak(peer, outbound), makes it the winner;
  // for a winner `before_insert` runs (still under the lock; it must not wait
  // or publish: dialling queues its Handshake there), then the table maps the
  // peer to a copy of `handle`. A replaced handle is dropped after the lock is
  // released. Returns whether the new connection won; the caller publishes
  // PeerConnected for a winner and closes a loser.
  bool register_connection(const PeerHandle& handle, bool outbound,
                           const std::function<void()>& before_insert = {}) const;

  // Removes the entry for handle.id() if it still holds `handle`'s connection
  // (peer table write lock); whether it did. Used by a closing reader.
  bool unregister_connection(const PeerHandle& handle) const;

  struct Shared;  // defined in transport_state.h
  // The shared state, for the transport's own code and tests.
  Shared& state() const noexcept { return *shared_; }

 private:
  Transport(NodeId local_id, std::shared_ptr<Shared> shared);
  // The Data message of a send, with its id, or why it is refused (the
  // payload, then the encoded body, is too large; a refusal takes no id).
  Result<WireMessage, SendError> build_data(std::string_view dst_actor, std::vector<std::uint8_t>&& payload,
                                            std::optional<std::string_view> reply_to,
                                            std::optional<std::uint64_t> correlation_id) const;
  // The Error message {"error":detail}, with a freshly drawn id; nothing when
  // its body is longer than a frame may be, which is logged as the writer logs
  // a message that it cannot frame. The detail of a reply echoes an actor name
  // that the peer chose, and escaping can make it six times longer: such a
  // reply is refused here rather than held in the peer queue.
  std::optional<WireMessage> build_error(std::string_view detail, std::optional<std::uint64_t> correlation_id) const;
  // send_pending from a coroutine.
  async::awaitable<Result<void, SendError>> async_send_pending(PendingSend pending) const;
  // The table of running reconnect loops, kept alive with the shared state.
  std::shared_ptr<ReconnectLoops> reconnect_loops() const;

  NodeId local_id_;
  std::string local_full_;
  std::shared_ptr<Shared> shared_;
  async::BroadcastSender<Event> events_;
};

}  // namespace vardimont::transport
