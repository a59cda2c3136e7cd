#include "platform/win32/PerformanceCounter.h"

#include "platform/win32/LastError.h"

#include <atomic>
#include <ctime>

namespace {

// Two atomics rather than one lock: the counter is read on every timed operation. A reader
// racing a change of the hook may see the old or the new figure, which is all a test needs.
std::atomic<bool> g_counterFrozen{false};
std::atomic<int64_t> g_frozenTicks{0};

}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* performanceCount) {
  if (performanceCount == nullptr) return korvane::win32::FailWith(ERROR_INVALID_PARAMETER);
  if (g_counterFrozen.load(std::memory_order_acquire)) {
    performanceCount->QuadPart = g_frozenTicks.load(std::memory_order_relaxed);
    return TRUE;
  }
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  performanceCount->QuadPart = static_cast<int64_t>(now.tv_sec) * kPerformanceCounterFrequency + now.tv_nsec / 100;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) return korvane::win32::FailWith(ERROR_INVALID_PARAMETER);
  frequency->QuadPart = kPerformanceCounterFrequency;
  return TRUE;
}

void SetPerformanceCounterForTesting(std::optional<int64_t> ticks) {
  if (ticks) {
    g_frozenTicks.store(*ticks, std::memory_order_relaxed);
    g_counterFrozen.store(true, std::memory_order_release);
  } else {
    g_counterFrozen.store(false, std::memory_order_release);
  }
}
