// End-to-end message rate over loopback, transport only: two transports in
// one process on one runtime; the main thread sends 100-byte Data messages
// with send_data_bytes on one, and a plain consumer thread drains the actor's
// mailbox on the other. Compared with the same two threads moving the same
// messages through a libzmq PUSH/PULL pair over TCP loopback.
//
// A mailbox never makes its sender wait: a message that finds it full is
// dropped. So the sender keeps at most `window` messages unconsumed, never
// more than the mailbox's 256 slots, and every message is delivered. libzmq
// runs with the same window, and once more with only its own flow control.
//
// Contestants, each measured in a fresh child process of this program, one
// after the other in every round (interleaved), and reported as
// min / median / max over the rounds:
//   transport          as shipped (Nagle's algorithm on)
//   transport+nodelay  with nodelay_shim.c preloaded (TCP_NODELAY on every TCP
//                      socket; measurement only), compiled here on demand next
//                      to this executable from the source beside this file
//   zmq window         libzmq PUSH/PULL with the same window (libzmq sets
//                      TCP_NODELAY itself)
//   zmq free           libzmq PUSH/PULL with its own flow control only
// Besides msg/s, each child reports the CPU time of its whole process (user +
// sys, all threads) and its context switches, per message.
//
// usage: transport_e2e_bench [messages=200000] [window=256] [rounds=5]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async/queue.h"
#include "async/runtime.h"
#include "transport/internal.h"
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

// Credit between the sender and the consumer: the sender waits while
// `window` messages are unconsumed (0: never).
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

// What one child measures from the first send to the last message consumed.
struct Sample {
  double rate = 0;          // messages per second
  double cpu_us = 0;        // process CPU time per message, microseconds
  double switches = 0;      // voluntary + involuntary context switches per message
};

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long context_switches() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

// Measures the interval of one run: construct before the first send, call
// finish() after the last message is consumed.
class Meter {
 public:
  Meter() : start_(Clock::now()), cpu_(process_cpu_seconds()), switches_(context_switches()) {}
  Sample finish(std::size_t n) const {
    const double took = std::chrono::duration<double>(Clock::now() - start_).count();
    const auto per = static_cast<double>(n);
    return {per / took, (process_cpu_seconds() - cpu_) * 1e6 / per,
            static_cast<double>(context_switches() - switches_) / per};
  }

 private:
  Clock::time_point start_;
  double cpu_;
  long switches_;
};

std::optional<Sample> run_transport(std::size_t n, std::size_t window_size) {
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
  if (!runtime->block_on(dial(*a, to)).ok()) {
    std::fprintf(stderr, "dial failed\n");
    return std::nullopt;
  }
  // The accepting side registers once the Handshake has arrived.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!b->has_peer(a->local_id())) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "the receiver never registered the sender\n");
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  Window window(window_size);
  std::size_t received = 0;
  const std::vector<std::uint8_t> payload(PAYLOAD_LEN, 0x5A);
  const Meter meter;
  std::thread consumer([&] {
    while (received < n) {
      auto m = rx.blocking_recv();
      if (!m) break;
      ++received;
      window.consumed_one();
    }
  });
  for (std::uint64_t i = 0; i < n; ++i) {
    window.before_send(i);
    if (!a->send_data_bytes(to, "sink", payload, std::nullopt, std::nullopt).ok()) {
      std::fprintf(stderr, "send failed at %llu\n", static_cast<unsigned long long>(i));
      break;
    }
  }
  consumer.join();
  const Sample sample = meter.finish(n);
  runtime->shutdown_and_wait();
  if (received != n) {
    std::fprintf(stderr, "transport delivered %zu of %zu\n", received, n);
    return std::nullopt;
  }
  return sample;
}

#ifdef VARDIMONT_BENCH_ZMQ
std::optional<Sample> run_zmq(std::size_t n, std::size_t window_size) {
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
  const std::vector<char> payload(PAYLOAD_LEN, 0x5A);
  const Meter meter;
  std::thread consumer([&] {
    std::vector<char> buf(PAYLOAD_LEN);
    while (received < n) {
      if (zmq_recv(pull, buf.data(), buf.size(), 0) < 0) break;
      ++received;
      window.consumed_one();
    }
  });
  for (std::uint64_t i = 0; i < n; ++i) {
    window.before_send(i);
    if (zmq_send(push, payload.data(), payload.size(), 0) < 0) break;
  }
  consumer.join();
  const Sample sample = meter.finish(n);
  zmq_close(push);
  zmq_close(pull);
  zmq_ctx_term(ctx);
  if (received != n) return std::nullopt;
  return sample;
}
#endif

// ---- the parent: contestants in child processes, interleaved ----

struct Contestant {
  const char* name;
  const char* mode;  // what the child runs: transport, zmq-window, zmq-free
  bool shim;
  std::vector<Sample> samples;
  bool failed = false;
};

std::string self_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

// Compiles the shim next to this executable; empty when it cannot.
std::string build_shim() {
  const std::filesystem::path source = std::filesystem::path(__FILE__).parent_path() / "nodelay_shim.c";
  const std::string exe = self_path();
  if (exe.empty() || !std::filesystem::exists(source)) {
    std::printf("(no shim: %s not found)\n", source.c_str());
    return {};
  }
  const std::string target = (std::filesystem::path(exe).parent_path() / "nodelay_shim.so").string();
  const char* cc = std::getenv("CC");
  const std::string command = std::string(cc ? cc : "cc") + " -O2 -shared -fPIC -o '" + target + "' '" +
                              source.string() + "' -ldl";
  if (std::system(command.c_str()) != 0) {
    std::printf("(no shim: '%s' failed)\n", command.c_str());
    return {};
  }
  return target;
}

