// Arithmetic on 100 ns times that cannot overflow. The caches add windows and durations to
// times that come from outside (sample times, positions, limits); near the ends of the 64-bit
// range the plain sums would be undefined behaviour, so every such sum goes through here. For
// every time a real video produces the results are exactly the plain ones.
#pragma once

#include <cstdint>
#include <limits>

namespace korvane {

// a + b, clamped to the int64 range.
inline int64_t SaturatingAdd(int64_t a, int64_t b) noexcept {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

// a - b, clamped to the int64 range.
inline int64_t SaturatingSubtract(int64_t a, int64_t b) noexcept {
  int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return difference;
}

// |a - b|, exact for any two times (the distance always fits in 64 unsigned bits).
inline uint64_t TimeDistance(int64_t a, int64_t b) noexcept {
  return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
                : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

// (a + b) / 2 with the sum taken exactly and the quotient truncated toward zero.
inline int64_t TimeMidpoint(int64_t a, int64_t b) noexcept {
  return static_cast<int64_t>((static_cast<__int128>(a) + b) / 2);
}

// A double truncated toward zero to a time; values beyond the int64 range (and NaN, which no
// finite time produces) clamp instead of being undefined.
inline int64_t TruncateToTime(double value) noexcept {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value < kTwoTo63)) return value != value ? 0 : std::numeric_limits<int64_t>::max();
  if (value < -kTwoTo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace korvane
