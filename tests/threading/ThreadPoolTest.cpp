#include "platform/threading/ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace korvane::threading {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerousWait = 30s;

// Holds tasks until released, and counts how many are waiting.
class Gate {
 public:
  void Enter() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    --waiting_;
    ++passed_;
    changed_.notify_all();
  }
  bool WaitForWaiting(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGenerousWait, [&] { return waiting_ >= count; });
  }
  bool WaitForPassed(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGenerousWait, [&] { return passed_ >= count; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  int passed_ = 0;
  bool open_ = false;
};

TEST(ThreadPoolTest, Submit_RunsNewWorkWhile64TasksBlock) {
  constexpr int kBlocked = 64;
  ThreadPool& pool = ThreadPool::Default();
  Gate gate;
  for (int i = 0; i < kBlocked; ++i) pool.Submit([&gate] { gate.Enter(); });
  ASSERT_TRUE(gate.WaitForWaiting(kBlocked));
  EXPECT_GE(pool.ThreadCount(), static_cast<std::size_t>(kBlocked + 0));

  std::promise<std::thread::id> ran;
  pool.Submit([&ran] { ran.set_value(std::this_thread::get_id()); });
  auto result = ran.get_future();
  ASSERT_EQ(result.wait_for(kGenerousWait), std::future_status::ready);
  EXPECT_NE(result.get(), std::this_thread::get_id());

  gate.Open();
  EXPECT_TRUE(gate.WaitForPassed(kBlocked));
}

TEST(ThreadPoolTest, Submit_FromInsideATaskRuns) {
  ThreadPool pool;
  std::promise<int> inner;
  pool.Submit([&] { pool.Submit([&] { inner.set_value(7); }); });
  auto result = inner.get_future();
  ASSERT_EQ(result.wait_for(kGenerousWait), std::future_status::ready);
  EXPECT_EQ(result.get(), 7);
}

TEST(ThreadPoolTest, Destructor_RunsQueuedTasksAndWaitsForThem) {
  std::atomic<int> done{0};
  {
    ThreadPool pool;
    for (int i = 0; i < 200; ++i) pool.Submit([&done] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 200);
}

TEST(ThreadPoolTest, IdleThreads_Retire) {
  ThreadPool pool(20ms);
  Gate gate;
  for (int i = 0; i < 8; ++i) pool.Submit([&gate] { gate.Enter(); });
  ASSERT_TRUE(gate.WaitForWaiting(8));
  EXPECT_EQ(pool.ThreadCount(), 8u);
  gate.Open();
  ASSERT_TRUE(gate.WaitForPassed(8));
  EXPECT_TRUE(pool.WaitForThreadCountAtMostForTesting(0, kGenerousWait));
}

TEST(ThreadPoolDeathTest, Task_EscapingExceptionTerminatesWithMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ThreadPool pool;
        std::promise<void> never;
        pool.Submit([] { throw std::runtime_error("boom in task"); });
        never.get_future().wait_for(kGenerousWait);
      },
      "boom in task");
}

}  // namespace
}  // namespace korvane::threading
