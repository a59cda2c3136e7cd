// CachingWindow: the procedures that cache the window around a requested position.
//
// A request caches every frame within kCachingWindow (0.1 s) before and after its position,
// and forwards at least the frame after the one at the position, however long that one lasts.
// After the request and after every sample delivered while caching, these procedures decide
// whether the reader reads on from where it stands or jumps (flush and seek), and when the
// window is complete they show the position and report the cached range. The reader reads on
// instead of jumping whenever the point it needs is near: within 0.1 s after it for a new
// request, within 1 s for the rest of a window, and only while no end of stream has been seen
// since the last sample.
//
// The unit keeps the request (RequestedPosition, PendingRequest) and the range being cached
// (ReadLimit, RangeStart, RangeEnd); it steers the reader through the decoder's ReaderDriver and
// moves the decoder's State between Ready, Caching and CachingJump.
//
// Threads and locks: a part of VideoDecoder. Every procedure runs with the decoder's Lock held
// (asserted in debug builds), on whichever thread holds it: the reader's work thread (callbacks,
// which jump by flushing) or a thread-pool thread (requests, which jump by seeking). Listener
// notifications are made with that Lock held. Failures of reader calls are raised as the
// platform exception for their HRESULT; the caller's catch rule handles them.
#pragma once

#include "decoder/DecoderState.h"
#include "decoder/DecoderTimeline.h"
#include "decoder/IVideoDecoderListener.h"
#include "decoder/ReaderDriver.h"
#include "platform/threading/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace korvane {

class VideoDecoderCacheManager;

class CachingWindow {
 public:
  // The decoder's parts the procedures work with; all outlive the window.
  struct Parts {
    const Concurrency::critical_section& Lock;
    ReaderDriver& Driver;
    const DecoderTimeline& Timeline;
    std::atomic<DecoderState>& State;
    const std::shared_ptr<VideoDecoderCacheManager>& CacheManager;
    const std::shared_ptr<IVideoDecoderListener>& Listener;
  };
  explicit CachingWindow(const Parts& parts);

  // Decides between serving `target` from the caches, reading on, and jumping.
  void UpdateReaderPosition(int64_t target, JumpBy how);
  // Reads on until ReadLimit, then completes the window.
  void ContinueCaching(JumpBy how);
  // Makes sure the window around RequestedPosition, cut to the video, is cached: extends it
  // forwards or backwards, or, when it is complete, goes Ready, shows the position and reports
  // the range.
  void CompleteCaching(JumpBy how);
  // A request parked while a read was outstanding is taken up; false when there was none.
  bool ServePendingRequest();
  // Moves the caches' current position to `position` and, when the shown frame changed, reports
  // its relative middle.
  void ShowPosition(int64_t position);
  // Reports the range reached (relative) as cached.
  void NotifyCachingCompleted();

  // -- guarded by the decoder's Lock --
  int64_t RequestedPosition = 0;  // absolute; the latest request
  bool PendingRequest = false;  // a request arrived while a read was outstanding
  int64_t ReadLimit = 0;        // how far the current step reads forward
  int64_t RangeStart = 0;       // the range reported as cached around RequestedPosition
  int64_t RangeEnd = 0;

 private:
  // Starts caching at a target the reader cannot reach by reading on.
  void CachePosition(int64_t target, JumpBy how);
  // The forward end of the window: RequestedPosition + kCachingWindow, or just past the end of
  // the cached frame at RequestedPosition when that lies further.
  int64_t ForwardEnd() const;
  // Caches the missing part after, or before, the requested position.
  void ExtendForward(int64_t limit, JumpBy how);
  void ExtendBackwards(int64_t start, JumpBy how);
  // The two ways on. ReadOn: Caching, and the next sample is read. A jump: BeginJump goes
  // CachingJump and remembers where the reader stood; Jump then flushes the reader (the flush
  // completion seeks to `target` and reads) or seeks to `target` and reads at once.
  void ReadOn();
  void BeginJump();
  void Jump(int64_t target, JumpBy how);

  Parts My;
};

}  // namespace korvane
