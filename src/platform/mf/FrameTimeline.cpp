#include "platform/mf/FrameTimeline.h"

#include <algorithm>

namespace korvane::mf {

void FrameTimeline::Restart(std::optional<int64_t> origin) {
  previous_.reset();
  lastSpacing_.reset();
  origin_ = origin;
}

int64_t FrameTimeline::Place(std::optional<int64_t> stamp, std::optional<int64_t> duration) {
  int64_t time = 0;
  if (!previous_) {
    time = std::max<int64_t>(stamp.value_or(origin_.value_or(0)), 0);
  } else if (!stamp) {
    time = *previous_ + LastSpacing(duration).value_or(kSmallestStep);
    lastSpacing_ = time - *previous_;
  } else if (*stamp > *previous_) {
    time = *stamp;
    lastSpacing_ = time - *previous_;
  } else {
    // Squeezed in: not a spacing to follow.
    time = *previous_ + kSmallestStep;
  }
  previous_ = time;
  return time;
}

std::optional<int64_t> FrameTimeline::LastSpacing(std::optional<int64_t> duration) const {
  if (duration && *duration > 0) return duration;
  if (lastSpacing_) return lastSpacing_;
  return nominalSpacing_;
}

}  // namespace korvane::mf
