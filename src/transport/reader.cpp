// The reader of one connection, inbound or outbound: reads under the read
// time-out, decodes frames, accepts an inbound Handshake, hands every other
// message of a known peer to route, watches the events for its own peer's
// disconnection, and at its end removes its own registration.
//
// The wait of one iteration is a parallel group of one read, the event
// subscription's readiness (only once the peer is known) and the deadline.
// The group delivers every operation's result, so bytes that a read returned
// are handled even when another branch finished first, and the event wait
// takes nothing out of the subscription, so a cancelled wait loses no event.
// When several branches are ready together, all of them are acted on: the
// bytes are handled first, then the events (so a busy peer cannot starve its
// own disconnection), and the deadline counts only for a wait in which
// neither input nor an event arrived.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "async/asio.h"
#include "log/log.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/transport_state.h"
#include "wire/auth.h"
#include "wire/framing.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using Clock = std::chrono::steady_clock;
using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;

// What one wait of the loop brought. Several parts can be set at once.
struct WaitOutcome {
  std::error_code read_ec;  // operation_aborted: the read was cancelled
  std::size_t read_len = 0;
  bool events_ready = false;
  bool deadline_passed = false;
};

// The longest first frame that an accepted connection may announce: its
// Handshake, a few hundred bytes from any node of this system. Nothing more is
// buffered for a peer that has not proved anything yet.
constexpr std::size_t MAX_FIRST_FRAME_LEN = 65'536;

// How much one read takes from the socket at most.
constexpr std::size_t READ_BUF_LEN = 4096;

void warn(std::string_view message, std::initializer_list<log::Field> fields = {}) {
  log::event(log::Level::Warn, log::TRANSPORT, message, fields);
}

// One connection's reader state.
class Reader {
 public:
  Reader(Transport self, ReadHalf read_half, std::optional<WriteHalf> writer, std::optional<KnownPeer> known)
      : self_(std::move(self)),
        read_half_(std::move(read_half)),
        writer_(std::move(writer)),
        known_(std::move(known)),
        events_(self_.subscribe_events()),
        decoder_(known_ ? wire::FrameDecoder() : wire::FrameDecoder(MAX_FIRST_FRAME_LEN)),
        timer_(read_half_.socket().get_executor()) {}

  // The loop; returns when the connection is finished. Every iteration arms
  // a new deadline, so input and events both restart the time-out.
  async::awaitable<void> run() {
    for (;;) {
      const WaitOutcome w = co_await wait();
      const bool got_bytes = !w.read_ec && w.read_len > 0;
      if (got_bytes) {
        if (!co_await handle_chunk(std::span<const std::uint8_t>(buf_.data(), w.read_len))) co_return;
      } else if (w.read_ec && w.read_ec != asio::error::operation_aborted) {
        // End of stream (the far end closed its sending direction) ends the
        // reader silently; any other failure is logged.
        if (w.read_ec != asio::error::eof) {
          log::event(log::Level::Debug, log::TRANSPORT, "read error, dropping connection",
                     {{"e", w.read_ec.message()}});
        }
        co_return;
      }
      // Events ready in the same wait are looked at too, so a peer that never
      // stops sending cannot keep its own disconnection from being seen.
      if (w.events_ready && own_disconnection_announced()) co_return;
      if (!got_bytes && !w.events_ready && w.deadline_passed) co_return;
    }
  }

  // Removes this connection's registration if the peer table still holds it,
  // then announces the disconnection (a superseded connection removes and
  // publishes nothing). The writer is then given the read time-out once more
  // to write what is queued: a peer that stopped sending but still reads gets
  // it, while a peer that reads nothing cannot keep the socket, the writer
  // and whoever waits for room in its queue beyond that grace.
  void finish() {
    if (known_ && self_.unregister_connection(known_->handle)) self_.publish(PeerDisconnected{known_->id});
    read_half_.close_after(deadline_after(self_.config().peer_timeout).value_or(Clock::time_point::max()));
  }

