// The sending side of one connection: its bounded peer queue, the handle that
// everybody puts messages through, and the writer task that frames queued
// messages in batches and writes each batch in one write sequence.
//
// A connection's socket is shared by its two halves. Every operation on the
// socket runs on the connection's strand (the socket's executor): the reader
// and the writer are both spawned there. Dropping the write half shuts the
// sending direction; the socket closes when both halves are gone, or when the
// writer's peer has taken nothing for the write time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "async/asio.h"
#include "async/queue.h"
#include "base/result.h"
#include "runtime/node_id.h"
#include "wire/message.h"

namespace vardimont::transport {

using runtime::NodeId;
using wire::WireMessage;

struct SendError {
  enum class Kind : std::uint8_t { Closed, NotConnected, PayloadTooLarge };
  Kind kind;
  // PayloadTooLarge: the payload's length or, when the payload fits but the
  // whole encoded body exceeds the frame limit, the body's length.
  std::size_t len = 0;

  // "peer connection is closed" / "peer not connected" / "payload too large ({} bytes)"
  std::string to_string() const;
  friend bool operator==(const SendError&, const SendError&) = default;
};

// The most bytes that one batch of the writer takes from the queue: the first
// message always, then more while the batch is shorter than this. Beyond it a
// larger write saves nothing, and a sender that keeps the queue busy while the
// writer frames could otherwise pour any number of messages past the queue's
// bound into one batch, none of which would then wait for room.
inline constexpr std::size_t MAX_BATCH_LEN = 64 * 1024;

// Logs a message dropped because its body of `body_len` bytes cannot be
// framed: by the writer, and where an error message is built.
void log_unframeable(std::size_t body_len);

struct Connection {
  explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)), timer(socket.get_executor()) {}
  asio::ip::tcp::socket socket;  // executor: the connection's strand
  // The writer's write time-out (see writer_loop), on the strand: while a
  // batch is being written, the socket must take some of it, or the peer
  // acknowledge some of what the socket holds, at least once per write
  // time-out, or the connection ends.
  asio::steady_timer timer;
  std::chrono::steady_clock::time_point progress;  // of the write under way: its start or its last bytes taken
  std::chrono::steady_clock::time_point checked;   // when the timer was last armed
  int unacknowledged = -1;  // bytes the socket held unacknowledged then
  bool writing = false;
  bool stall_armed = false;
  bool write_stalled = false;  // set once, when the socket took nothing for the write time-out
};

class ReadHalf {
 public:
  explicit ReadHalf(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}
  asio::ip::tcp::socket& socket() const noexcept { return conn_->socket; }
  // Whether the writer ended the connection because its peer took nothing
  // for the write time-out (the socket is closed then); the reader ends as
  // at its own time-out.
  bool write_stalled() const noexcept { return conn_ && conn_->write_stalled; }

  // Gives up the read half: the socket closes once the writer has ended too.
  // The writer writes what is still queued for as long as its peer makes
  // progress; a peer that reads nothing ends the connection at the write
  // time-out, which closes the socket and the queue (what is still queued is
  // discarded, and every waiting and later send returns Closed).
  void release() noexcept;

 private:
  std::shared_ptr<Connection> conn_;
};

class WriteHalf {
 public:
  explicit WriteHalf(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}
  WriteHalf(WriteHalf&&) noexcept = default;
  WriteHalf& operator=(WriteHalf&&) noexcept;
  ~WriteHalf();  // shuts down the sending direction (errors ignored)
  asio::ip::tcp::socket& socket() const noexcept { return conn_->socket; }
  const std::shared_ptr<Connection>& connection() const noexcept { return conn_; }

 private:
  void shutdown() noexcept;
  std::shared_ptr<Connection> conn_;
};

// `socket` must already live on its own strand (accepted or created with
// asio::make_strand).
std::pair<ReadHalf, WriteHalf> split(asio::ip::tcp::socket socket);

class PeerHandle {
 public:
  // Creates the peer queue (capacity clamped to 1..MAX_QUEUE_CAPACITY; the
  // transport refuses other capacities when it is created) and spawns
  // writer_loop on the write half's strand, with `write_timeout` (the read
  // time-out of the connection; duration::max() for none).
  static PeerHandle spawn(NodeId id, WriteHalf write_half, std::uint64_t capacity,
                          std::chrono::steady_clock::duration write_timeout);

  // Waits for room, without a time-out. Closed when the writer has ended.
  async::awaitable<Result<void, SendError>> send(WireMessage message) const;
  // The same from a plain thread; the queue throws async::BlockingOnWorker on
  // a worker.
  Result<void, SendError> blocking_send(WireMessage message) const;
  // Waits for room until `deadline`: Ok once queued, Full when the deadline
  // passed first, Closed when the writer has ended (the message is dropped
  // unless it was queued).
  async::awaitable<async::TrySend> send_until(WireMessage message,
                                              std::chrono::steady_clock::time_point deadline) const {
    return tx_.send_until(std::move(message), deadline);
  }
  // Never waits; used for the handshake put into a new, empty queue.
  async::TrySend try_send(WireMessage& message) const { return tx_.try_send(message); }

  const NodeId& id() const noexcept { return id_; }
  // Two handles are the same connection exactly when they share a queue.
  bool same_connection(const PeerHandle& other) const noexcept { return tx_.same_queue(other.tx_); }
  // Which connection this is, without keeping it open: for a task that must
  // notice when the peer table holds another connection of its peer.
  using ConnectionRef = std::weak_ptr<const void>;
  ConnectionRef connection() const noexcept { return tx_.identity(); }
  bool is(const ConnectionRef& connection) const noexcept { return tx_.is_queue(connection); }

 private:
  PeerHandle(NodeId id, async::Sender<WireMessage> tx) : id_(std::move(id)), tx_(std::move(tx)) {}
  NodeId id_;
  // Sending through a shared handle changes the queue, not the handle: the
  // queue does its own locking, so the const operations may use it.
  mutable async::Sender<WireMessage> tx_;
};

// Frames every queued message into one reused batch buffer and writes the
// batch; ends when the queue is closed and drained or a write fails. A batch
// of which the socket takes nothing for `write_timeout` ends the connection:
// the socket is closed (the reader then ends as at its read time-out) and so
// is the queue. A peer that reads, however slowly, keeps its connection.
async::awaitable<void> writer_loop(async::Receiver<WireMessage> rx, WriteHalf write_half,
                                   std::chrono::steady_clock::duration write_timeout);

}  // namespace vardimont::transport
