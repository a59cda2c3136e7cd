// ScanPlan: the arithmetic of the initial scan, apart from any reader, cache or lock.
//
// The scan walks the whole video once, decoding a short burst of frames at each of a row of
// evenly spread points, so that the caches hold frames from all over the video. This unit says
// whether a scan is needed, where the points lie and how long a burst is, where the reader goes
// after each sample (read on, or jump to the next point whose burst is not cached yet), and how
// the plan adapts when a jump lands earlier than asked. It keeps the plan's five numbers; the
// decoder owns one instance under its Lock and feeds it times.
//
// Every time is absolute, in 100 ns. A frame duration of 0 (no sample had one) plans nothing:
// every question is then answered "read on".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane {

class ScanPlan {
 public:
  // The video is divided into this many parts for the step, and at most this many frames count
  // in the already-cached test...
  static constexpr int64_t kParts = 25;
  // ...which needs this many frames fewer than that count.
  static constexpr int64_t kCachedMargin = 2;
  // A burst is a third of a second of frames.
  static constexpr double kBurstDivisor = 3.0;
  // The step is halved while at least twice this many frames lie between two points.
  static constexpr double kMaxHalfFramesBetweenPoints = 30.0;

  // The running estimate of one frame's duration after a sample lasting `sampleDuration`:
  // 0.8 of the estimate plus 0.2 of the sample, truncated toward zero.
  static int64_t SmoothFrameDuration(int64_t estimate, int64_t sampleDuration);

  // Whether a scan must run over `span` at `frameDuration` when the caches already hold
  // `cachedFrames` records: not when the frame duration is unknown, not when the disk takes no
  // frames, and not when the caches hold at least min(frames, kParts) - kCachedMargin.
  static bool IsNeeded(int64_t span, int64_t frameDuration, size_t cachedFrames, bool storageHasSpace);

  // Plans the points over [firstSample, firstSample + span]; the reader stands at
  // `readerPosition`, which the first burst reads on from.
  void Plan(int64_t firstSample, int64_t span, int64_t frameDuration, int64_t readerPosition);

  // No scan is run: a burst as long as the video puts every later target beyond the end, so
  // samples still delivered are read on one after another.
  void SkipToEnd(int64_t duration) { ScanBurst = duration; }

  // The first sample after a jump arrived at `landed`; before the jump the reader stood at
  // `previous`. A landing at or before `previous` means the key frames are sparser than the
  // step: the step doubles and the point is tried again.
  void Landed(int64_t landed, int64_t previous, int64_t frameDuration, int64_t duration);

  // Where the reader goes after a sample at `readerPosition`.
  struct Move {
    bool jump = false;   // false: read on
    int64_t target = 0;  // where to jump to
  };
  // `skipCached(p)` gives the start of the last frame of the gap-free cached run from p (p
  // itself when nothing follows it). Advances the plan to the next point whose burst is not
  // cached yet, and jumps there when it lies more than half a burst of frames ahead.
  Move Next(int64_t readerPosition, int64_t firstSample, int64_t duration, int64_t frameDuration,
            const std::function<int64_t(int64_t)>& skipCached);

  // The plan.
  int64_t ScanStep = 0;    // distance between points
  int64_t ScanBurst = 0;   // frames read at each point
  int64_t ScanIndex = 0;   // index of the current point
  int64_t ScanPoint = 0;   // the current point
  int64_t ScanTarget = 0;  // the reader reads on until here
};

}  // namespace korvane
