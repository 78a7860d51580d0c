// Host-name lookups on the runtime's blocking pool: a slow lookup delays no
// other dial or listen, a dial's deadline abandons a lookup still running, a
// shutdown closes the listener and every connection without waiting for one,
// and what a lookup finds reaches dial and listen as the resolver's answer.
// Names under .test are answered by the test's own lookup function; nothing
// here asks a name server.
#include "async/lookup.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "async/blocking_pool.h"
#include "transport_fixture.h"

namespace vardimont::test {
namespace {

using async::LookupResult;
using transport::IoError;

// Installs a lookup function for the test's life: some names are held until
// release(), some answered at once with given addresses or errors; the
// others go to the system resolver. Releases and restores on destruction.
class ControlledLookups {
 public:
  ControlledLookups() {
    async::set_lookup_function([s = state_](const std::string& host, std::uint16_t port) {
      return s->lookup(host, port);
    });
  }
  ~ControlledLookups() {
    release();
    async::set_lookup_function({});
  }
  ControlledLookups(const ControlledLookups&) = delete;
  ControlledLookups& operator=(const ControlledLookups&) = delete;

  void hold(std::string host) {
    std::lock_guard lock(state_->mu);
    state_->held.insert(std::move(host));
  }
  // Resolves at once to 127.0.0.1.
  void to_loopback(std::string host) {
    std::lock_guard lock(state_->mu);
    state_->answers.insert_or_assign(std::move(host), Answer{std::error_code(), true});
  }
  void answer(std::string host, std::error_code error, bool loopback = false) {
    std::lock_guard lock(state_->mu);
    state_->answers.insert_or_assign(std::move(host), Answer{error, loopback});
  }
  // Lets every held lookup, and every later one, go on (held names then fail
  // as unknown hosts).
  void release() {
    std::lock_guard lock(state_->mu);
    state_->released = true;
    state_->cv.notify_all();
  }
  std::size_t held_now() const {
    std::lock_guard lock(state_->mu);
    return state_->holding;
  }
  std::size_t asked(const std::string& host) const {
    std::lock_guard lock(state_->mu);
    auto it = state_->asked.find(host);
    return it == state_->asked.end() ? 0 : it->second;
  }

 private:
  struct Answer {
    std::error_code error;
    bool loopback;
  };
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::set<std::string> held;
    std::map<std::string, Answer> answers;
    std::map<std::string, std::size_t> asked;
    std::size_t holding = 0;
    bool released = false;

