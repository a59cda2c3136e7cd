// The high-resolution performance counter.
//
// The counter is CLOCK_MONOTONIC in 100 ns ticks, so QueryPerformanceFrequency always reports
// 10,000,000 (the figure current versions of the original report too) and a tick is the unit of
// every other time in the system. Its origin is the monotonic clock's (boot, on Linux): like the
// original's, it only means something as a difference. Both calls succeed on every thread.
#pragma once

#include "platform/win32/Win32Types.h"

#include "platform/com/Stream.h"  // LARGE_INTEGER

#include <cstdint>
#include <optional>

constexpr int64_t kPerformanceCounterFrequency = 10'000'000;

// FALSE with ERROR_INVALID_PARAMETER (87) for a null pointer.
BOOL QueryPerformanceCounter(LARGE_INTEGER* performanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// TEST HOOK. While set, QueryPerformanceCounter reports exactly `ticks` (process-wide), so a
// test can place readings at chosen instants instead of waiting for the clock; std::nullopt
// returns to the real clock. Unset, it has no effect. Meant to be set by one test thread while
// nothing else reads the counter concurrently.
void SetPerformanceCounterForTesting(std::optional<int64_t> ticks);
