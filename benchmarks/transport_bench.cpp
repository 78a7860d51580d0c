// Throughput of the sending side: 100-byte Data messages queued from one
// thread through Transport::send_data_bytes into a peer queue whose writer
// writes to a loopback socket, against a plain loopback socket writer sending
// the same frame bytes, pre-encoded, in batches of the peer queue's capacity
// (the largest batch the writer can form). In both runs a plain reader thread
// on the other end decodes the frames with FrameDecoder and counts them.
//
//   transport_bench [messages]        (default 500000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "async/runtime.h"
#include "transport/peer.h"
#include "transport/internal.h"
#include "transport/transport.h"
#include "wire/framing.h"

namespace {

using namespace vardimont;
using Clock = std::chrono::steady_clock;

constexpr std::size_t PAYLOAD_LEN = 100;
constexpr std::size_t READ_CHUNK = 64 * 1024;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "transport_bench: %s\n", what.c_str());
  std::exit(1);
}

// A connected pair of plain loopback sockets: {writer end, reader end}.
std::pair<int, int> loopback_pair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    fail(std::string("listen: ") + std::strerror(errno));
  }
  const int reader = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (reader < 0 || ::connect(reader, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    fail(std::string("connect: ") + std::strerror(errno));
  }
  const int writer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (writer < 0) fail(std::string("accept: ") + std::strerror(errno));
  ::close(listener);
  return {writer, reader};
}

// Reads and decodes frames until `expected` messages have arrived; the time
// the last one arrived.
Clock::time_point count_frames(int fd, std::size_t expected) {
  wire::FrameDecoder decoder;
  std::vector<std::uint8_t> buf(READ_CHUNK);
  std::size_t seen = 0;
  while (seen < expected) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("reader: stream ended after " + std::to_string(seen) + " messages");
    auto decoded = decoder.decode(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
    if (!decoded) fail("reader: " + decoded.error().to_string());
    seen += decoded.value().size();
  }
  return Clock::now();
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Figures {
  double secs;
  double rate;
};

Figures through_transport(std::size_t messages) {
  auto rt = async::Runtime::create();
  if (!rt) fail("runtime: " + rt.error());
  auto listened = rt.value()->block_on(
      transport::Transport::listen(runtime::NodeId{"bench", "127.0.0.1", 0}, transport::TransportConfig{}));
  if (!listened) fail("listen: " + listened.error().message);
  const transport::Transport t = std::move(listened).value();

  // A connection made by hand: the writer's end on its own strand, the
  // reader's end a plain socket.
  auto [writer_fd, reader_fd] = loopback_pair();
  asio::ip::tcp::socket local(asio::make_strand(t.executor()));
  local.assign(asio::ip::tcp::v4(), writer_fd);
  const runtime::NodeId peer{"reader", "127.0.0.1", 1};
  auto [read_half, write_half] = transport::split(std::move(local));
  {
    transport::PeerHandle handle =
        transport::PeerHandle::spawn(peer, std::move(write_half), t.config().peer_queue_capacity,
                                     t.config().peer_timeout.to_steady());
    if (!register_connection(t, handle, true)) fail("registration lost");
  }

  Clock::time_point done;
  std::thread reader([&, fd = reader_fd] { done = count_frames(fd, messages); });
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < messages; ++i) {
    auto sent = t.send_data_bytes(peer, "bench", std::vector<std::uint8_t>(PAYLOAD_LEN, 'x'), std::nullopt,
                                  std::nullopt);
    if (!sent) fail("send: " + sent.error().to_string());
  }
  reader.join();
  ::close(reader_fd);
  t.forget_peer(peer);
  const double secs = seconds(done - start);
  rt.value()->shutdown_and_wait();
  return {secs, static_cast<double>(messages) / secs};
}

Figures through_plain_socket(std::size_t messages, std::size_t batch) {
  // The frames the transport writes for the same messages.
  std::vector<std::vector<std::uint8_t>> batches;
  std::vector<std::uint8_t> current;
  for (std::size_t i = 0; i < messages; ++i) {
    wire::WireMessage m;
    m.msg_id = i + 1;
    m.src = "bench@127.0.0.1:40000";
    m.dst_actor = "bench";
    m.payload.assign(PAYLOAD_LEN, 'x');
    if (!wire::append_frame(m, current)) fail("encode");
    if ((i + 1) % batch == 0 || i + 1 == messages) batches.push_back(std::exchange(current, {}));
  }

  auto [writer_fd, reader_fd] = loopback_pair();
  Clock::time_point done;
  std::thread reader([&, fd = reader_fd] { done = count_frames(fd, messages); });
  const Clock::time_point start = Clock::now();
  for (const auto& b : batches) {
    std::size_t off = 0;
    while (off < b.size()) {
      const ssize_t n = ::send(writer_fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(std::string("plain send: ") + std::strerror(errno));
      off += static_cast<std::size_t>(n);
    }
  }
  reader.join();
  ::close(writer_fd);
  ::close(reader_fd);
  const double secs = seconds(done - start);
  return {secs, static_cast<double>(messages) / secs};
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t messages = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500'000;
  if (messages == 0) fail("the number of messages must be positive");
  const std::size_t batch = transport::TransportConfig{}.peer_queue_capacity;

  const Figures via_transport = through_transport(messages);
  const Figures plain = through_plain_socket(messages, batch);

  std::printf("messages: %zu of %zu payload bytes (%zu-byte frames)\n", messages, PAYLOAD_LEN,
              [] {
                wire::WireMessage m;
                m.msg_id = 1;
                m.src = "bench@127.0.0.1:40000";
                m.dst_actor = "bench";
                m.payload.assign(PAYLOAD_LEN, 'x');
                return 4 + wire::encoded_body_len(m);
              }());
  std::printf("transport send_data_bytes: %10.0f msg/s  (%.3f s)\n", via_transport.rate, via_transport.secs);
  std::printf("plain socket, %zu per write: %10.0f msg/s  (%.3f s)\n", batch, plain.rate, plain.secs);
  std::printf("ratio transport / plain:   %10.2f\n", via_transport.rate / plain.rate);
  return 0;
}
