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

// Holds tasks until opened; counts the tasks that arrived and those that passed.
class Gate {
 public:
  void Enter() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    ++passed_;
    changed_.notify_all();
  }
  bool WaitForArrived(int count) { return WaitFor(arrived_, count); }
  bool WaitForPassed(int count) { return WaitFor(passed_, count); }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  bool WaitFor(const int& counter, int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGenerousWait, [&] { return counter >= count; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;  // guarded by mutex_, as are the two below
  int passed_ = 0;
  bool open_ = false;
};

TEST(ThreadPoolTest, Submit_RunsNewWorkWhile64TasksBlock) {
  constexpr int kBlocked = 64;
  ThreadPool& pool = ThreadPool::Default();
  Gate gate;
  for (int i = 0; i < kBlocked; ++i) pool.Submit([&gate] { gate.Enter(); });
  ASSERT_TRUE(gate.WaitForArrived(kBlocked));
  EXPECT_GE(pool.ThreadCount(), std::size_t{kBlocked});

  // The new work is submitted from inside a task, as continuations are.
  std::promise<std::thread::id> ran;
  pool.Submit([&] { pool.Submit([&ran] { ran.set_value(std::this_thread::get_id()); }); });
  auto result = ran.get_future();
  ASSERT_EQ(result.wait_for(kGenerousWait), std::future_status::ready);
  EXPECT_NE(result.get(), std::this_thread::get_id());

  gate.Open();
  EXPECT_TRUE(gate.WaitForPassed(kBlocked));
}

TEST(ThreadPoolTest, Destructor_RunsQueuedTasksAndWaitsForThem) {
  std::atomic<int> done{0};
  {
    ThreadPool pool;
    for (int i = 0; i < 200; ++i) pool.Submit([&done] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 200);
}

// The pool grows while tasks block; the threads must not stay once the work is done.
TEST(ThreadPoolTest, IdleThreads_Retire) {
  ThreadPool pool(20ms);
  Gate gate;
  for (int i = 0; i < 8; ++i) pool.Submit([&gate] { gate.Enter(); });
  ASSERT_TRUE(gate.WaitForArrived(8));
  EXPECT_EQ(pool.ThreadCount(), 8u);
  gate.Open();
  ASSERT_TRUE(gate.WaitForPassed(8));
  EXPECT_TRUE(pool.WaitForThreadCountAtMostForTesting(0, kGenerousWait));
}

}  // namespace
}  // namespace korvane::threading
