// VideoDecoder: caching around a requested position.
//
// A request caches 0.1 s on each side of its position. The reader reads on instead of seeking
// whenever the point it needs is near: within 0.1 s after it for a new request, within 1 s for
// the rest of a window, and only while no end of stream has been seen since the last sample.
// flushFirst says how a jump is made: from the reader callbacks (true) the decoder only flushes
// and lets OnFlush seek and read; from a request (false) it seeks and reads at once.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "decoder/DecoderTrace.h"
#include "platform/com/Exceptions.h"

#include <algorithm>
#include <string>

namespace korvane {

void VideoDecoder::RequestPosition(int64_t relative) {
  Concurrency::critical_section::scoped_lock lock(Lock);
  if (State == DecoderState::Closed || State == DecoderState::Failed) return;
  if (!Initialized) ThrowNotReady("RequestPosition: the initial scan has not ended");
  try {
    int64_t t = 0;
    if (__builtin_add_overflow(FirstSampleTime.load(), relative, &t)) t = relative < 0 ? INT64_MIN : INT64_MAX;
    if (t < FirstSampleTime) {
      t = FirstSampleTime;
    } else if (t > Duration) {
      t = Duration;
    }

    const int64_t cursorTime = CacheManager->GetCurrentFrameTime();
    const int64_t cursorDuration = CacheManager->GetCurrentFrameDuration();
    if (RequestedPosition == t && cursorTime <= t && t < cursorTime + cursorDuration) {
      // The same request, and its frame is shown: nothing to read.
      if (State == DecoderState::Ready) NotifyCachingCompleted();
      return;
    }

    switch (State.load()) {
      case DecoderState::Ready:
        RequestedPosition = t;
        UpdateReaderPosition(t, false);
        break;
      case DecoderState::CachingJump:
      case DecoderState::Caching:
        // Parked: taken up when the outstanding read completes; only the latest survives.
        PendingRequest = true;
        RequestedPosition = t;
        break;
      default:
        break;
    }
    ShowPosition(t);
  } catch (...) {
    State = DecoderState::Ready;  // any -> Ready: the request failed; wait for the next one
    if (Listener) Listener->OnError(0);
  }
}

void VideoDecoder::UpdateReaderPosition(int64_t target, bool flushFirst) {
  if (CacheManager->IsFrameCached(target)) {
    RangeEnd = RangeStart = target;
    CompleteCaching(flushFirst);
  } else if (ReaderPosition < target && target <= ReaderPosition + kWindow) {
    Trace("UpdateReaderPosition[Continuation to cache...]");
    ReadLimit = std::max(ReadLimit, target);
    RangeStart = std::max(RangeStart, target - kWindow);
    RangeEnd = std::max(std::min(RangeEnd, target + kWindow), ReadLimit);
    ContinueCaching(flushFirst);
  } else {
    Trace("UpdateReaderPosition[Need to jump]");
    CachePosition(target, flushFirst);
  }
}

void VideoDecoder::CachePosition(int64_t target, bool flushFirst) {
  ReadLimit = RangeEnd = std::min(target, Duration.load());
  if (!EndOfStream && ReaderPosition <= target && target <= ReaderPosition + kWindow) {
    State = DecoderState::Caching;  // -> Caching: read on
    ThrowIfFailed(ReadNext());
    Trace("CachePosition[Continuation...][" + std::to_string(target) + "]");
    return;
  }
  State = DecoderState::CachingJump;  // -> CachingJump
  PreviousReaderPosition = ReaderPosition;
  RangeStart = ReadLimit;
  if (flushFirst) {
    ReaderPosition = target;
    ThrowIfFailed(FlushIfIdle());
  } else {
    ThrowIfFailed(SeekAndRead(target, true, true));
  }
  Trace("CachePosition[Jump requested][" + std::to_string(target) + "]");
}

void VideoDecoder::ContinueCaching(bool flushFirst) {
  if (ReaderPosition < ReadLimit) {
    Trace("ContinueCaching[Continuation...]");
    State = DecoderState::Caching;  // -> Caching
    ThrowIfFailed(ReadNext());
    return;
  }
  ReadLimit = std::min(ReaderPosition, Duration.load());
  RangeEnd = std::max(RangeEnd, ReadLimit);
  Trace("ContinueCaching[Reached the limit]");
  CompleteCaching(flushFirst);
}

void VideoDecoder::CompleteCaching(bool flushFirst) {
  // The window [RequestedPosition − 0.1 s, RequestedPosition + 0.1 s], cut to the video.
  const int64_t end = std::min(RequestedPosition + kWindow, Duration.load());
  if (RequestedPosition <= end && RangeEnd < end) {
    RangeEnd = CacheManager->GetCachedRangeEnd(RequestedPosition, end);
    if (RangeEnd < end) {
      ExtendForward(end, flushFirst);
      return;
    }
  }
  const int64_t start = std::max(RequestedPosition - kWindow, FirstSampleTime.load());
  if (start <= RequestedPosition && start < RangeStart) {
    const int64_t reached = CacheManager->GetCachedRangeEnd(start, RequestedPosition);
    if (reached < RequestedPosition) {
      RangeStart = RequestedPosition;
      ExtendBackwards(start, flushFirst);
      return;
    }
    RangeStart = start;
  }
  State = DecoderState::Ready;  // CachingJump/Caching -> Ready: the window is cached
  ShowPosition(RequestedPosition);
  NotifyCachingCompleted();
}

void VideoDecoder::ExtendForward(int64_t limit, bool flushFirst) {
  ReadLimit = limit;
  if (!EndOfStream && ReaderPosition <= RangeEnd && RangeEnd <= ReaderPosition + kSecond) {
    State = DecoderState::Caching;  // -> Caching
    RangeEnd = std::max(RangeEnd, ReadLimit);
    ThrowIfFailed(ReadNext());
    Trace("ExtendForward[Continuation...]");
    return;
  }
  State = DecoderState::CachingJump;  // -> CachingJump
  PreviousReaderPosition = ReaderPosition;
  ReaderPosition = RangeEnd;
  RangeEnd = std::max(RangeEnd, ReadLimit);
  ThrowIfFailed(flushFirst ? FlushIfIdle() : SeekAndRead(ReaderPosition, true, true));
  Trace("ExtendForward[Jump requested]");
}

void VideoDecoder::ExtendBackwards(int64_t start, bool flushFirst) {
  ReadLimit = RangeStart;
  RangeStart = start;
  RangeEnd = std::max(RangeEnd, ReadLimit);
  if (!EndOfStream && ReaderPosition <= start && start <= ReaderPosition + kSecond) {
    State = DecoderState::Caching;  // -> Caching
    ThrowIfFailed(ReadNext());
    Trace("ExtendBackwards[Continuation...]");
    return;
  }
  State = DecoderState::CachingJump;  // -> CachingJump
  PreviousReaderPosition = ReaderPosition;
  ReaderPosition = start;
  ThrowIfFailed(flushFirst ? FlushIfIdle() : SeekAndRead(start, true, true));
  Trace("ExtendBackwards[Jump requested]");
}

void VideoDecoder::ShowPosition(int64_t position) {
  if (CacheManager->SetPosition(position) && Listener) {
    // The relative middle of the frame now shown.
    Listener->OnPositionHasChanged(CacheManager->GetCurrentFrameTime() + CacheManager->GetCurrentFrameDuration() / 2 -
                                   FirstSampleTime);
  }
}

void VideoDecoder::NotifyCachingCompleted() {
  if (Listener) Listener->OnCachingCompleted(RangeStart - FirstSampleTime, RangeEnd - FirstSampleTime);
}

}  // namespace korvane