 private:
  async::awaitable<WaitOutcome> wait() {
    const auto deadline = deadline_after(self_.config().peer_timeout);
    timer_.expires_at(deadline.value_or(Clock::time_point::max()));
    auto& socket = read_half_.socket();
    WaitOutcome w;
    if (known_ && events_open_) {
      auto [order, read_ec, n, event_ec, timer_ec] =
          co_await make_parallel_group(socket.async_read_some(asio::buffer(buf_), async::deferred),
                                       events_.async_wait_ready(timer_.get_executor(), async::deferred),
                                       timer_.async_wait(async::deferred))
              .async_wait(wait_for_one(), async::use_awaitable);
      (void)order;
      w.read_ec = read_ec;
      w.read_len = n;
      w.events_ready = !event_ec;
      w.deadline_passed = !timer_ec;
    } else {
      auto [order, read_ec, n, timer_ec] =
          co_await make_parallel_group(socket.async_read_some(asio::buffer(buf_), async::deferred),
                                       timer_.async_wait(async::deferred))
              .async_wait(wait_for_one(), async::use_awaitable);
      (void)order;
      w.read_ec = read_ec;
      w.read_len = n;
      w.deadline_passed = !timer_ec;
    }
    co_return w;
  }

  // Takes every event that is ready; whether one of them is the
  // PeerDisconnected of this reader's own peer. A lag notice is skipped.
  bool own_disconnection_announced() {
    while (auto item = events_.try_recv()) {
      if (std::holds_alternative<async::Closed>(*item)) {
        // Cannot happen while this reader holds its Transport; stop watching
        // rather than wake up for it again and again.
        events_open_ = false;
        return false;
      }
      if (const auto* event = std::get_if<Event>(&*item)) {
        const auto* gone = std::get_if<PeerDisconnected>(event);
        if (gone && known_ && gone->peer == known_->id) return true;
      }
    }
    return false;
  }

  // Decodes one chunk and handles its messages in order; false ends the reader
  // (the rest of the chunk and the decoder's bytes are discarded with it).
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
        if (known_) continue;
        if (!accept_handshake(msg)) co_return false;
        continue;
      }
      if (!known_) {
        warn("data before handshake, dropping connection");
        co_return false;
      }
      std::optional<Transport::ErrorReply> reply = self_.route_now(known_->id, std::move(msg), recent_mailbox_);
      if (reply) {
        recent_mailbox_.forget();
        // Every reply of the chunk waits until one deadline at most, so that
        // a chunk of many messages that all need one holds the reader for
        // one read time-out, not one per message.
        if (!reply_deadline) reply_deadline = deadline_after(self_.config().peer_timeout).value_or(Clock::time_point::max());
        co_await self_.reply_error(known_->id, std::move(*reply), *reply_deadline);
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
    PeerHandle handle = PeerHandle::spawn(peer, std::move(write_half), self_.config().peer_queue_capacity);
    if (!self_.register_connection(handle, /*outbound=*/false)) {
      // Lost the tie-break: the handle goes out of scope, so the queue closes
      // and the writer shuts the sending direction; no log line, no event.
      return false;
    }
    known_ = KnownPeer{peer, std::move(handle)};
    self_.publish(PeerConnected{peer});
    self_.spawn(Transport::heartbeat_loop(self_, std::move(peer)));
    return true;
  }

  Transport self_;
  ReadHalf read_half_;
  std::optional<WriteHalf> writer_;
  std::optional<KnownPeer> known_;
  EventReceiver events_;
  bool events_open_ = true;
  Transport::RecentMailbox recent_mailbox_;  // within one chunk only
  wire::FrameDecoder decoder_;
  std::array<std::uint8_t, READ_BUF_LEN> buf_{};
  asio::steady_timer timer_;
};

}  // namespace

async::awaitable<void> Transport::read_loop(Transport self, ReadHalf reader, std::optional<WriteHalf> writer,
                                            std::optional<KnownPeer> known) {
  // The state is built inside the try block, so that a failure to set it up
  // ends the task quietly too.
  std::unique_ptr<Reader> r;
  try {
    r = std::make_unique<Reader>(std::move(self), std::move(reader), std::move(writer), std::move(known));
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
