// The reader of one connection, inbound or outbound: reads under the read
// time-out, decodes frames, accepts an inbound Handshake, hands every other
// message of a known peer to route, watches the events for its own peer's
// disconnection, and at its end removes its own registration.
//
// One read at a time runs alone; the read time-out and the disconnection of
// the peer reach it on the connection's strand and end a pending read, by its
// own cancellation slot, when the connection must end (the writer's write on
// the same socket goes on):
// - the time-out is one timer for the connection, not one per read. Until
//   the Handshake is accepted it is one deadline from the accept, which reads
//   do not move: a stranger that trickles bytes cannot hold a connection
//   longer. Then, when it fires and the read under way started less than the
//   read time-out ago (or no read is under way: route's waits lie outside the
//   time-out), it is armed again for the rest. Only input on this connection
//   counts: events of the node never move it;
// - once the peer is known the reader follows that peer's disconnection
//   (Disconnections), which ends it.
// Bytes that a read returned are always handled, also when the disconnection
// came meanwhile (the end is acted on after them) or the time-out fired as
// they came (they count as input: the time-out starts again).
//
// An accepted connection that loses the tie-break is not cut off: its far end
// may have queued messages on it before it learnt of the connection in use.
// Its writer ends at once (the far end sees the end of the stream and switches
// over), and its reader goes on reading and routing until the far end closes
// it, its read time-out passes or the peer's disconnection is announced, as
// for a connection that a newer one replaced; it publishes nothing.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "async/asio.h"
#include "log/log.h"
#include "transport/disconnections.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/internal.h"
#include "wire/auth.h"
#include "wire/framing.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using Clock = std::chrono::steady_clock;

// The longest first frame that an accepted connection may announce: its
// Handshake, a few hundred bytes from any node of this system. Nothing more is
// buffered for a peer that has not proved anything yet.
constexpr std::size_t MAX_FIRST_FRAME_LEN = 65'536;

// What a read that waits for input takes at most on a quiet connection: a
// heartbeat or a small message, so that an idle connection holds no more than
// this while it waits.
constexpr std::size_t WAIT_BUF_LEN = 256;

// What a read that waits for input takes at most on a busy connection (its
// last wake brought more than WAIT_BUF_LEN bytes), so that a stream costs one
// read per wake; the buffer is let go once a wake brings little again.
constexpr std::size_t BUSY_BUF_LEN = 4096;

// What a read takes at most once input is known to be waiting (the last read
// filled its buffer): into a buffer of the worker thread's, which no
// connection holds while it waits. The bytes are decoded before the reader
// can be suspended, so nothing else on the thread touches them meanwhile.
constexpr std::size_t READ_BUF_LEN = 16 * 1024;

std::span<std::uint8_t> thread_read_buffer() {
  thread_local std::vector<std::uint8_t> buf(READ_BUF_LEN);
  return buf;
}

// How many reads in a row may take what is waiting without an asynchronous
// read (see run()).
constexpr int READS_AT_ONCE = 8;

void warn(std::string_view message, std::initializer_list<log::Field> fields = {}) {
  log::event(log::Level::Warn, log::TRANSPORT, message, fields);
}

// One connection's reader state, shared with the pending time-out and event
// watch, which run on the connection's strand too.
class Reader : public std::enable_shared_from_this<Reader> {
 public:
  Reader(Transport self, ReadHalf read_half, std::optional<WriteHalf> writer, std::optional<KnownPeer> known,
         HandshakeSlot slot)
      : self_(std::move(self)),
        read_half_(std::move(read_half)),
        writer_(std::move(writer)),
        slot_(std::move(slot)),
        started_(disconnections(self_).mark()),
        decoder_(known ? wire::FrameDecoder() : wire::FrameDecoder(MAX_FIRST_FRAME_LEN)),
        timer_(read_half_.socket().get_executor()) {
    if (known) {
      peer_ = std::move(known->id);
      handle_ = std::move(known->handle);
    }
  }

