// Transport: the cheaply copied handle to one node's network engine. Every
// copy shares the settings, the peer table, the desired-peer set, the routing
// table, the event broadcast and the message counter; each copy owns its
// local id and is one more sending end of the broadcast.
//
// This header is what the node uses. The transport's own parts (its tasks,
// routing, the registration rule, the shared state) are in internal.h.
#pragma once

#include <cstddef>
#include <cstdint>
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
#include "base/result.h"
#include "runtime/node_id.h"
#include "transport/durations.h"
#include "transport/peer.h"
#include "transport/tables.h"
#include "wire/message.h"

namespace vardimont::transport {

inline constexpr std::size_t EVENT_CAPACITY = 64;
inline constexpr std::size_t MAX_PAYLOAD_LEN = 16'777'216;
inline constexpr std::size_t MAILBOX_CAPACITY = 256;

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

class Transport {
 public:
  // Binds the listener (numeric hosts without a lookup), creates the shared
  // state and spawns the accept loop and the reconnect supervisor on the
  // coroutine's executor. Refuses a config for which config_problem() speaks.
  static async::awaitable<Result<Transport, IoError>> listen(NodeId local_id, TransportConfig config);

  const NodeId& local_id() const noexcept { return local_id_; }
  // local_id().to_full(), kept.
  const std::string& local_full() const noexcept { return local_full_; }
  const TransportConfig& config() const noexcept;
  // Where the transport's tasks run (the executor Transport::listen ran on).
  async::Executor executor() const;

  EventReceiver subscribe_events() const;

  // --- operations: each runs to completion on the calling thread. The
  // lock-only ones may run anywhere; the sends that may wait for room in a
  // peer queue throw async::BlockingOnWorker on a worker thread, before they
  // take a message id.
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

  // Dials `peer` once and hands a failed first dial over to reconnection
  // (when auto_reconnect is set); the task the node spawns for connect().
  static async::awaitable<void> connect(Transport self, NodeId peer);

  // Spawns a detached task on this transport's executor. A task whose state
  // is shared with handlers of its own (an event watch, a time-out) must not
  // go here, since both workers could run them at once: it runs on a strand
  // of its own (spawn_on in internal.h).
  void spawn(async::awaitable<void> task) const;

  struct Shared;  // the state every copy shares (internal.h)

 private:
  friend const std::shared_ptr<Shared>& shared_state(const Transport& t) noexcept;
  friend void publish(const Transport& t, Event event);

  Transport(NodeId local_id, std::shared_ptr<Shared> shared);

  NodeId local_id_;
  std::string local_full_;
  std::shared_ptr<Shared> shared_;
  async::BroadcastSender<Event> events_;
};

}  // namespace vardimont::transport
