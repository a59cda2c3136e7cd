#include "cache/VideoDecoderCacheBase.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace korvane {

VideoDecoderCacheBase::VideoDecoderCacheBase(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
    : Device(std::move(device)), Context(std::move(context)), Cursor(Frames.end()) {}

VideoDecoderCacheBase::~VideoDecoderCacheBase() = default;

CachedFrame VideoDecoderCacheBase::MakeProbe(int64_t t) { return CachedFrame(nullptr, t, kProbeDuration, false); }

VideoDecoderCacheBase::FrameSet::const_iterator VideoDecoderCacheBase::FindMatching(int64_t t) const {
  const CachedFrame probe = MakeProbe(t);
  auto found = Frames.lower_bound(probe);
  if (found == Frames.end()) return found;
  if (FrameIntervalLess::Equivalent(*found, probe) || found->Time <= t) return found;
  return Frames.end();
}

bool VideoDecoderCacheBase::Contains(int64_t t) const { return FindMatching(t) != Frames.end(); }

ComPtr<ID3D11Texture2D> VideoDecoderCacheBase::FindTexture(int64_t t) const {
  if (Cursor != Frames.end() && Cursor->ContainsTime(t)) return Cursor->Texture;
  auto found = FindMatching(t);
  return found == Frames.end() ? nullptr : found->Texture;
}

int64_t VideoDecoderCacheBase::GetDuration(int64_t t) const {
  if (Cursor != Frames.end() && Cursor->ContainsTime(t)) return Cursor->Duration;
  auto found = FindMatching(t);
  return found == Frames.end() ? 0 : found->Duration;
}

bool VideoDecoderCacheBase::MoveCursor(int64_t t) {
  if (Frames.empty()) return false;
  if (Cursor != Frames.end() && Cursor->ContainsTime(t)) return false;
  const int64_t oldTime = GetCursorTime();

  // A plain walk rather than a tree lookup: "nearest" compares the frames on both sides of t
  // by their start times, and the memory cache it serves holds only a handful of frames.
  uint64_t previousDistance = 0;
  auto frame = Frames.begin();
  for (; frame != Frames.end(); ++frame) {
    if (frame->ContainsTime(t)) {
      Cursor = frame;
      break;
    }
    if (frame->Time > t) {
      // On equal distance the later frame wins.
      Cursor = (TimeDistance(frame->Time, t) > previousDistance && frame != Frames.begin()) ? std::prev(frame) : frame;
      break;
    }
    previousDistance = TimeDistance(frame->Time, t);
  }
  if (frame == Frames.end()) Cursor = std::prev(Frames.end());
  return oldTime != Cursor->Time;
}

int64_t VideoDecoderCacheBase::GetPreviousTime(int64_t t) const {
  auto frame = Frames.lower_bound(MakeProbe(t));
  if (frame == Frames.end() || frame == Frames.begin()) return -1;
  if (!frame->ContainsTime(t)) return -1;
  const auto& before = *std::prev(frame);
  // A gap of two thirds of a frame or more before the frame containing t breaks adjacency.
  const int64_t limit = TruncateToTime(static_cast<double>(frame->Time) - (2.0 * static_cast<double>(frame->Duration)) / 3.0);
  return limit >= before.EndTime ? -1 : before.Time;
}

namespace {

// Whether `next` follows `frame` with no frame missing between them. A missing frame leaves a
// gap of about one frame; adjacent frames touch. Times rounded to 100 ns (or to the millisecond
// in Matroska) make a missing frame's gap fall a little short of a whole duration, and with a
// variable frame rate the missing frame may be shorter than `frame`, so the line is drawn
// halfway: a gap of half of `frame`'s duration or more is a missing frame.
bool StartsAdjacent(const CachedFrame& frame, const CachedFrame& next) {
  return next.Time < SaturatingAdd(frame.EndTime, frame.Duration / 2);
}

}  // namespace

int64_t VideoDecoderCacheBase::GetNextTime(int64_t t) const {
  auto next = Frames.upper_bound(MakeProbe(t));
  if (next == Frames.end() || next == Frames.begin()) return -1;
  const int64_t limit = TruncateToTime(static_cast<double>(next->Time) - (5.0 * static_cast<double>(next->Duration)) * 0.25);
  const auto& before = *std::prev(next);
  if (before.ContainsTime(t)) return StartsAdjacent(before, *next) ? next->Time : -1;
  // t lies in no frame: the next frame counts when it starts within 1.25 of its durations.
  return (limit >= t || t >= next->Time) ? -1 : next->Time;
}

const CachedFrame* VideoDecoderCacheBase::FindContaining(int64_t t) const {
  if (Cursor != Frames.end() && Cursor->ContainsTime(t)) return &*Cursor;
  auto frame = Frames.lower_bound(MakeProbe(t));
  if (frame != Frames.end() && frame->ContainsTime(t)) return &*frame;
  if (frame != Frames.begin() && std::prev(frame)->ContainsTime(t)) return &*std::prev(frame);
  return nullptr;
}

int64_t VideoDecoderCacheBase::GetNextTimeAfter(const CachedFrame& current) const {
  auto next = Frames.upper_bound(current);
  if (next == Frames.end()) return -1;
  return StartsAdjacent(current, *next) ? next->Time : -1;
}

int64_t VideoDecoderCacheBase::GetPreviousTimeBefore(const CachedFrame& current) const {
  auto frame = Frames.lower_bound(current);
  if (frame == Frames.begin()) return -1;
  const auto& before = *std::prev(frame);
  const int64_t limit =
      TruncateToTime(static_cast<double>(current.Time) - (2.0 * static_cast<double>(current.Duration)) / 3.0);
  return limit >= before.EndTime ? -1 : before.Time;
}

int64_t VideoDecoderCacheBase::GetContiguousEnd(int64_t t, int64_t limit) const {
  auto frame = FindMatching(t);
  if (frame == Frames.end()) return std::min(t, limit);
  int64_t end = t;
  int64_t reach = SaturatingAdd(t, kProbeMidpointOffset);
  for (; frame != Frames.end(); ++frame) {
    if (frame->Time > reach || frame->Time > limit) break;
    end = frame->EndTime;
    // The next frame continues the run when it starts within half a duration of this end.
    reach = SaturatingAdd(frame->EndTime, frame->Duration / 2);
  }
  return std::min(end, limit);
}

int64_t VideoDecoderCacheBase::GetCursorTime() const { return Cursor == Frames.end() ? -1 : Cursor->Time; }

int64_t VideoDecoderCacheBase::GetCursorDuration() const { return Cursor == Frames.end() ? -1 : Cursor->Duration; }

void VideoDecoderCacheBase::Erase(FrameSet::const_iterator position) {
  if (position == FrameSet::const_iterator(Cursor)) Cursor = Frames.end();
  Frames.erase(position);
}

void VideoDecoderCacheBase::EraseEquivalent(const CachedFrame& frame) {
  auto [first, last] = Frames.equal_range(frame);
  for (auto it = first; it != last; ++it) {
    if (it == FrameSet::const_iterator(Cursor)) Cursor = Frames.end();
  }
  Frames.erase(first, last);
}

void VideoDecoderCacheBase::EraseAll() {
  Frames.clear();
  Cursor = Frames.end();
}

}  // namespace korvane