  // The loop; returns when the connection is finished.
  async::awaitable<void> run() {
    read_started_ = Clock::now();
    if (!peer_) handshake_deadline_ = deadline_of(read_started_);
    if (const auto deadline = deadline_of(read_started_)) arm_time_out(*deadline);
    if (peer_) follow_peer();
    bool full = false;       // the last read filled its buffer: more is likely waiting
    std::size_t woken = 0;   // bytes taken since the last asynchronous read began
    for (int at_once = 0;;) {
      // The writer closes the socket when its peer takes nothing for the
      // write time-out: the reader then ends as at its own time-out.
      if (disconnected_ || timed_out_ || read_half_.write_stalled()) co_return;
      std::error_code ec;
      // After a read that filled its buffer more is likely waiting: it is
      // taken at once when it is, without an asynchronous read, whose
      // completion would be posted and wake an idle worker. A few such reads
      // in a row at most, so that the writer on the same strand, the
      // disconnection and the time-out get their turn.
      std::span<std::uint8_t> buf;
      std::size_t n = 0;
      if (full && ++at_once <= READS_AT_ONCE) {
        buf = thread_read_buffer();
        n = read_now(buf, ec);
      }
      if (n == 0 && !ec) {
        at_once = 0;
        read_started_ = Clock::now();
        reading_ = true;
        if (woken <= WAIT_BUF_LEN) {
          busy_buf_.reset();
        } else if (!busy_buf_) {
          busy_buf_ = std::make_unique<std::array<std::uint8_t, BUSY_BUF_LEN>>();
        }
        woken = 0;
        buf = busy_buf_ ? std::span<std::uint8_t>(*busy_buf_) : std::span<std::uint8_t>(wait_buf_);
        std::tie(ec, n) = co_await read_half_.socket().async_read_some(
            asio::buffer(buf.data(), buf.size()), asio::bind_cancellation_slot(cancel_read_.slot(), async::use_tuple));
        reading_ = false;
      }
      full = !ec && n == buf.size();
      if (!ec) woken += n;
      if (read_half_.write_stalled()) co_return;
      if (!ec && n > 0) {
        const bool late = timed_out_;
        if (!co_await handle_chunk(std::span<const std::uint8_t>(buf.data(), n))) co_return;
        if (late) {
          // Input arrived just as the time-out fired: the input counts, unless
          // the Handshake's deadline passed without a Handshake.
          if (!peer_) co_return;
          timed_out_ = false;
          if (const auto deadline = deadline_of(Clock::now())) arm_time_out(*deadline);
        }
      } else if (timed_out_) {
        co_return;  // silence: ends without a log line
      } else if (ec && ec != asio::error::operation_aborted) {
        // End of stream (the far end closed its sending direction) ends the
        // reader silently; any other failure is logged.
        if (ec != asio::error::eof) {
          log::event(log::Level::Debug, log::TRANSPORT, "read error, dropping connection", {{"e", ec.message()}});
        }
        co_return;
      }
    }
  }

  // Removes this connection's registration if the peer table still holds it,
  // then announces the disconnection (a superseded connection removes and
  // publishes nothing). The writer then writes what is queued for as long as
  // the peer makes progress: a peer that stopped sending but still reads, or
  // one that refused this connection at the tie-break and reads it to its
  // end, gets all of it, while a peer that reads nothing cannot keep the
  // socket, the writer and whoever waits for room in its queue beyond the
  // write time-out. Stops the time-out and the following, which let go of
  // this state as they complete.
  void finish() {
    finished_ = true;
    following_.stop();
    slot_.release();
    recent_mailbox_.forget();
    timer_.cancel();
    if (handle_ && unregister_connection(self_, *handle_)) publish(self_, PeerDisconnected{*peer_});
    read_half_.release();
  }

 private:
  // The deadline of a read started at `start`; none when it cannot be
  // represented (the read then has no time-out).
  std::optional<Clock::time_point> deadline_of(Clock::time_point start) const {
    return deadline_from(start, self_.config().peer_timeout);
  }

