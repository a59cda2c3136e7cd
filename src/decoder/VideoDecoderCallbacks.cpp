// VideoDecoder: the source reader's callbacks. Each delivered sample is handed to the caches;
// the initial scan (VideoDecoderScan.cpp) or the caching window (CachingWindow) decides where
// the reader goes next.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"

#include <algorithm>
#include <cassert>

namespace korvane {

using Lockout = Concurrency::critical_section::scoped_lock;

HRESULT VideoDecoder::OnReadSample(HRESULT /*status*/, DWORD /*streamIndex*/, DWORD streamFlags, LONGLONG timestamp,
                                   IMFSample* sample) {
  Lockout lock(Lock);
  // Looked at under Lock: a Close that begins while this callback waits for Lock must find it
  // doing nothing, or its flush completion would never be signalled.
  if (State == DecoderState::Closed) return S_OK;
  try {
    if (sample != nullptr) {
      ComPtr<IMFSample> held(sample);
      OnSample(timestamp, held);
    } else if ((streamFlags & MF_SOURCE_READERF_ENDOFSTREAM) != 0) {
      OnEndOfStream();
    } else {
      OnOtherFlags(streamFlags);
    }
    return S_OK;
  } catch (...) {
    return OnCallbackFailed();
  }
}

HRESULT VideoDecoder::OnFlush(DWORD /*streamIndex*/) {
  Lockout lock(Lock);
  try {
    Driver.FlushPending = false;
    if (State == DecoderState::Closed) {
      std::lock_guard<std::mutex> closeLock(CloseMutex);
      FlushSignalled = true;
      FlushDone.notify_all();
      return S_OK;
    }
    // Before the first sample FirstSampleTime is still its sentinel: clamping against it would
    // seek to the sentinel, fail, and flush again without end. Seek unclamped instead and give
    // up soundly when that fails too.
    const Clamping clamping = Timeline.HasSample() ? Clamping::ToVideo : Clamping::None;
    if (SUCCEEDED(Driver.SeekAndRead(Driver.ReaderPosition, OnSeekFailure::RetryEarlier, clamping))) {
      return S_OK;  // a sample or the end of the stream follows
    }
    if (!Timeline.HasSample()) {
      EndScanWithoutSamples();
    } else if (State == DecoderState::ScanJump) {
      // The scan ends at the point the reader failed to reach.
      EndScan(std::max(Timeline.FirstSampleTime.load(),
                       std::min(Driver.PreviousReaderPosition, Timeline.Duration.load())));
      NotifyInitialized();
      Window.UpdateReaderPosition(Window.RequestedPosition, JumpBy::Flush);
      Window.ShowPosition(Window.RequestedPosition);
    } else {
      OnFailedJump();
    }
    return S_OK;
  } catch (...) {
    return OnCallbackFailed();
  }
}

HRESULT VideoDecoder::OnEvent(DWORD /*streamIndex*/, IMFMediaEvent* /*event*/) { return S_OK; }

// An exception inside a callback stopped the engine: no read is outstanding now and the decoder
// waits for the next request. The listener must hear of it, or a scan would never end for it.
HRESULT VideoDecoder::OnCallbackFailed() {
  assert(Lock.is_held_by_current_thread());
  if (State == DecoderState::Closed) return E_FAIL;
  State = DecoderState::Ready;  // any but Closed -> Ready: a callback failed
  if (Listener) Listener->OnError(0);
  return E_FAIL;
}

// The seek of a caching jump failed even after its retries: report what is cached, then try the
// request again from where the reader is.
void VideoDecoder::OnFailedJump() {
  assert(Lock.is_held_by_current_thread());
  State = DecoderState::Ready;  // any -> Ready: the jump failed
  Window.NotifyCachingCompleted();
  Window.UpdateReaderPosition(Window.RequestedPosition, JumpBy::Flush);
  Window.ShowPosition(Window.RequestedPosition);
  Window.NotifyCachingCompleted();
}

void VideoDecoder::OnSample(int64_t timestamp, ComPtr<IMFSample>& sample) {
  assert(Lock.is_held_by_current_thread());
  LONGLONG duration = 0;
  if (SUCCEEDED(sample->GetSampleDuration(&duration))) {
    FrameDuration = ScanPlan::SmoothFrameDuration(FrameDuration, duration);
  } else {
    duration = FrameDuration;  // handed on with the estimate
  }
  Driver.EndOfStream = false;
  Driver.ReaderPosition = timestamp;

  switch (State.load()) {
    case DecoderState::Opening:
      OnFirstSample(timestamp, sample, duration);
      break;
    case DecoderState::Scanning:
      OnScanningSample(timestamp, sample, duration);
      break;
    case DecoderState::ScanJump:
      OnScanJumpSample(timestamp);
      break;
    case DecoderState::CachingJump:
      Window.RangeStart = std::min(Window.RangeStart, timestamp);
      [[fallthrough]];
    case DecoderState::Caching:
      OnCachingSample(timestamp, sample, duration);
      break;
    case DecoderState::Ready:
    case DecoderState::Closed:
    case DecoderState::Failed:
      break;  // dropped; no read is issued
  }
}

void VideoDecoder::OnCachingSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration) {
  const bool added = CacheManager->AddFrame(sample, timestamp, duration);
  if (added && Listener) Listener->OnFrameCached(Timeline.ToRelative(timestamp));
  if (!Window.ServePendingRequest()) {
    Window.ShowPosition(Window.RequestedPosition);
    Window.ContinueCaching(JumpBy::Flush);
  }
}

void VideoDecoder::OnEndOfStream() {
  assert(Lock.is_held_by_current_thread());
  switch (State.load()) {
    case DecoderState::Ready:
    case DecoderState::CachingJump:
    case DecoderState::Caching:
    case DecoderState::Failed:
      Driver.EndOfStream = true;
      State = DecoderState::Ready;  // -> Ready, then on
      if (!Window.ServePendingRequest()) {
        Window.ShowPosition(Window.RequestedPosition);
        Window.CompleteCaching(JumpBy::Flush);
      }
      break;
    case DecoderState::Opening:
    case DecoderState::Scanning:
    case DecoderState::ScanJump:
      // The reader stays at the end: a first request near the end must seek back, since reading
      // on would only meet the end again and leave the frames there undecoded.
      Driver.EndOfStream = true;
      if (!Timeline.HasSample()) {
        EndScanWithoutSamples();
        break;
      }
      // The scan ends at the end of the stream, showing the first frame.
      EndScan(std::min(Driver.ReaderPosition, Timeline.Duration.load()));
      CacheManager->SetPosition(Timeline.FirstSampleTime);
      Window.RangeStart = Window.RangeEnd = Window.ReadLimit = CacheManager->GetCurrentFrameTime();
      NotifyInitialized();
      break;
    case DecoderState::Closed:
      break;
  }
}

void VideoDecoder::OnOtherFlags(DWORD flags) {
  assert(Lock.is_held_by_current_thread());
  if ((flags & MF_SOURCE_READERF_STREAMTICK) != 0) {
    ThrowIfFailed(Driver.ReadNext());
  } else if ((flags & MF_SOURCE_READERF_ERROR) != 0) {
    const DecoderState state = State;
    if (state == DecoderState::Opening || state == DecoderState::Scanning || state == DecoderState::ScanJump) {
      Initialized = false;
    }
    State = DecoderState::Failed;  // any but Closed -> Failed: the reader reported an error
    if (Listener) Listener->OnError(1);
  } else {
    // A read that ended with neither sample, end of stream, tick nor error.
    if (Listener) Listener->OnError(0);
  }
}

}  // namespace korvane
