// The fixed spans of 100 ns time that the decoder and the caches share. Times are signed 64-bit
// counts of 100 ns everywhere in the component; these are the only places the spans are spelled.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr int64_t kOneSecond = 10'000'000;
// 0.1 s: the window on either side of a position that is cached for a request, and that the
// memory cache keeps around the shown frame.
inline constexpr int64_t kCachingWindow = kOneSecond / 10;

}  // namespace korvane
