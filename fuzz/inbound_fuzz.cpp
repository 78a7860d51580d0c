// The inbound side of a live transport. Three transports run on one runtime
// for the whole process: two listeners, one without a cluster secret (any
// Handshake is accepted, so the bytes reach routing, error replies and the
// Error re-render) and one with a secret, and a well-behaved peer that holds
// the same secret.
//
// For each input the first byte picks a listener (bit 0) and how the rest is
// written (bits 1-2: at once, or in writes of 1, 3 or 61 bytes, so that frames
// reach the reader split across reads); the rest is written into it by a raw
// client, which then closes its sending direction and waits for the
// listener to close the connection (a hostile peer that ended its stream must
// not keep its connection). Then the well-behaved peer must still be served:
// it drops its old connection, dials again, handshakes and gets a Data message
// into an actor's mailbox on the listener, and afterwards the listener's peer
// table holds that peer alone. A hostile peer may cost only its own
// connection.
//
// Every log event is let through, so the log lines built from hostile fields
// are exercised too (each must stay one line); they are dropped unless
// INBOUND_FUZZ_LOG is set, which prints them to standard error (to see what
// an input did).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "async/queue.h"
#include "async/runtime.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "raw_peer.h"
#include "runtime/node_id.h"
#include "transport/internal.h"
#include "transport/transport.h"
#include "wire/message.h"

