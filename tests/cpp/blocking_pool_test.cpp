// The blocking pool: threads on demand up to the cap, jobs beyond it queued,
// idle threads ending, and a stop that drops queued jobs and waits for none.
#include "async/blocking_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "eventually.h"

namespace vardimont::async {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// Jobs wait here until the test opens it.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> waiting{0};
  std::atomic<int> done{0};

  void pass() {
    ++waiting;
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return open; });
    }
    --waiting;
    ++done;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
  }
};

TEST(BlockingPool, ThreadsStartOnDemandUpToTheCapAndLaterJobsWait) {
  BlockingPool pool(2, 10s);
  EXPECT_EQ(pool.threads(), 0u);
  auto gate = std::make_shared<Gate>();
  std::atomic<int> third_ran{0};
  ASSERT_FALSE(pool.post([gate] { gate->pass(); }));
  ASSERT_FALSE(pool.post([gate] { gate->pass(); }));
  ASSERT_FALSE(pool.post([&third_ran] { ++third_ran; }));
  ASSERT_TRUE(eventually([&] { return gate->waiting == 2; }));
  EXPECT_EQ(pool.threads(), 2u);
  EXPECT_EQ(third_ran.load(), 0);  // queued behind the two at the cap
  gate->release();
  EXPECT_TRUE(eventually([&] { return third_ran == 1; }));
  EXPECT_EQ(pool.threads(), 2u);

  // An idle thread takes the next job; no new thread is started for it.
  ASSERT_FALSE(pool.post([&third_ran] { ++third_ran; }));
  EXPECT_TRUE(eventually([&] { return third_ran == 2; }));
  EXPECT_EQ(pool.threads(), 2u);
}

TEST(BlockingPool, IdleThreadsEnd) {
  BlockingPool pool(8, 50ms);
  auto gate = std::make_shared<Gate>();
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(pool.post([gate] { gate->pass(); }));
  ASSERT_TRUE(eventually([&] { return gate->waiting == 3; }));
  EXPECT_EQ(pool.threads(), 3u);
  gate->release();
  EXPECT_TRUE(eventually([&] { return pool.threads() == 0; }));
  // And come back on demand.
  std::atomic<bool> ran{false};
  ASSERT_FALSE(pool.post([&ran] { ran = true; }));
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

TEST(BlockingPool, StopDropsQueuedJobsAndWaitsForNone) {
  auto gate = std::make_shared<Gate>();
  // A job holds its token; the token expires when the pool lets go of the job.
  auto queued = std::make_shared<int>(0);
  auto late = std::make_shared<int>(0);
  const std::weak_ptr<int> queued_token = queued;
  const std::weak_ptr<int> late_token = late;
  std::atomic<bool> queued_ran{false};
  {
    BlockingPool pool(1, 10s);
    ASSERT_FALSE(pool.post([gate] { gate->pass(); }));
    ASSERT_TRUE(eventually([&] { return gate->waiting == 1; }));
    ASSERT_FALSE(pool.post([&queued_ran, t = std::move(queued)] { queued_ran = true; }));
    pool.stop();  // returns while its one thread is still blocked
    EXPECT_TRUE(queued_token.expired());
    EXPECT_TRUE(pool.post([t = std::move(late)] {}));  // refused and dropped
    EXPECT_TRUE(late_token.expired());
    pool.stop();  // idempotent
  }  // the pool goes while its thread still runs a job
  EXPECT_EQ(gate->waiting.load(), 1);
  gate->release();
  EXPECT_TRUE(eventually([&] { return gate->done == 1 && BlockingPool::jobs_in_progress() == 0; }));
  EXPECT_FALSE(queued_ran.load());
}

}  // namespace
}  // namespace vardimont::async