    LookupResult lookup(const std::string& host, std::uint16_t port) {
      std::unique_lock lock(mu);
      ++asked[host];
      if (held.count(host) != 0) {
        ++holding;
        cv.wait(lock, [&] { return released; });
        --holding;
        return err(std::error_code(asio::error::host_not_found));
      }
      auto it = answers.find(host);
      if (it == answers.end()) {
        lock.unlock();
        return async::system_lookup(host, port);
      }
      if (it->second.error) return err(it->second.error);
      async::Endpoints found;
      if (it->second.loopback) found.emplace_back(asio::ip::address_v4::loopback(), port);
      return found;
    }
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class LookupTest : public TransportTest {
 protected:
  // Runs `dial` as a task of its own; its result is left in the returned queue.
  async::Receiver<Result<void, IoError>> spawn_dial(const Transport& t, NodeId peer,
                                                    std::optional<std::chrono::steady_clock::time_point> deadline =
                                                        std::nullopt) {
    auto [tx, rx] = async::make_queue<Result<void, IoError>>(1);
    t.spawn([](Transport t, NodeId peer, auto deadline, async::Sender<Result<void, IoError>> tx)
                -> async::awaitable<void> {
      Result<void, IoError> r = co_await dial(t, std::move(peer), deadline);
      (void)tx.try_send(r);
    }(t, std::move(peer), deadline, std::move(tx)));
    return std::move(rx);
  }

  // Runs Transport::listen as a task; its result is left in the returned queue.
  async::Receiver<Result<Transport, IoError>> spawn_listen(std::string host) {
    auto [tx, rx] = async::make_queue<Result<Transport, IoError>>(1);
    asio::co_spawn(
        runtime().executor(),
        [](std::string host, async::Sender<Result<Transport, IoError>> tx) -> async::awaitable<void> {
          NodeId id{"l", std::move(host), 0};  // not a temporary in co_await: GCC 12 frees it twice
          Result<Transport, IoError> r = co_await Transport::listen(std::move(id), fast_config());
          (void)tx.try_send(r);
        }(std::move(host), std::move(tx)),
        asio::detached);
    return std::move(rx);
  }

  ControlledLookups lookups_;
};

TEST_F(LookupTest, ASlowLookupDelaysNoOtherDial) {
  lookups_.hold("slow.test");
  lookups_.to_loopback("fast.test");
  Transport a = start("a");
  Transport b = start("b");
  const NodeId slow{"s", "slow.test", refused_port()};
  const NodeId fast{"b", "fast.test", b.local_id().port};

  auto slow_dial = spawn_dial(a, slow);
  ASSERT_TRUE(eventually([&] { return lookups_.held_now() == 1; }));
  auto fast_dial = spawn_dial(a, fast);
  EXPECT_TRUE(eventually([&] { return a.has_peer(fast); }));
  EXPECT_TRUE(eventually([&] { return b.peer_count() == 1; }));
  EXPECT_EQ(lookups_.held_now(), 1u);  // the first lookup is still blocked
  EXPECT_FALSE(slow_dial.try_recv().has_value());

  lookups_.release();
  std::optional<Result<void, IoError>> slow_result;
  ASSERT_TRUE(eventually([&] { return (slow_result = slow_dial.try_recv()).has_value(); }));
  ASSERT_FALSE(slow_result->ok());
  EXPECT_EQ(slow_result->error().code, std::error_code(asio::error::host_not_found));
}

TEST_F(LookupTest, ListenLooksUpOnThePoolWhileADialLookupIsBlocked) {
  lookups_.hold("slow.test");
  lookups_.to_loopback("listen.test");
  Transport a = start("a");
  auto slow_dial = spawn_dial(a, NodeId{"s", "slow.test", refused_port()});
  ASSERT_TRUE(eventually([&] { return lookups_.held_now() == 1; }));

  auto listening = spawn_listen("listen.test");
  std::optional<Result<Transport, IoError>> l;
  ASSERT_TRUE(eventually([&] { return (l = listening.try_recv()).has_value(); }));
  ASSERT_TRUE(l->ok()) << l->error().message;
  EXPECT_EQ(lookups_.asked("listen.test"), 1u);
  EXPECT_EQ((*l)->local_id().host, "listen.test");  // the text as given
  EXPECT_TRUE(RawPeer::dial((*l)->local_id().port).valid());
  EXPECT_EQ(lookups_.held_now(), 1u);
}

TEST_F(LookupTest, DeadlineAbandonsALookupThatIsStillRunning) {
  lookups_.hold("slow.test");
  Transport a = start("a");
  EventTrail trail(a);
  const NodeId slow{"s", "slow.test", refused_port()};
  auto r = runtime().block_on(dial(a, slow, std::chrono::steady_clock::now() + 100ms));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_timed_out());
  EXPECT_EQ(lookups_.held_now(), 1u);
  EXPECT_TRUE(state_of(a).desired.contains(slow));

