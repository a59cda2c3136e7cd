#include "decoder/ScanPlan.h"

#include "cache/MediaTime.h"

#include <algorithm>
#include <cmath>

namespace korvane {

int64_t ScanPlan::SmoothFrameDuration(int64_t estimate, int64_t sampleDuration) {
  return static_cast<int64_t>(0.8 * static_cast<double>(estimate) + 0.2 * static_cast<double>(sampleDuration));
}

bool ScanPlan::IsNeeded(int64_t span, int64_t frameDuration, size_t cachedFrames, bool storageHasSpace) {
  // Every step of the plan divides by the frame duration.
  if (frameDuration <= 0 || !storageHasSpace) return false;
  const int64_t wanted = std::min(span / frameDuration, kParts);
  return static_cast<int64_t>(cachedFrames) < wanted - kCachedMargin;
}

void ScanPlan::Plan(int64_t firstSample, int64_t span, int64_t frameDuration, int64_t readerPosition) {
  const double fps = static_cast<double>(kOneSecond / frameDuration);
  const auto order = static_cast<int64_t>(std::log10(static_cast<double>(span) / static_cast<double>(frameDuration)));
  const int64_t k = std::max<int64_t>(1, order);
  ScanStep = (span / kParts) * k;
  ScanBurst = static_cast<int64_t>(fps / kBurstDivisor);
  // Long videos: halve the step (more points) while shrinking the bursts, as long as the points
  // stay far apart.
  double halfFrames = static_cast<double>(ScanStep / frameDuration) * 0.5;
  while (halfFrames >= kMaxHalfFramesBetweenPoints) {
    const int64_t shorter = ScanBurst / k;
    if (shorter <= 0) break;
    ScanStep /= 2;
    ScanBurst = shorter;
    halfFrames *= 0.5;
  }
  ScanPoint = firstSample - ScanStep;
  ScanTarget = readerPosition;
  ScanIndex = -1;
}

void ScanPlan::Landed(int64_t landed, int64_t previous, int64_t frameDuration, int64_t duration) {
  if (ScanTarget >= duration) return;  // past the last point: nothing left to plan
  if (landed <= previous) {
    ScanStep *= 2;
    --ScanIndex;
  }
  ScanPoint = landed;
  ScanTarget = ScanBurst * frameDuration + landed;
  // A burst that would end within a second of the end reads on to the end.
  if (ScanTarget >= duration - kOneSecond) ScanTarget = duration;
}

ScanPlan::Move ScanPlan::Next(int64_t readerPosition, int64_t firstSample, int64_t duration, int64_t frameDuration,
                              const std::function<int64_t(int64_t)>& skipCached) {
  // Still inside the current burst, or past the end: read on.
  if (readerPosition < ScanTarget || readerPosition >= duration || frameDuration <= 0 || ScanStep <= 0) return {};
  int64_t p = readerPosition;
  do {
    ++ScanIndex;
    ScanPoint = std::min(firstSample + ScanStep * ScanIndex, duration);
    ScanTarget = ScanPoint + frameDuration * ScanBurst;
    p = skipCached(std::max(ScanPoint, p));
    // Once the points have reached the end there is nothing left to jump to (a burst of zero
    // frames, at fewer than three frames per second, never leaves a point uncached).
    if (!(p < ScanTarget) && ScanPoint >= duration) return {};
  } while (!(p < ScanTarget));
  // A point no more than half a burst of frames ahead is read on to.
  if ((ScanPoint - readerPosition) / frameDuration > ScanBurst / 2) return {true, p};
  return {};
}

}  // namespace korvane
