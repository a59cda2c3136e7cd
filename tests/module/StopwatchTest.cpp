#include "module/Stopwatch.h"

#include "platform/win32/PerformanceCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

namespace {

using Korvane::Native::MeasureTime;

constexpr int64_t kTicksPerMillisecond = 10'000;

class StopwatchTest : public ::testing::Test {
 protected:
  void TearDown() override { SetPerformanceCounterForTesting(std::nullopt); }

  // Takes a start mark at counter value `startTicks` and stops at `stopTicks`.
  static int32_t Measure(int64_t startTicks, int64_t stopTicks) {
    SetPerformanceCounterForTesting(startTicks);
    EXPECT_EQ(0, MeasureTime(true, false, ""));
    SetPerformanceCounterForTesting(stopTicks);
    return MeasureTime(false, false, "");
  }
};

// The stopwatch's state lives for the whole process and is read on the first call only, so the
// first call's rule is checked in a fresh process: the death-test child re-runs this binary
// with only the one test, before anything else has touched the stopwatch. The child exits 0
// when every check held and prints what went wrong otherwise.
class StopwatchFirstCallTest : public StopwatchTest {
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void ExitWith(bool passed, const char* what) {
  if (!passed) std::cerr << "failed: " << what << std::endl;
  std::_Exit(passed ? 0 : 1);
}

TEST_F(StopwatchFirstCallTest, FirstCallStop_ReadsFrequencyAndMeasuresFromCounterZero) {
  EXPECT_EXIT(
      {
        // Without the frequency the figure would be a division by zero (INT32_MIN).
        SetPerformanceCounterForTesting(15'000);
        ExitWith(MeasureTime(false, false, "") == 1, "1.5 ms after counter 0 gives 1");
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(StopwatchTest, Stop_TruncatesTowardZero) {
  const struct {
    int64_t startTicks, stopTicks;
    int32_t milliseconds;
  } cases[] = {{1'000, 1'000, 0},        {1'000, 16'000, 1},  // 1.5 ms
               {1'000, 10'999, 0},       {1'000, 11'000, 1},  // 0.9999 ms, 1 ms
               {100'000, 85'000, -1},    {-50'000, 0, 5},     // -1.5 ms, 5 ms
               {0, 21'474'836'479'999, INT32_MAX},            // 2147483647.9999 ms
               {0, 21'474'836'480'000, INT32_MIN},            // 2^31 ms
               {21'474'836'490'000, 0, INT32_MIN},            // below -2^31 ms
               {INT64_MIN, INT64_MAX, 0}};                    // wraps, no overflow
  for (const auto& c : cases) {
    EXPECT_EQ(c.milliseconds, Measure(c.startTicks, c.stopTicks)) << c.startTicks << " -> " << c.stopTicks;
  }
}

TEST_F(StopwatchTest, MeasureTime_ConcurrentCallsAreRaceFree) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2'000;
  std::atomic<int> badFigures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        if (MeasureTime(true, false, "") != 0) ++badFigures;
        // Another thread's newer mark may land between this thread's counter read and its
        // mark read, so a stop may see a small negative figure (larger when the thread is
        // preempted in between); never a wild one.
        const int32_t elapsed = MeasureTime(false, true, "worker");
        if (elapsed < -1'000 || elapsed > 60'000) ++badFigures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, badFigures.load());
}

}  // namespace
