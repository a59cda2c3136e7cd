#include "cache/FrameIntervalLess.h"

#include <algorithm>

namespace korvane {

bool FrameIntervalLess::Overlap(const CachedFrame& a, const CachedFrame& b) noexcept {
  return std::max(a.Time, b.Time) < std::min(a.EndTime, b.EndTime);
}

bool FrameIntervalLess::Equivalent(const CachedFrame& a, const CachedFrame& b) noexcept {
  return Overlap(a, b) && (b.ContainsTime(a.Midpoint()) || a.ContainsTime(b.Midpoint()));
}

}  // namespace korvane
