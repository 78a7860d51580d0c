// End-to-end message rate over loopback: two transports in one process on
// one runtime; the main thread sends 100-byte Data messages with
// send_data_bytes on one, and a plain consumer thread drains the actor's
// mailbox on the other. Then the same two threads move the same messages
// through a libzmq PUSH/PULL pair over TCP loopback, for comparison.
//
// A mailbox never makes its sender wait: a message that finds it full is
// dropped. So the sender keeps at most `window` messages unconsumed, below
// the mailbox's 256 slots, and every message is delivered. The zmq run is
// made with the same window and once more with only its own flow control.
//
// usage: transport_e2e_bench [messages=200000] [window=200]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async/queue.h"
#include "async/runtime.h"
#include "transport/transport.h"

#if __has_include(<zmq.h>)
#include <zmq.h>
#define VARDIMONT_BENCH_ZMQ 1
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace vardimont;
using transport::NodeId;
using transport::Transport;

constexpr std::size_t PAYLOAD_LEN = 100;

std::size_t arg(int argc, char** argv, int i, std::size_t fallback) {
  return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

// Credit between the sender and the consumer: the sender waits while
// `window` messages are unconsumed.
class Window {
 public:
  explicit Window(std::size_t size) : size_(size) {}
  void before_send(std::uint64_t sent) {
    for (;;) {
      const std::uint64_t got = consumed_.load(std::memory_order_acquire);
      if (size_ == 0 || sent - got < size_) return;
      consumed_.wait(got, std::memory_order_acquire);
    }
  }
  void consumed_one() {
    consumed_.fetch_add(1, std::memory_order_release);
    consumed_.notify_one();
  }

 private:
  const std::size_t size_;
  std::atomic<std::uint64_t> consumed_{0};
};

double rate(std::size_t n, Clock::duration took) {
  return static_cast<double>(n) / std::chrono::duration<double>(took).count();
}

std::optional<double> run_transport(std::size_t n, std::size_t window_size) {
  auto rt = async::Runtime::create();
  if (!rt) {
    std::fprintf(stderr, "runtime: %s\n", rt.error().c_str());
    return std::nullopt;
  }
  auto runtime = std::move(rt).value();
  transport::TransportConfig config;
  auto a = runtime->block_on(Transport::listen(NodeId{"sender", "127.0.0.1", 0}, config));
  auto b = runtime->block_on(Transport::listen(NodeId{"receiver", "127.0.0.1", 0}, config));
  if (!a || !b) {
    std::fprintf(stderr, "listen failed\n");
    return std::nullopt;
  }
  auto [tx, rx] = async::make_queue<wire::WireMessage>(transport::MAILBOX_CAPACITY);
  b->register_actor("sink", std::move(tx));
  const NodeId to = b->local_id();
  if (!runtime->block_on(Transport::dial(*a, to)).ok()) {
    std::fprintf(stderr, "dial failed\n");
    return std::nullopt;
  }
  // The accepting side registers once the Handshake has arrived.
  while (!b->has_peer(a->local_id())) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  Window window(window_size);
  std::size_t received = 0;
  std::thread consumer([&] {
    while (received < n) {
      auto m = rx.blocking_recv();
      if (!m) break;
      ++received;
      window.consumed_one();
    }
  });

  const std::vector<std::uint8_t> payload(PAYLOAD_LEN, 0x5A);
  const auto start = Clock::now();
  for (std::uint64_t i = 0; i < n; ++i) {
    window.before_send(i);
    if (!a->send_data_bytes(to, "sink", payload, std::nullopt, std::nullopt).ok()) {
      std::fprintf(stderr, "send failed at %llu\n", static_cast<unsigned long long>(i));
      break;
    }
  }
  consumer.join();
  const auto took = Clock::now() - start;
  runtime->shutdown_and_wait();
  if (received != n) {
    std::fprintf(stderr, "transport delivered %zu of %zu\n", received, n);
    return std::nullopt;
  }
  return rate(n, took);
}

#ifdef VARDIMONT_BENCH_ZMQ
std::optional<double> run_zmq(std::size_t n, std::size_t window_size) {
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  void* push = zmq_socket(ctx, ZMQ_PUSH);
  char endpoint[64];
  std::size_t len = sizeof endpoint;
  if (zmq_bind(pull, "tcp://127.0.0.1:*") != 0 || zmq_getsockopt(pull, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0 ||
      zmq_connect(push, endpoint) != 0) {
    std::fprintf(stderr, "zmq setup: %s\n", zmq_strerror(zmq_errno()));
    return std::nullopt;
  }
  Window window(window_size);
  std::size_t received = 0;
  std::thread consumer([&] {
    std::vector<char> buf(PAYLOAD_LEN);
    while (received < n) {
      if (zmq_recv(pull, buf.data(), buf.size(), 0) < 0) break;
      ++received;
      window.consumed_one();
    }
  });
  const std::vector<char> payload(PAYLOAD_LEN, 0x5A);
  const auto start = Clock::now();
  for (std::uint64_t i = 0; i < n; ++i) {
    window.before_send(i);
    if (zmq_send(push, payload.data(), payload.size(), 0) < 0) break;
  }
  consumer.join();
  const auto took = Clock::now() - start;
  zmq_close(push);
  zmq_close(pull);
  zmq_ctx_term(ctx);
  if (received != n) return std::nullopt;
  return rate(n, took);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = arg(argc, argv, 1, 200'000);
  const std::size_t window = arg(argc, argv, 2, 200);
  if (window == 0 || window >= transport::MAILBOX_CAPACITY) {
    std::fprintf(stderr, "window must be from 1 to %zu\n", transport::MAILBOX_CAPACITY - 1);
    return 2;
  }
  std::printf("%zu messages of %zu bytes, window %zu\n", n, PAYLOAD_LEN, window);
  const auto ours = run_transport(n, window);
  if (!ours) return 1;
  std::printf("transport send_data_bytes -> mailbox: %12.0f msg/s\n", *ours);
#ifdef VARDIMONT_BENCH_ZMQ
  const auto zmq_windowed = run_zmq(n, window);
  const auto zmq_free = run_zmq(n, 0);
  if (!zmq_windowed || !zmq_free) {
    std::fprintf(stderr, "zmq run failed\n");
    return 1;
  }
  std::printf("zmq PUSH/PULL, same window:           %12.0f msg/s\n", *zmq_windowed);
  std::printf("zmq PUSH/PULL, own flow control:      %12.0f msg/s\n", *zmq_free);
  std::printf("ratio transport / zmq (same window):  %12.2f\n", *ours / *zmq_windowed);
  std::printf("ratio transport / zmq (own control):  %12.2f\n", *ours / *zmq_free);
#else
  std::printf("zmq: not available in this build\n");
#endif
  return 0;
}