namespace {

using namespace std::chrono_literals;
using vardimont::runtime::NodeId;
using vardimont::test::open_fd_count;
using vardimont::test::RawPeer;
using vardimont::transport::Duration;
using vardimont::transport::Transport;
using vardimont::transport::TransportConfig;
using vardimont::wire::WireMessage;
using Clock = std::chrono::steady_clock;

constexpr std::string_view ACTOR = "sink";
constexpr std::string_view SECRET = "fuzz-cluster-secret";

struct Listener {
  std::optional<Transport> transport;
  std::optional<vardimont::async::Receiver<WireMessage>> mailbox;
};

struct World {
  std::shared_ptr<vardimont::async::Runtime> runtime;
  Listener open;    // no cluster secret
  Listener authed;  // with SECRET
  std::optional<Transport> good;
  std::uint64_t next_correlation = 1;
  std::size_t inputs = 0;
  std::size_t fd_baseline = 0;
};

std::atomic<std::uint64_t> log_lines{0};

TransportConfig config(bool with_secret) {
  TransportConfig c;
  if (with_secret) c.cluster_secret = std::vector<std::uint8_t>(SECRET.begin(), SECRET.end());
  c.heartbeat_interval = Duration::from_millis(50);
  c.peer_timeout = Duration::from_millis(300);
  c.reconnect_interval = Duration::from_millis(50);
  c.peer_queue_capacity = 64;
  c.auto_reconnect = false;  // the check below dials by itself
  return c;
}

Transport start(World& w, std::string name, bool with_secret) {
  auto result = w.runtime->block_on(Transport::listen(NodeId{std::move(name), "127.0.0.1", 0}, config(with_secret)));
  FUZZ_CHECK_MSG(result.ok(), result.ok() ? std::string() : result.error().message);
  return std::move(result).value();
}

void start_listener(World& w, Listener& l, std::string name, bool with_secret) {
  l.transport.emplace(start(w, std::move(name), with_secret));
  auto [tx, rx] = vardimont::async::make_queue<WireMessage>(vardimont::transport::MAILBOX_CAPACITY);
  l.transport->register_actor(std::string(ACTOR), std::move(tx));
  l.mailbox.emplace(std::move(rx));
}

// Worker threads keep running until the process ends; leaving through _exit
// keeps static destructors (the logger's among them) from running under them.
void leave_quietly() {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

World& world() {
  static World* w = [] {
    auto* made = new World;
    static const bool print = std::getenv("INBOUND_FUZZ_LOG") != nullptr;
    vardimont::log::install_for_tests(
        std::make_shared<const vardimont::log::Filter>(vardimont::log::Filter::parse("trace", nullptr)), false,
        [](std::string_view line) {
          // One event is one line, whatever a hostile peer put into its fields.
          FUZZ_CHECK(!line.empty() && line.find_first_of("\r\n") == std::string_view::npos);
          log_lines.fetch_add(1, std::memory_order_relaxed);
          if (print) std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        });
    auto runtime = vardimont::async::Runtime::create();
    FUZZ_CHECK_MSG(runtime.ok(), runtime.ok() ? std::string() : runtime.error());
    made->runtime = std::move(runtime).value();
    // Names chosen so that the good peer's full id sorts first: its new
    // inbound connection always wins the tie-break at the listener.
    start_listener(*made, made->open, "z-open", false);
    start_listener(*made, made->authed, "z-authed", true);
    made->good.emplace(start(*made, "a-good", true));
    std::atexit(leave_quietly);
    made->fd_baseline = open_fd_count();
    return made;
  }();
  return *w;
}

// Writes `bytes` into the listener at `port` in writes of at most `piece`
// bytes, ends the stream and waits for the listener to close its side.
void hostile_session(std::uint16_t port, std::span<const std::uint8_t> bytes, std::size_t piece) {
  RawPeer peer = RawPeer::dial(port);
  FUZZ_CHECK_MSG(peer.valid(), std::strerror(errno));
  const auto deadline = Clock::now() + 5s;
  // A listener that has closed the connection already is allowed.
  FUZZ_CHECK_MSG(peer.write_in_pieces(bytes, piece, 5s) != RawPeer::Written::Stalled,
                 "the listener stopped reading a connection");
  peer.end_stream();
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  FUZZ_CHECK_MSG(peer.wait_closed(std::max(left, 1ms)), "the listener kept a connection open after its end of stream");
}

// The well-behaved peer reconnects and gets one Data message delivered.
void good_peer_delivers(World& w, Listener& l) {
  Transport& good = *w.good;
  Transport& target = *l.transport;
  const NodeId target_id = target.local_id();
  const auto deadline = Clock::now() + 10s;

  // Whatever the hostile peer routed into the mailbox (its reader has ended).
  while (l.mailbox->try_recv()) {
  }
  good.forget_peer(target_id);
  while (target.has_peer(good.local_id())) {
    FUZZ_CHECK_MSG(Clock::now() < deadline, "the listener kept the forgotten connection of the good peer");
    std::this_thread::sleep_for(1ms);
  }

  for (;;) {
    FUZZ_CHECK_MSG(Clock::now() < deadline, "a well-behaved peer could not deliver a message after this input");
    auto dialled = w.runtime->block_on(dial(good, target_id, Clock::now() + 1s));
    if (!dialled.ok()) {
      std::this_thread::sleep_for(5ms);
      continue;
    }
    const std::uint64_t correlation = w.next_correlation++;
    const std::string payload = "{\"n\":" + std::to_string(correlation) + "}";
    auto sent = good.send_data_bytes(target_id, ACTOR, std::vector<std::uint8_t>(payload.begin(), payload.end()),
                                     std::nullopt, correlation);
    if (!sent.ok()) continue;  // the connection was replaced or closed meanwhile
    const auto wait_until = std::min(deadline, Clock::now() + 500ms);
    while (Clock::now() < wait_until) {
      while (auto m = l.mailbox->try_recv()) {
        if (m->correlation_id == correlation && m->src == good.local_full()) {
          FUZZ_CHECK(m->kind == vardimont::wire::MessageKind::Data && m->dst_actor == ACTOR &&
                     std::string_view(reinterpret_cast<const char*>(m->payload.data()), m->payload.size()) == payload);
          return;
        }
      }
      std::this_thread::sleep_for(200us);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  const std::uint8_t mode = size > 0 ? data[0] : 0;
  Listener& l = (mode & 1) != 0 ? w.authed : w.open;
  static constexpr std::size_t pieces[] = {SIZE_MAX, 1, 3, 61};
  const std::span<const std::uint8_t> bytes = size > 0 ? std::span(data + 1, size - 1) : std::span(data, 0);

  hostile_session(l.transport->local_id().port, bytes, pieces[(mode >> 1) & 3]);
  good_peer_delivers(w, l);

  // Nothing of the hostile connection stays behind at the listener.
  FUZZ_CHECK(l.transport->has_peer(w.good->local_id()));
  FUZZ_CHECK_MSG(l.transport->peer_count() == 1,
                 "peer table holds " + std::to_string(l.transport->peer_count()) + " entries");
  if (++w.inputs % 16 == 0) {
    const std::size_t fds = open_fd_count();
    FUZZ_CHECK_MSG(fds <= w.fd_baseline + 32, "open descriptors grew from " + std::to_string(w.fd_baseline) +
                                                  " to " + std::to_string(fds));
  }
  return 0;
}
