// The sending side of one connection: the peer handle and the writer task.
#include "transport/peer.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "log/log.h"
#include "wire/framing.h"

namespace vardimont::transport {

std::string SendError::to_string() const {
  switch (kind) {
    case Kind::Closed:
      return "peer connection is closed";
    case Kind::NotConnected:
      return "peer not connected";
    case Kind::PayloadTooLarge:
      return "payload too large (" + std::to_string(len) + " bytes)";
  }
  return "send failed";
}

// --- the two halves

WriteHalf& WriteHalf::operator=(WriteHalf&& other) noexcept {
  if (this != &other) {
    shutdown();
    conn_ = std::move(other.conn_);
  }
  return *this;
}

WriteHalf::~WriteHalf() { shutdown(); }

void WriteHalf::shutdown() noexcept {
  if (!conn_) return;
  std::error_code ignored;
  conn_->socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  conn_.reset();
}

void ReadHalf::release() noexcept { conn_.reset(); }

std::pair<ReadHalf, WriteHalf> split(asio::ip::tcp::socket socket) {
  // A synchronous read returns would_block instead of waiting: the reader
  // takes what is already there that way, on a socket where this took.
  std::error_code ignored;
  socket.non_blocking(true, ignored);
  auto conn = std::make_shared<Connection>(std::move(socket));
  return {ReadHalf(conn), WriteHalf(conn)};
}

// --- the handle

PeerHandle PeerHandle::spawn(NodeId id, WriteHalf write_half, std::uint64_t capacity,
                             std::chrono::steady_clock::duration write_timeout) {
  // The transport refuses other capacities before any connection exists; the
  // clamp keeps a direct caller from making a queue that cannot exist.
  capacity = std::clamp<std::uint64_t>(capacity, 1, async::MAX_QUEUE_CAPACITY);
  auto [tx, rx] = async::make_queue<WireMessage>(capacity);
  const async::Executor strand = write_half.socket().get_executor();
  asio::co_spawn(strand, writer_loop(std::move(rx), std::move(write_half), write_timeout),
                 [](const std::exception_ptr&) {});
  return PeerHandle(std::move(id), std::move(tx));
}

namespace {

// The send runs on its own copy of the sending end, so the handle it was
// started from need not outlive it.
async::awaitable<Result<void, SendError>> send_through(async::Sender<WireMessage> tx, WireMessage message) {
  const bool queued = co_await tx.send(std::move(message));
  if (queued) co_return Ok{};
  co_return err(SendError{SendError::Kind::Closed});
}

}  // namespace

async::awaitable<Result<void, SendError>> PeerHandle::send(WireMessage message) const {
  return send_through(tx_, std::move(message));
}

Result<void, SendError> PeerHandle::blocking_send(WireMessage message) const {
  if (tx_.blocking_send(std::move(message))) return Ok{};
  return err(SendError{SendError::Kind::Closed});
}

// --- the writer

void log_unframeable(std::size_t body_len) {
  log::event(log::Level::Warn, log::PEER, "failed to encode frame, dropping",
             {{"e", wire::EncodeError{body_len}.to_string()}});
}

namespace {

// Appends the frame of `m` to `batch`; a message that cannot be framed is
// logged and skipped (the batch is left as it was).
bool append_or_drop(const WireMessage& m, std::vector<std::uint8_t>& batch) {
  Result<void, wire::EncodeError> appended = wire::append_frame(m, batch);
  if (appended) return true;
  log_unframeable(appended.error().body_len);
  return false;
}

using Clock = std::chrono::steady_clock;

// The bytes that the socket holds and its peer has not acknowledged yet; -1
// when that cannot be read.
int unacknowledged(asio::ip::tcp::socket& socket) {
  int n = -1;
  if (::ioctl(socket.native_handle(), SIOCOUTQ, &n) != 0) return -1;
  return n;
}

// The write time-out is one timer per connection, armed when a write starts
// (unless it is armed already) and then every time it fires while a write is
// under way. Each firing looks back over its period: if the socket took bytes
// of a write, or fewer bytes wait in it for the peer's acknowledgement than
// at the last firing, the peer is making progress. A peer that reads slowly
// drains a large send buffer long before the socket takes the next bytes; a
// peer that reads nothing does neither for a whole period, and the connection
// ends, between one and two write time-outs after its last progress.
void arm_stall(const std::shared_ptr<Connection>& conn, Clock::duration write_timeout) {
  const Clock::time_point now = Clock::now();
  if (write_timeout > Clock::time_point::max() - now) return;  // no time-out to keep
  conn->stall_armed = true;
  conn->checked = now;
  conn->unacknowledged = unacknowledged(conn->socket);
  conn->timer.expires_at(now + write_timeout);
  conn->timer.async_wait([weak = std::weak_ptr<Connection>(conn), write_timeout](std::error_code ec) {
    std::shared_ptr<Connection> c = weak.lock();
    if (ec || !c) return;
    c->stall_armed = false;
    if (!c->writing) return;
    const int waiting = unacknowledged(c->socket);
    if (c->progress > c->checked || (waiting >= 0 && waiting < c->unacknowledged)) {
      arm_stall(c, write_timeout);
      return;
    }
    // Nothing taken for the whole time-out: the connection ends. Closing the
    // socket fails the write under way (the writer ends and closes its queue)
    // and the reader's read (the reader sees write_stalled).
    c->write_stalled = true;
    std::error_code ignored;
    c->socket.close(ignored);
  });
}

}  // namespace

async::awaitable<void> writer_loop(async::Receiver<WireMessage> rx, WriteHalf write_half,
                                   std::chrono::steady_clock::duration write_timeout) {
  try {
    // Reused for every batch; a batch that a large message grew past
    // RETAINED_BATCH is let go once written, so that a connection does not
    // keep up to twice the largest frame it ever sent for the rest of its life.
    constexpr std::size_t RETAINED_BATCH = std::size_t{1} << 20;
    std::vector<std::uint8_t> batch;
    for (;;) {
      std::optional<WireMessage> first = co_await rx.recv();
      if (!first) break;  // every handle is gone and the queue is drained
      batch.clear();
      if (!append_or_drop(*first, batch)) continue;
      first.reset();
      // What is already waiting joins this batch, up to its bound: one write
      // sequence for a burst instead of one per message.
      while (batch.size() < MAX_BATCH_LEN) {
        std::optional<WireMessage> next = rx.try_recv();
        if (!next) break;
        append_or_drop(*next, batch);
      }

      // async_write writes until all is written; it stops short only on an
      // error or on a write that accepted nothing, and both end the writer.
      // Its completion is always posted, also when the socket takes the
      // whole batch at once: the senders run meanwhile, so the next batch
      // holds what they queued and a stream leaves in few large writes. A
      // synchronous write that loops straight back must not replace it: it
      // sends one small batch per message and, with Nagle's algorithm on,
      // holds each behind the unacknowledged one before it.
      Connection& conn = *write_half.connection();
      conn.writing = true;
      conn.progress = Clock::now();
      if (!conn.stall_armed) arm_stall(write_half.connection(), write_timeout);
      std::size_t taken = 0;
      auto [ec, written] = co_await asio::async_write(
          write_half.socket(), asio::buffer(batch),
          [&conn, &taken](const std::error_code& e, std::size_t n) {
            if (n > taken) {
              taken = n;
              conn.progress = Clock::now();
            }
            return asio::transfer_all()(e, n);
          },
          async::use_tuple);
      conn.writing = false;
      if (ec || written != batch.size()) break;
      if (batch.capacity() > RETAINED_BATCH) std::vector<std::uint8_t>().swap(batch);
    }
  } catch (const std::exception&) {
    // Ends the writer like a failed write.
  }
  // Close the queue first, so that waiting and later sends see Closed and
  // whatever is still queued is discarded; then shut the sending direction.
  { async::Receiver<WireMessage> closing = std::move(rx); }
  { WriteHalf closing = std::move(write_half); }
}

}  // namespace vardimont::transport
