#include "decoder/CachingWindow.h"

#include "cache/MediaTime.h"
#include "cache/TimeArithmetic.h"
#include "cache/VideoDecoderCacheManager.h"
#include "decoder/DecoderTrace.h"
#include "platform/com/Exceptions.h"

#include <algorithm>
#include <cassert>
#include <string>

namespace korvane {

CachingWindow::CachingWindow(const Parts& parts) : My(parts) {}

void CachingWindow::UpdateReaderPosition(int64_t target, JumpBy how) {
  assert(My.Lock.is_held_by_current_thread());
  const int64_t reader = My.Driver.ReaderPosition;
  if (My.CacheManager->IsFrameCached(target)) {
    RangeEnd = RangeStart = target;
    CompleteCaching(how);
  } else if (reader < target && target <= reader + kCachingWindow) {
    Trace("UpdateReaderPosition[Continuation to cache...]");
    ReadLimit = std::max(ReadLimit, target);
    RangeStart = std::max(RangeStart, target - kCachingWindow);
    RangeEnd = std::max(std::min(RangeEnd, target + kCachingWindow), ReadLimit);
    ContinueCaching(how);
  } else {
    Trace("UpdateReaderPosition[Need to jump]");
    CachePosition(target, how);
  }
}

void CachingWindow::CachePosition(int64_t target, JumpBy how) {
  const int64_t reader = My.Driver.ReaderPosition;
  ReadLimit = RangeEnd = std::min(target, My.Timeline.Duration.load());
  if (!My.Driver.EndOfStream && reader <= target && target <= reader + kCachingWindow) {
    ReadOn();
    Trace("CachePosition[Continuation...][" + std::to_string(target) + "]");
    return;
  }
  BeginJump();
  RangeStart = ReadLimit;
  Jump(target, how);
  Trace("CachePosition[Jump requested][" + std::to_string(target) + "]");
}

void CachingWindow::ContinueCaching(JumpBy how) {
  assert(My.Lock.is_held_by_current_thread());
  if (My.Driver.ReaderPosition < ReadLimit) {
    Trace("ContinueCaching[Continuation...]");
    ReadOn();
    return;
  }
  ReadLimit = std::min(My.Driver.ReaderPosition, My.Timeline.Duration.load());
  RangeEnd = std::max(RangeEnd, ReadLimit);
  Trace("ContinueCaching[Reached the limit]");
  CompleteCaching(how);
}

void CachingWindow::CompleteCaching(JumpBy how) {
  assert(My.Lock.is_held_by_current_thread());
  // The window [RequestedPosition - 0.1 s, ForwardEnd()], cut to the video.
  const int64_t end = std::min(ForwardEnd(), My.Timeline.Duration.load());
  if (RequestedPosition <= end && RangeEnd < end) {
    RangeEnd = My.CacheManager->GetCachedRangeEnd(RequestedPosition, end);
    if (RangeEnd < end) {
      ExtendForward(end, how);
      return;
    }
  }
  const int64_t start = std::max(RequestedPosition - kCachingWindow, My.Timeline.FirstSampleTime.load());
  if (start <= RequestedPosition && start < RangeStart) {
    const int64_t reached = My.CacheManager->GetCachedRangeEnd(start, RequestedPosition);
    if (reached < RequestedPosition) {
      RangeStart = RequestedPosition;
      ExtendBackwards(start, how);
      return;
    }
    RangeStart = start;
  }
  My.State = DecoderState::Ready;  // CachingJump/Caching -> Ready: the window is cached
  ShowPosition(RequestedPosition);
  NotifyCachingCompleted();
}

int64_t CachingWindow::ForwardEnd() const {
  const int64_t end = RequestedPosition + kCachingWindow;
  // A frame lasting the whole 0.1 s (frames 100 ms apart or more) covers the window's forward
  // half on its own; without reaching past its end the frame after it is never read, and
  // GetNextFrameTime finds nothing mid-video. Shorter frames end inside the window: unchanged.
  const int64_t frameEnd = My.CacheManager->GetFrameEndTime(RequestedPosition);
  return frameEnd == -1 ? end : std::max(end, SaturatingAdd(frameEnd, 1));
}

void CachingWindow::ExtendForward(int64_t limit, JumpBy how) {
  ReadLimit = limit;
  const int64_t reader = My.Driver.ReaderPosition;
  if (!My.Driver.EndOfStream && reader <= RangeEnd && RangeEnd <= reader + kOneSecond) {
    RangeEnd = std::max(RangeEnd, ReadLimit);
    ReadOn();
    Trace("ExtendForward[Continuation...]");
    return;
  }
  BeginJump();
  My.Driver.ReaderPosition = RangeEnd;
  RangeEnd = std::max(RangeEnd, ReadLimit);
  Jump(My.Driver.ReaderPosition, how);
  Trace("ExtendForward[Jump requested]");
}

void CachingWindow::ExtendBackwards(int64_t start, JumpBy how) {
  ReadLimit = RangeStart;
  RangeStart = start;
  RangeEnd = std::max(RangeEnd, ReadLimit);
  const int64_t reader = My.Driver.ReaderPosition;
  if (!My.Driver.EndOfStream && reader <= start && start <= reader + kOneSecond) {
    ReadOn();
    Trace("ExtendBackwards[Continuation...]");
    return;
  }
  BeginJump();
  My.Driver.ReaderPosition = start;
  Jump(start, how);
  Trace("ExtendBackwards[Jump requested]");
}

void CachingWindow::ReadOn() {
  My.State = DecoderState::Caching;  // -> Caching: read on
  ThrowIfFailed(My.Driver.ReadNext());
}

void CachingWindow::BeginJump() {
  My.State = DecoderState::CachingJump;  // -> CachingJump
  My.Driver.PreviousReaderPosition = My.Driver.ReaderPosition;
}

void CachingWindow::Jump(int64_t target, JumpBy how) {
  if (how == JumpBy::Flush) {
    My.Driver.ReaderPosition = target;
    ThrowIfFailed(My.Driver.FlushIfIdle());
  } else {
    ThrowIfFailed(My.Driver.SeekAndRead(target, OnSeekFailure::Flush, Clamping::ToVideo));
  }
}

bool CachingWindow::ServePendingRequest() {
  assert(My.Lock.is_held_by_current_thread());
  if (!PendingRequest) return false;
  PendingRequest = false;
  UpdateReaderPosition(RequestedPosition, JumpBy::Flush);
  ShowPosition(RequestedPosition);
  return true;
}

void CachingWindow::ShowPosition(int64_t position) {
  assert(My.Lock.is_held_by_current_thread());
  VideoDecoderCacheManager& caches = *My.CacheManager;
  if (caches.SetPosition(position) && My.Listener) {
    // The relative middle of the frame now shown.
    My.Listener->OnPositionHasChanged(
        My.Timeline.ToRelative(caches.GetCurrentFrameTime() + caches.GetCurrentFrameDuration() / 2));
  }
}

void CachingWindow::NotifyCachingCompleted() {
  assert(My.Lock.is_held_by_current_thread());
  if (My.Listener) My.Listener->OnCachingCompleted(My.Timeline.ToRelative(RangeStart), My.Timeline.ToRelative(RangeEnd));
}

}  // namespace korvane