// Runs this program as `--one MODE n window` in a child, with the shim
// preloaded or not, and reads the Sample it prints.
std::optional<Sample> run_child(const Contestant& c, std::size_t n, std::size_t window, const std::string& shim) {
  std::string command;
  if (c.shim) command = "LD_PRELOAD='" + shim + "' ";
  command += "'" + self_path() + "' --one " + c.mode + " " + std::to_string(n) + " " + std::to_string(window);
  FILE* out = popen(command.c_str(), "r");
  if (!out) return std::nullopt;
  Sample s;
  int nodelay = -1;
  const int got = std::fscanf(out, "%lf %lf %lf %d", &s.rate, &s.cpu_us, &s.switches, &nodelay);
  const int status = pclose(out);
  if (got != 4 || status != 0) return std::nullopt;
  if (nodelay != (c.shim ? 1 : 0)) {
    std::fprintf(stderr, "%s: TCP_NODELAY %d on a fresh socket, expected %d\n", c.name, nodelay, c.shim ? 1 : 0);
    return std::nullopt;
  }
  return s;
}

int nodelay_default() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 0;
  socklen_t len = sizeof on;
  getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len);
  close(fd);
  return on;
}

int child(const std::string& mode, std::size_t n, std::size_t window) {
  std::optional<Sample> s;
  if (mode == "transport") s = run_transport(n, window);
#ifdef VARDIMONT_BENCH_ZMQ
  if (mode == "zmq-window") s = run_zmq(n, window);
  if (mode == "zmq-free") s = run_zmq(n, 0);
#endif
  if (!s) return 1;
  std::printf("%.1f %.4f %.4f %d\n", s->rate, s->cpu_us, s->switches, nodelay_default());
  return 0;
}

std::array<double, 3> spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t k = v.size();
  const double median = k % 2 ? v[k / 2] : (v[k / 2 - 1] + v[k / 2]) / 2;
  return {v.front(), median, v.back()};
}

template <class F>
std::array<double, 3> spread_of(const Contestant& c, F field) {
  std::vector<double> v;
  for (const auto& s : c.samples) v.push_back(field(s));
  return spread(v);
}

std::size_t arg(int argc, char** argv, int i, std::size_t fallback) {
  return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--one") == 0)
    return child(argv[2], arg(argc, argv, 3, 0), arg(argc, argv, 4, 0));
  const std::size_t n = arg(argc, argv, 1, 200'000);
  const std::size_t window = arg(argc, argv, 2, transport::MAILBOX_CAPACITY);
  const std::size_t rounds = arg(argc, argv, 3, 5);
  if (n == 0 || rounds == 0 || window == 0 || window > transport::MAILBOX_CAPACITY) {
    std::fprintf(stderr, "usage: transport_e2e_bench [messages>0] [window 1..%zu] [rounds>0]\n",
                 transport::MAILBOX_CAPACITY);
    return 2;
  }
  std::vector<Contestant> contestants{{"transport", "transport", false, {}}};
  const std::string shim = build_shim();
  if (!shim.empty()) contestants.push_back({"transport+nodelay", "transport", true, {}});
#ifdef VARDIMONT_BENCH_ZMQ
  contestants.push_back({"zmq window", "zmq-window", false, {}});
  contestants.push_back({"zmq free", "zmq-free", false, {}});
#else
  std::printf("(zmq: not available in this build)\n");
#endif
  std::printf("%zu messages of %zu bytes, window %zu, %zu rounds interleaved, each run in a fresh process\n", n,
              PAYLOAD_LEN, window, rounds);
  for (std::size_t r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < contestants.size(); ++i) {
      auto& c = contestants[(i + r) % contestants.size()];  // each round starts with another contestant
      if (auto s = run_child(c, n, window, shim)) {
        c.samples.push_back(*s);
      } else {
        std::fprintf(stderr, "round %zu: %s failed\n", r + 1, c.name);
        c.failed = true;
      }
    }
  }
  std::printf("min / median / max over the rounds; CPU and context switches of the whole process per message\n");
  std::printf("%-18s %36s %24s %24s\n", "", "msg/s", "CPU us/msg", "switches/msg");
  for (const auto& c : contestants) {
    if (c.samples.empty()) {
      std::printf("%-18s failed\n", c.name);
      continue;
    }
    const auto rate = spread_of(c, [](const Sample& s) { return s.rate; });
    const auto cpu = spread_of(c, [](const Sample& s) { return s.cpu_us; });
    const auto sw = spread_of(c, [](const Sample& s) { return s.switches; });
    std::printf("%-18s %10.0f / %10.0f / %10.0f %6.2f / %6.2f / %6.2f %6.2f / %6.2f / %6.2f\n", c.name, rate[0],
                rate[1], rate[2], cpu[0], cpu[1], cpu[2], sw[0], sw[1], sw[2]);
  }
  const auto median_rate = [](const Contestant& c) {
    return c.samples.empty() ? 0.0 : spread_of(c, [](const Sample& s) { return s.rate; })[1];
  };
  for (const auto& ours : contestants) {
    if (std::strcmp(ours.mode, "transport") != 0) continue;
    for (const auto& other : contestants) {
      if (std::strcmp(other.mode, "transport") == 0) continue;
      if (median_rate(ours) > 0 && median_rate(other) > 0)
        std::printf("ratio of medians, %-17s / %-10s %6.2f\n", ours.name, other.name,
                    median_rate(ours) / median_rate(other));
    }
  }
  bool failed = false;
  for (const auto& c : contestants) failed = failed || c.failed;
  return failed ? 1 : 0;
}