  // What the non-blocking socket holds right now, into the buffer: 0 when
  // nothing is there yet (or on an error, which is left in `ec`).
  std::size_t read_now(std::span<std::uint8_t> buf, std::error_code& ec) {
    if (!read_half_.socket().non_blocking()) return 0;  // it would wait: left to an asynchronous read
    const std::size_t got = read_half_.socket().read_some(asio::buffer(buf.data(), buf.size()), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) ec.clear();
    return ec ? 0 : got;
  }

  // Ends the read under way, if any; the loop then sees why.
  void stop_reading() {
    if (reading_) cancel_read_.emit(asio::cancellation_type::all);
  }

  void arm_time_out(Clock::time_point at) {
    timer_.expires_at(at);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->on_time_out();
    });
  }

  void on_time_out() {
    if (finished_ || disconnected_) return;
    if (!peer_) {
      // One deadline from the accept to the Handshake.
      if (handshake_deadline_ && Clock::now() < *handshake_deadline_) {
        arm_time_out(*handshake_deadline_);
        return;
      }
      timed_out_ = true;
      stop_reading();
      return;
    }
    if (!reading_) {
      // Route's waits do not count: the next read starts its own time-out.
      if (const auto deadline = deadline_of(Clock::now())) arm_time_out(*deadline);
      return;
    }
    const std::optional<Clock::time_point> deadline = deadline_of(read_started_);
    if (!deadline) return;
    if (Clock::now() >= *deadline) {
      timed_out_ = true;  // re-armed by the loop if the read brings input after all
      stop_reading();
      return;
    }
    arm_time_out(*deadline);
  }

  // Follows the known peer's disconnection, counted from the reader's start.
  void follow_peer() {
    following_ = disconnections(self_).follow(*peer_, started_, [weak = weak_from_this()] {
      if (std::shared_ptr<Reader> r = weak.lock()) {
        const async::Executor strand = r->timer_.get_executor();
        asio::post(strand, [r = std::move(r)] { r->on_disconnected(); });
      }
    });
  }

  void on_disconnected() {
    if (finished_) return;
    // An announcement while this connection is registered is of an older
    // one (is_registered): this connection follows on from now. Ending it
    // would cut the connection in use at both ends, and with it the
    // connections still being read behind it.
    if (handle_ && is_registered(self_, *peer_, handle_->connection())) {
      started_ = disconnections(self_).mark();
      follow_peer();
      return;
    }
    disconnected_ = true;
    stop_reading();
  }

  // Decodes one chunk and handles its messages in order; false ends the reader
  // (the rest of the chunk and the decoder's bytes are discarded with it).
  // The chunk is decoded before anything can suspend the reader: it may lie
  // in the worker thread's read buffer.
  async::awaitable<bool> handle_chunk(std::span<const std::uint8_t> chunk) {
    std::optional<Clock::time_point> reply_deadline;  // set by the chunk's first error reply
    auto decoded = decoder_.decode(chunk);
    if (!decoded.ok()) {
      warn("invalid frame, dropping connection", {{"e", decoded.error().to_string()}});
      co_return false;
    }
    for (WireMessage& msg : decoded.value()) {
      if (msg.version != wire::PROTOCOL_VERSION) {
        warn("protocol version mismatch, dropping connection",
             {{"got", std::to_string(static_cast<unsigned>(msg.version))},
              {"expected", std::to_string(static_cast<unsigned>(wire::PROTOCOL_VERSION))},
              {"src", msg.src}});
        co_return false;
      }
      if (msg.kind == wire::MessageKind::Handshake) {
        // A repeated Handshake, or one on an outbound connection, changes
        // nothing, whatever it carries.
        if (peer_) continue;
        if (!accept_handshake(msg)) co_return false;
        continue;
      }
      if (!peer_) {
        warn("data before handshake, dropping connection");
        co_return false;
      }
      std::optional<ErrorReply> reply = route_now(self_, *peer_, std::move(msg), recent_mailbox_);
      if (reply) {
        recent_mailbox_.forget();
        // Every reply of the chunk waits until one deadline at most, so that
        // a chunk of many messages that all need one holds the reader for
        // one read time-out, not one per message.
        if (!reply_deadline) {
          reply_deadline = deadline_after(self_.config().peer_timeout).value_or(Clock::time_point::max());
        }
        co_await reply_error(self_, *peer_, std::move(*reply), *reply_deadline);
      }
    }
    recent_mailbox_.forget();
    co_return true;
  }

  // The inbound handshake; false ends the reader.
  bool accept_handshake(const WireMessage& msg) {
    // Authentication comes before the sender's id is even parsed.
    if (const auto& secret = self_.config().cluster_secret) {
      if (!wire::verify_proof(*secret, msg.payload)) {
        warn("handshake failed authentication, dropping connection", {{"src", msg.src}});
        return false;
      }
    }
    auto parsed = NodeId::parse(msg.src);
    if (!parsed.ok()) {
      warn("bad handshake source", {{"e", std::string(runtime::to_string(parsed.error()))}});
      return false;
    }
    NodeId peer = std::move(parsed.value());
    if (!writer_) {
      warn("handshake on outbound connection with no writer");
      return false;
    }
    WriteHalf write_half = std::move(*writer_);
    writer_.reset();
    PeerHandle handle = PeerHandle::spawn(peer, std::move(write_half), self_.config().peer_queue_capacity,
                                          self_.config().peer_timeout.to_steady());
    slot_.release();
    const bool won = register_connection(self_, handle, /*outbound=*/false);
    peer_ = peer;
    follow_peer();
    if (!won) {
      // Lost the tie-break: the handle goes out of scope, so the queue closes
      // and the writer shuts the sending direction; no log line, no event.
      // What the peer sent behind its Handshake is still read and routed.
      return true;
    }
    handle_ = handle;
    publish(self_, PeerConnected{peer});
    spawn_on(timer_.get_executor(), heartbeat_loop(self_, std::move(peer), handle.connection()));
    return true;
  }

  Transport self_;
  ReadHalf read_half_;
  std::optional<WriteHalf> writer_;
  std::optional<NodeId> peer_;        // known: from the start (dialled) or from the Handshake
  std::optional<PeerHandle> handle_;  // the connection as registered; none for one that lost the tie-break
  HandshakeSlot slot_;                // held until the Handshake is accepted
  Disconnections::Mark started_;  // announcements before it are not this reader's
  Disconnections::Following following_;
  RecentMailbox recent_mailbox_;  // within one chunk only
  wire::FrameDecoder decoder_;
  std::array<std::uint8_t, WAIT_BUF_LEN> wait_buf_{};
  std::unique_ptr<std::array<std::uint8_t, BUSY_BUF_LEN>> busy_buf_;  // while the connection is busy
  asio::steady_timer timer_;  // the read time-out
  asio::cancellation_signal cancel_read_;
  Clock::time_point read_started_;  // of the read under way, or of the last one
  std::optional<Clock::time_point> handshake_deadline_;  // until the peer is known
  bool reading_ = false;
  bool timed_out_ = false;     // the time-out ended the read under way
  bool disconnected_ = false;  // the peer's PeerDisconnected was seen
  bool finished_ = false;
};

}  // namespace

async::awaitable<void> read_loop(Transport self, ReadHalf reader, std::optional<WriteHalf> writer,
                                 std::optional<KnownPeer> known, HandshakeSlot slot) {
  // The state is built inside the try block, so that a failure to set it up
  // ends the task quietly too.
  std::shared_ptr<Reader> r;
  try {
    r = std::make_shared<Reader>(std::move(self), std::move(reader), std::move(writer), std::move(known),
                                 std::move(slot));
    co_await r->run();
  } catch (const std::exception&) {
    // A task ends quietly; the ending below still runs.
  }
  if (r) {
    try {
      r->finish();
    } catch (const std::exception&) {
    }
  }
}

}  // namespace vardimont::transport
