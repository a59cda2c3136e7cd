// DecoderTimeline: the decoder's time base, and the one place where its two kinds of time meet.
//
// Absolute times are the source's own: sample timestamps as the reader delivers them, the
// presentation duration, seek positions. Inside the decoder and the caches every time is
// absolute. Relative times are what the front end and the listener see: absolute minus
// FirstSampleTime, the timestamp of the earliest sample. Every conversion goes through here.
//
// Sentinels: kNoPosition (int64 minimum) = no position yet (requested and reader positions,
// Duration after opening); kNoSampleYet (int64 maximum) = no sample seen yet (FirstSampleTime);
// -1 = no frame, in the caches' cursor and neighbour answers.
//
// Threads: written only with the decoder's Lock held; the two fields are atomic because the
// decoder's no-lock getters read them.
#pragma once

#include "cache/TimeArithmetic.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

namespace korvane {

class DecoderTimeline {
 public:
  static constexpr int64_t kNoPosition = std::numeric_limits<int64_t>::min();
  static constexpr int64_t kNoSampleYet = std::numeric_limits<int64_t>::max();

  // Timestamp of the earliest sample seen; kNoSampleYet before the first.
  std::atomic<int64_t> FirstSampleTime{0};
  // Absolute end of the video: the presentation duration, lowered at the end of the scan to the
  // last time actually reached. kNoPosition before Initialize reads it.
  std::atomic<int64_t> Duration{0};

  // Before the first sample of a newly opened video.
  void Reset() {
    FirstSampleTime = kNoSampleYet;
    Duration = kNoPosition;
  }
  bool HasSample() const { return FirstSampleTime != kNoSampleYet; }
  void SeeSample(int64_t timestamp) { FirstSampleTime = std::min(FirstSampleTime.load(), timestamp); }

  // A relative time the front end gave, as an absolute time (saturating at the int64 ends).
  int64_t ToAbsolute(int64_t relative) const { return SaturatingAdd(FirstSampleTime, relative); }
  // An absolute time as the front end and the listener see it.
  int64_t ToRelative(int64_t absolute) const { return SaturatingSubtract(absolute, FirstSampleTime); }
  // A frame time out of a cache query, where -1 means none: relative when it lies in the video,
  // unchanged otherwise (so -1 stays -1).
  int64_t FrameTimeToRelative(int64_t time) const {
    const int64_t first = FirstSampleTime;
    return time >= first ? time - first : time;
  }
  // `absolute` moved into the video: below FirstSampleTime it becomes FirstSampleTime, otherwise
  // above Duration it becomes Duration.
  int64_t Clamp(int64_t absolute) const {
    if (absolute < FirstSampleTime) return FirstSampleTime;
    if (absolute > Duration) return Duration;
    return absolute;
  }
};

}  // namespace korvane
