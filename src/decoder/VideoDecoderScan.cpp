// VideoDecoder: the initial scan. The reader walks the whole video once, decoding short bursts
// of frames at evenly spread points (ScanPlan says where), so that the caches hold frames from
// all over it; its progress is reported. Once it ends the decoder is Initialized and the same
// callbacks serve the reads of position requests.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"

#include <algorithm>
#include <cassert>

namespace korvane {

void VideoDecoder::StartScan() {
  assert(Lock.is_held_by_current_thread());
  HRESULT hr = Driver.SeekTo(0, Clamping::None);
  if (FAILED(hr)) {
    // The flush completion seeks once more (OnFlush).
    Driver.ReaderPosition = 0;
    hr = Driver.FlushIfIdle();
  } else {
    hr = Driver.ReadNext();
  }
  ThrowIfFailed(hr);
}

// The first sample after Initialize: it fixes the start of the video, and the scan is planned,
// or skipped when the caches already hold enough or the disk takes no frames.
void VideoDecoder::OnFirstSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration) {
  CacheManager->SetPosition(Window.RequestedPosition);
  CacheManager->AddFrame(sample, timestamp, duration);
  Driver.PreviousReaderPosition = Driver.ReaderPosition;
  Timeline.SeeSample(timestamp);
  Window.RequestedPosition = std::max(Window.RequestedPosition, Timeline.FirstSampleTime.load());
  FrameDuration = duration;
  State = DecoderState::Scanning;  // Opening -> Scanning (or ScanJump just below)

  const int64_t span = Timeline.Duration - Timeline.FirstSampleTime;
  if (ScanPlan::IsNeeded(span, FrameDuration, CacheManager->GetCachedFrameCount(), CacheManager->StorageHasSpace())) {
    Scan.Plan(Timeline.FirstSampleTime, span, FrameDuration, Driver.ReaderPosition);
    ScanNext();
    return;
  }
  // Opening -> ScanJump: flush; the flush completion seeks to the end and the scan ends there.
  State = DecoderState::ScanJump;
  Driver.PreviousReaderPosition = Driver.ReaderPosition;
  Driver.ReaderPosition = Timeline.Duration;
  Scan.SkipToEnd(Timeline.Duration);
  ThrowIfFailed(Driver.FlushIfIdle());
}

void VideoDecoder::OnScanningSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration) {
  CacheManager->SetPosition(Window.RequestedPosition);
  CacheManager->AddFrame(sample, timestamp, duration);
  if (Listener) {
    Listener->OnInitializationProgressChanged(static_cast<double>(Driver.ReaderPosition) /
                                              static_cast<double>(Timeline.Duration));
  }
  ScanNext();
}

// The first sample after a scan jump; it is not cached.
void VideoDecoder::OnScanJumpSample(int64_t timestamp) {
  Scan.Landed(timestamp, Driver.PreviousReaderPosition, FrameDuration, Timeline.Duration);
  State = DecoderState::Scanning;  // ScanJump -> Scanning
  ScanNext();
}

void VideoDecoder::ScanNext() {
  assert(Lock.is_held_by_current_thread());
  VideoDecoderCacheManager& caches = *CacheManager;
  const ScanPlan::Move move =
      Scan.Next(Driver.ReaderPosition, Timeline.FirstSampleTime, Timeline.Duration, FrameDuration, [&caches](int64_t p) {
        // Over the frames already cached from p on.
        for (int64_t next = caches.GetNextFrameTime(p); next >= 0; next = caches.GetNextFrameTime(p)) p = next;
        return p;
      });
  if (!move.jump) {
    ThrowIfFailed(Driver.ReadNext());
    return;
  }
  State = DecoderState::ScanJump;  // Scanning -> ScanJump
  Driver.PreviousReaderPosition = Driver.ReaderPosition;
  Driver.ReaderPosition = move.target;
  ThrowIfFailed(Driver.FlushIfIdle());
}

// The scan is over: the decoder is Initialized and Ready, and `duration` is from now on the last
// time a position can take.
void VideoDecoder::EndScan(int64_t duration) {
  assert(Lock.is_held_by_current_thread());
  Initialized = true;
  State = DecoderState::Ready;  // scanning -> Ready, Initialized
  Timeline.Duration = duration;
}

// The scan could not reach a single sample (the seek to the start failed twice, or the stream
// ended at once). Every time would be computed from sentinels, so the decoder stays loaded but
// not initialized, and says so.
void VideoDecoder::EndScanWithoutSamples() {
  assert(Lock.is_held_by_current_thread());
  State = DecoderState::Ready;
  Initialized = false;
  if (Listener) Listener->OnError(0);
}

void VideoDecoder::NotifyInitialized() {
  assert(Lock.is_held_by_current_thread());
  if (!Listener) return;
  Listener->OnInitializationProgressChanged(1.0);
  Listener->OnDecoderInitialized();
  Listener->OnPositionHasChanged(0);
  Listener->OnFrameCached(0);
}

}  // namespace korvane
