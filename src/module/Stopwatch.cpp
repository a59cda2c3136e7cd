#include "module/Stopwatch.h"

#include "platform/win32/PerformanceCounter.h"

#include <atomic>
#include <charconv>
#include <string>

namespace Korvane::Native {
namespace {

// Process-wide, lock-free. The frequency is stored before the pending flag is cleared, so a
// thread that sees the flag clear also sees the frequency; two first calls racing may both read
// it, which is harmless as it never changes.
std::atomic<uint8_t> g_frequencyPending{1};
std::atomic<int64_t> g_frequency{0};
std::atomic<int64_t> g_startMark{0};

int64_t ReadCounter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// The shortest text that reads back as the same double ("1.5", "0.0123", "12").
std::string FormatMilliseconds(double milliseconds) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof(text), milliseconds);
  return std::string(text, result.ptr);
}

// Truncation toward zero; NaN, infinities and out-of-range values give the "integer
// indefinite" value a processor's conversion produces, instead of undefined behaviour.
int32_t TruncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t MeasureTime(bool start, bool log, const Platform::String& label) {
  if (g_frequencyPending.load() != 0) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    g_frequency.store(frequency.QuadPart);
    g_frequencyPending.store(0);
  }

  if (start) {
    g_startMark.store(ReadCounter());
    return 0;
  }

  const int64_t now = ReadCounter();
  // Wrapping subtraction: counters far apart (or a mark from a test's counter) must not be
  // signed overflow.
  const auto elapsed = static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(g_startMark.load()));
  const double milliseconds = static_cast<double>(elapsed) * 1000.0 / static_cast<double>(g_frequency.load());

  if (log) {
    // Composed and released, as everywhere in the component: there is no log to write it to.
    const Platform::String text = label + " time_difference=" + FormatMilliseconds(milliseconds);
    static_cast<void>(text);
  }
  return TruncateToInt32(milliseconds);
}

}  // namespace Korvane::Native
