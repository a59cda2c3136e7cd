// VideoDecoder: the source reader's callbacks and the initial scan.
//
// The scan walks the whole video once, decoding short bursts of frames at evenly spread points,
// so that the caches hold frames from all over it; its progress is reported. Once it ends the
// decoder is Initialized and the same callbacks serve the reads of position requests
// (VideoDecoderPositioning.cpp).
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"

#include <algorithm>
#include <cmath>

namespace korvane {

namespace {
// The already-cached test counts at most this many frames, and the scan step is a 25th of the
// video.
constexpr int64_t kScanParts = 25;
constexpr int64_t kCachedMargin = 2;
constexpr double kBurstDivisor = 3.0;  // a burst is a third of a second of frames
constexpr double kMaxHalfFramesBetweenPoints = 30.0;
}  // namespace

HRESULT VideoDecoder::OnReadSample(HRESULT /*status*/, DWORD /*streamIndex*/, DWORD streamFlags, LONGLONG timestamp,
                                   IMFSample* sample) {
  Concurrency::critical_section::scoped_lock lock(Lock);
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
  Concurrency::critical_section::scoped_lock lock(Lock);
  try {
    FlushPending = false;
    if (State == DecoderState::Closed) {
      std::lock_guard<std::mutex> closeLock(CloseMutex);
      FlushSignalled = true;
      FlushDone.notify_all();
      return S_OK;
    }

    // Before the first sample FirstSampleTime is still its sentinel: clamping against it would
    // seek to the sentinel, fail, and flush again without end. Seek unclamped instead and give
    // up soundly when that fails too.
    const bool sampleSeen = FirstSampleTime != kNoSampleYet;
    if (SUCCEEDED(SeekAndRead(ReaderPosition, false, sampleSeen))) return S_OK;  // a sample or end of stream follows

    if (!sampleSeen) {
      EndScanWithoutSamples();
    } else if (State == DecoderState::ScanJump) {
      // The scan ends at the point the reader failed to reach.
      Initialized = true;
      State = DecoderState::Ready;  // ScanJump -> Ready: the final seek failed
      Duration = std::max(FirstSampleTime.load(), std::min(PreviousReaderPosition, Duration.load()));
      NotifyInitialized();
      UpdateReaderPosition(RequestedPosition, true);
      ShowPosition(RequestedPosition);
    } else {
      State = DecoderState::Ready;  // any -> Ready: the jump failed
      NotifyCachingCompleted();
      UpdateReaderPosition(RequestedPosition, true);
      ShowPosition(RequestedPosition);
      NotifyCachingCompleted();
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
  if (State == DecoderState::Closed) return E_FAIL;
  State = DecoderState::Ready;  // any but Closed -> Ready: a callback failed
  if (Listener) Listener->OnError(0);
  return E_FAIL;
}

void VideoDecoder::StartScan() {
  HRESULT hr = SeekTo(0, false);
  if (FAILED(hr)) {
    // The flush completion seeks once more (OnFlush).
    ReaderPosition = 0;
    hr = FlushIfIdle();
  } else {
    hr = ReadNext();
  }
  ThrowIfFailed(hr);
}

void VideoDecoder::OnSample(int64_t timestamp, ComPtr<IMFSample>& sample) {
  LONGLONG duration = 0;
  if (SUCCEEDED(sample->GetSampleDuration(&duration))) {
    FrameDuration = static_cast<int64_t>(0.8 * static_cast<double>(FrameDuration) + 0.2 * static_cast<double>(duration));
  } else {
    duration = FrameDuration;
  }
  EndOfStream = false;
  ReaderPosition = timestamp;

  switch (State.load()) {
    case DecoderState::Opening: {
      CacheManager->SetPosition(RequestedPosition);
      CacheManager->AddFrame(sample, timestamp, duration);
      PreviousReaderPosition = ReaderPosition;
      FirstSampleTime = std::min(FirstSampleTime.load(), timestamp);
      RequestedPosition = std::max(RequestedPosition, FirstSampleTime.load());
      FrameDuration = duration;
      State = DecoderState::Scanning;  // Opening -> Scanning (or ScanJump just below)

      // Without any frame duration the scan cannot be planned (every step divides by it):
      // treat the video as needing no scan and read it to its end from there.
      bool scanNeeded = FrameDuration > 0;
      if (scanNeeded) {
        const int64_t frames = (Duration - FirstSampleTime) / FrameDuration;
        const int64_t wanted = std::min(frames, kScanParts);
        size_t cached = 0;
        bool hasSpace = false;
        {
          // The record counts, not the caches' GetSize; read under the manager's lock.
          Concurrency::critical_section::scoped_lock cacheLock(CacheManager->Lock);
          cached = CacheManager->MemoryCache->Frames.size() + CacheManager->StorageCache->Frames.size();
          hasSpace = CacheManager->StorageCache->HasSpace;
        }
        scanNeeded = hasSpace && static_cast<int64_t>(cached) < wanted - kCachedMargin;
      }
      if (!scanNeeded) {
        // Opening -> ScanJump: flush; the flush completion seeks to the end and the scan ends
        // there. ScanBurst now holds a time, so later scan targets lie beyond the end and any
        // samples still delivered are read on without jumps.
        State = DecoderState::ScanJump;
        PreviousReaderPosition = ReaderPosition;
        ReaderPosition = Duration;
        ScanBurst = Duration;
        ThrowIfFailed(FlushIfIdle());
      } else {
        PlanScan(Duration - FirstSampleTime);
      }
      break;
    }
    case DecoderState::Scanning:
      CacheManager->SetPosition(RequestedPosition);
      CacheManager->AddFrame(sample, timestamp, duration);
      if (Listener) Listener->OnInitializationProgressChanged(static_cast<double>(ReaderPosition) / static_cast<double>(Duration));
      ScanNext();
      break;
    case DecoderState::ScanJump:
      // The first sample after a scan jump is not cached.
      if (ScanTarget < Duration) {
        if (timestamp <= PreviousReaderPosition) {
          // The seek landed at or before where the reader had been: the key frames are sparser
          // than the scan step.
          ScanStep *= 2;
          --ScanIndex;
        }
        ScanPoint = timestamp;
        ScanTarget = ScanBurst * FrameDuration + timestamp;
        if (ScanTarget >= Duration - kSecond) ScanTarget = Duration;
      }
      State = DecoderState::Scanning;  // ScanJump -> Scanning
      ScanNext();
      break;
    case DecoderState::CachingJump:
      RangeStart = std::min(RangeStart, timestamp);
      [[fallthrough]];
    case DecoderState::Caching: {
      const bool added = CacheManager->AddFrame(sample, timestamp, duration);
      if (added && Listener) Listener->OnFrameCached(timestamp - FirstSampleTime);
      if (!ServePendingRequest()) {
        ShowPosition(RequestedPosition);
        ContinueCaching(true);
      }
      break;
    }
    case DecoderState::Ready:
    case DecoderState::Closed:
    case DecoderState::Failed:
      break;  // dropped; no read is issued
  }
}

void VideoDecoder::PlanScan(int64_t span) {
  const double fps = static_cast<double>(10'000'000 / FrameDuration);
  const int64_t k = std::max<int64_t>(1, static_cast<int64_t>(std::log10(static_cast<double>(span) / static_cast<double>(FrameDuration))));
  ScanStep = (span / kScanParts) * k;
  ScanBurst = static_cast<int64_t>(fps / kBurstDivisor);
  // Long videos: halve the step (more points) while shrinking the bursts, as long as the points
  // stay far apart.
  double halfFrames = static_cast<double>(ScanStep / FrameDuration) * 0.5;
  while (halfFrames >= kMaxHalfFramesBetweenPoints) {
    const int64_t q = ScanBurst / k;
    if (q <= 0) break;
    ScanStep /= 2;
    ScanBurst = q;
    halfFrames *= 0.5;
  }
  ScanPoint = FirstSampleTime - ScanStep;
  ScanTarget = ReaderPosition;
  ScanIndex = -1;
  ScanNext();
}

void VideoDecoder::ScanNext() {
  // Still inside the current burst, or past the end: read on.
  if (ReaderPosition < ScanTarget || ReaderPosition >= Duration || FrameDuration <= 0 || ScanStep <= 0) {
    ThrowIfFailed(ReadNext());
    return;
  }
  int64_t p = ReaderPosition;
  do {
    ++ScanIndex;
    ScanPoint = std::min(FirstSampleTime + ScanStep * ScanIndex, Duration.load());
    ScanTarget = ScanPoint + FrameDuration * ScanBurst;
    p = std::max(ScanPoint, p);
    // Skip frames already cached from this point on.
    for (int64_t next = CacheManager->GetNextFrameTime(p); next >= 0; next = CacheManager->GetNextFrameTime(p)) p = next;
    // Once the points have reached the end there is nothing left to jump to (a burst of zero
    // frames, at fewer than three frames per second, never leaves a point uncached).
    if (!(p < ScanTarget) && ScanPoint >= Duration) {
      ThrowIfFailed(ReadNext());
      return;
    }
  } while (!(p < ScanTarget));

  if ((ScanPoint - ReaderPosition) / FrameDuration > ScanBurst / 2) {
    State = DecoderState::ScanJump;  // Scanning -> ScanJump
    PreviousReaderPosition = ReaderPosition;
    ReaderPosition = p;
    ThrowIfFailed(FlushIfIdle());
  } else {
    // The next point is close enough to read on to it.
    ThrowIfFailed(ReadNext());
  }
}

void VideoDecoder::OnEndOfStream() {
  switch (State.load()) {
    case DecoderState::Ready:
    case DecoderState::CachingJump:
    case DecoderState::Caching:
    case DecoderState::Failed:
      EndOfStream = true;
      State = DecoderState::Ready;  // -> Ready, then on
      if (!ServePendingRequest()) {
        ShowPosition(RequestedPosition);
        CompleteCaching(true);
      }
      break;
    case DecoderState::Opening:
    case DecoderState::Scanning:
    case DecoderState::ScanJump:
      if (FirstSampleTime == kNoSampleYet) {
        EndScanWithoutSamples();
        break;
      }
      // The scan ends at the end of the stream.
      Initialized = true;
      State = DecoderState::Ready;  // scanning -> Ready, Initialized
      Duration = std::min(ReaderPosition, Duration.load());
      CacheManager->SetPosition(FirstSampleTime);
      RangeStart = RangeEnd = ReadLimit = CacheManager->GetCurrentFrameTime();
      NotifyInitialized();
      break;
    case DecoderState::Closed:
      break;
  }
}

void VideoDecoder::OnOtherFlags(DWORD flags) {
  if ((flags & MF_SOURCE_READERF_STREAMTICK) != 0) {
    ThrowIfFailed(ReadNext());
  } else if ((flags & MF_SOURCE_READERF_ERROR) != 0) {
    const DecoderState state = State;
    if (state == DecoderState::Opening || state == DecoderState::Scanning || state == DecoderState::ScanJump) {
      Initialized = false;
    }
    State = DecoderState::Failed;  // any -> Failed: the reader reported an error
    if (Listener) Listener->OnError(1);
  } else {
    // A read that ended with neither sample, end of stream, tick nor error.
    if (Listener) Listener->OnError(0);
  }
}

// A request parked while the read was outstanding is taken up now; false when there was none.
bool VideoDecoder::ServePendingRequest() {
  if (!PendingRequest) return false;
  PendingRequest = false;
  UpdateReaderPosition(RequestedPosition, true);
  ShowPosition(RequestedPosition);
  return true;
}

void VideoDecoder::NotifyInitialized() {
  if (!Listener) return;
  Listener->OnInitializationProgressChanged(1.0);
  Listener->OnDecoderInitialized();
  Listener->OnPositionHasChanged(0);
  Listener->OnFrameCached(0);
}

// The scan could not reach a single sample (the seek to the start failed twice, or the stream
// ended at once). Every time would be computed from sentinels, so the decoder stays loaded but
// not initialized, and says so.
void VideoDecoder::EndScanWithoutSamples() {
  State = DecoderState::Ready;
  Initialized = false;
  if (Listener) Listener->OnError(0);
}

}  // namespace korvane
