// FrameIntervalLess: the order of CachedFrame records in both caches.
//
// Two records are the same frame for a cache ("equivalent") when their intervals overlap and
// the midpoint of one lies inside the other; otherwise the earlier Time comes first. This is a
// strict weak ordering only over sets of pairwise non-equivalent frames, which is what the
// caches hold: std::set's unique insertion (compare with the in-order predecessor, refuse when
// it is not ordered before the new record) keeps them that way. Lookups with a probe record
// (see VideoDecoderCacheBase) rely on lower_bound / upper_bound under this order.
#pragma once

#include "cache/CachedFrame.h"

namespace korvane {

struct FrameIntervalLess {
  // max(a.Time, b.Time) < min(a.EndTime, b.EndTime).
  static bool Overlap(const CachedFrame& a, const CachedFrame& b) noexcept;
  // Overlap, and a's midpoint lies in [b.Time, b.EndTime) or b's in [a.Time, a.EndTime).
  static bool Equivalent(const CachedFrame& a, const CachedFrame& b) noexcept;

  // a is ordered before b: not equivalent, and a.Time < b.Time.
  bool operator()(const CachedFrame& a, const CachedFrame& b) const noexcept {
    return a.Time < b.Time && !Equivalent(a, b);
  }
};

}  // namespace korvane
