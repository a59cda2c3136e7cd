#include "platform/win32/PerformanceCounter.h"

#include <gtest/gtest.h>

namespace {

int64_t Counter() {
  LARGE_INTEGER value{};
  EXPECT_TRUE(QueryPerformanceCounter(&value));
  return value.QuadPart;
}

TEST(PerformanceCounterTest, QueryPerformanceCounter_AdvancesMonotonicallyAtTenMegahertz) {
  LARGE_INTEGER frequency{};
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10'000'000, frequency.QuadPart);
  const int64_t first = Counter();
  int64_t last = first;
  // Busy-read until the clock moves: the counter must advance and never step back.
  for (int i = 0; i < 10'000'000 && last == first; ++i) {
    const int64_t now = Counter();
    ASSERT_GE(now, last);
    last = now;
  }
  EXPECT_GT(last, first);
}

}  // namespace
