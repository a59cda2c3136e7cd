// VideoDecoderInterop::VideoDecoderListener: turns the decoder's reports into the interop's
// events.
//
// - Progress is rounded to steps of 1/40 and raised only when it grows, synchronously on the
//   decoder's thread (the decoder's lock is held: the event's handlers must not call back into
//   the decoder).
// - DecoderInitialized and ErrorOccured are raised by one-shot actions on the thread pool; the
//   first also tells the interop's iterators, just before it raises.
// - Position, frame-cached and caching-completed reports are only stored (a lock, a store and a
//   notify) and raised by three coalescing workers, newest value first, older ones dropped;
//   negative positions and ranges with a negative end are dropped. The workers are started when
//   the decoder reports its initialization and take nothing until DecoderInitialized has been
//   raised, so no such event precedes it; a report queued before then is raised after it.
//
// Ownership. Made with std::make_shared by the interop's first Open; shared by the interop and
// the decoder. It holds the interop weakly and resolves it at each report (a report for an
// interop that is gone does nothing). The workers and one-shot actions hold the interop
// strongly while they run.
//
// Threads. Reports come from any thread, concurrently, always with the decoder's lock held;
// none throws (a failure here must not unwind through the decoder's state changes).
// Destruction stops the three workers in the order position, frame, caching and returns once
// each has recorded its end; destruction on a worker's own thread (a handler that closed the
// interop) does not wait for that worker.
#pragma once

#include "decoder/IVideoDecoderListener.h"
#include "interop/CoalescingWorker.h"
#include "interop/VideoDecoderInterop.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace korvane {

class VideoDecoderInterop::VideoDecoderListener final : public IVideoDecoderListener {
 public:
  // Progress is reported in steps of 1/kProgressSteps.
  static constexpr double kProgressSteps = 40.0;

  explicit VideoDecoderListener(ComPtr<IWeakReference> owner);
  ~VideoDecoderListener();
  VideoDecoderListener(const VideoDecoderListener&) = delete;
  VideoDecoderListener& operator=(const VideoDecoderListener&) = delete;

  // A new initialization reports its progress from 0 again.
  void ResetProgress() { lastProgress_.store(0.0); }

  void OnInitializationProgressChanged(double progress) override;
  void OnDecoderInitialized() override;
  void OnPositionHasChanged(int64_t position) override;
  void OnFrameCached(int64_t position) override;
  void OnCachingCompleted(int64_t start, int64_t end) override;
  void OnError(int32_t code) override;

 private:
  ComPtr<VideoDecoderInterop> ResolveOwner() const;

  // True until DecoderInitialized has been raised (or its raise has failed); shared with the
  // one-shot action that clears it, which may outlive this object.
  const std::shared_ptr<std::atomic<bool>> initializing_ = std::make_shared<std::atomic<bool>>(true);
  std::atomic<double> lastProgress_{0.0};
  CoalescingWorker<int64_t> positionQueue_;
  CoalescingWorker<int64_t> frameQueue_;
  CoalescingWorker<std::pair<int64_t, int64_t>> cachingQueue_;
  const ComPtr<IWeakReference> owner_;
};

}  // namespace korvane