  // The lookup that ends later is thrown away: nothing is registered.
  lookups_.release();
  ASSERT_TRUE(eventually([] { return async::BlockingPool::jobs_in_progress() == 0; }));
  EXPECT_EQ(a.peer_count(), 0u);
  EXPECT_TRUE(trail.events().empty());
}

// Whether a new listener could bind 127.0.0.1:`port` (with address reuse, as
// a node binds). Never connects: a listener that no longer accepts would
// leave a connect waiting once its backlog is full.
bool port_is_free(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return bound;
}

// As Node.stop() does: the runtime goes to the reaper while a dial's and a
// listen's lookups are blocked. The listener and both connections close at
// once; the lookups end later and touch nothing that is gone.
TEST_F(LookupTest, ShutdownWaitsForNoLookup) {
  lookups_.hold("slow.test");
  Transport a = start("a");
  const std::uint16_t port = a.local_id().port;
  RawListener far;
  const NodeId far_id{"far", "127.0.0.1", far.port()};
  ASSERT_TRUE(runtime().block_on(dial(a, far_id)).ok());
  RawPeer outbound = far.accept();
  ASSERT_TRUE(outbound.valid());
  RawPeer inbound = RawPeer::dial(port);
  ASSERT_TRUE(inbound.send(handshake_from("in@127.0.0.1:1")));
  ASSERT_TRUE(eventually([&] { return a.peer_count() == 2; }));

  auto slow_dial = spawn_dial(a, NodeId{"s", "slow.test", refused_port()});
  auto slow_listen = spawn_listen("slow.test");
  ASSERT_TRUE(eventually([&] { return lookups_.held_now() == 2; }));

  runtime().shutdown_in_background();
  EXPECT_TRUE(eventually([&] { return port_is_free(port); }));  // the listener is closed
  EXPECT_TRUE(outbound.wait_closed());
  EXPECT_TRUE(inbound.wait_closed());
  EXPECT_EQ(lookups_.held_now(), 2u);

  lookups_.release();
  EXPECT_TRUE(eventually([] { return async::BlockingPool::jobs_in_progress() == 0; }));
  EXPECT_FALSE(slow_dial.try_recv().has_value());
  EXPECT_FALSE(slow_listen.try_recv().has_value());
}

// An empty answer and a failed lookup reach both callers as they always have.
TEST_F(LookupTest, WhatTheLookupFindsReachesDialAndListen) {
  lookups_.answer("empty.test", std::error_code());
  lookups_.answer("unknown.test", asio::error::host_not_found);
  const struct {
    const char* host;
    std::error_code code;
    std::string message;
  } cases[] = {
      {"empty.test", std::make_error_code(std::errc::invalid_argument), "could not resolve to any address"},
      {"unknown.test", asio::error::host_not_found,
       std::error_code(asio::error::host_not_found).message()},
  };
  Transport a = start("a");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    auto dialled = runtime().block_on(dial(a, NodeId{"x", c.host, 1}));
    ASSERT_FALSE(dialled.ok());
    EXPECT_EQ(dialled.error().code, c.code);
    EXPECT_EQ(dialled.error().message, c.message);
    auto listened = runtime().block_on(Transport::listen(NodeId{"x", c.host, 0}, fast_config()));
    ASSERT_FALSE(listened.ok());
    EXPECT_EQ(listened.error().code, c.code);
    EXPECT_EQ(listened.error().message, c.message);
  }
}

// The system lookup answers as Asio's resolver does: the same addresses in
// the same order, the same errors. (No name here reaches a name server.)
TEST(SystemLookup, AnswersAsAsiosResolver) {
  asio::io_context ctx;
  asio::ip::tcp::resolver resolver(ctx);
  for (const char* host : {"localhost", "127.0.0.1", "::1", "[::1]"}) {
    SCOPED_TRACE(host);
    std::error_code expected_error;
    auto expected = resolver.resolve(host, "4242", asio::ip::tcp::resolver::numeric_service, expected_error);
    LookupResult got = async::system_lookup(host, 4242);
    if (expected_error) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error(), expected_error);
      EXPECT_EQ(got.error().message(), expected_error.message());
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.error().message();
    async::Endpoints want;
    for (const auto& entry : expected) want.push_back(entry.endpoint());
    EXPECT_EQ(got.value(), want);
    EXPECT_FALSE(want.empty());
  }
}

}  // namespace
}  // namespace vardimont::test
