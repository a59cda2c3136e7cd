// How VideoDecoder reports to its owner.
//
// Every notification is made on the thread that runs decoder code at that moment (the source
// reader's work thread, a thread-pool thread or the caller's thread) WHILE THE DECODER'S LOCK IS
// HELD. An implementation must not call back into the decoder (the lock is not recursive): it
// records or queues the value and returns.
//
// Times are relative: absolute sample time minus the time of the video's first sample.
//
// At the end of the initial scan the order is fixed: OnInitializationProgressChanged(1.0),
// OnDecoderInitialized(), OnPositionHasChanged(0), OnFrameCached(0).
//
// There is deliberately no virtual destructor: owners hold the implementation in a
// std::shared_ptr made for the concrete class, which destroys it through its own type.
#pragma once

#include <cstdint>

namespace korvane {

class IVideoDecoderListener {
 public:
  // Progress of the initial scan: reader position over duration, both absolute. Not monotonic;
  // exactly 1.0 once, at the end.
  virtual void OnInitializationProgressChanged(double progress) = 0;
  // The initial scan has ended: the decoder is initialized and ready for requests.
  virtual void OnDecoderInitialized() = 0;
  // The shown frame changed; `position` is the middle of that frame.
  virtual void OnPositionHasChanged(int64_t position) = 0;
  // A frame became available while caching for a request.
  virtual void OnFrameCached(int64_t position) = 0;
  // The window around the requested position is cached (as far as it could be reached).
  virtual void OnCachingCompleted(int64_t start, int64_t end) = 0;
  // 1: the source reader reported an error; 0: any other failure.
  virtual void OnError(int32_t code) = 0;

 protected:
  ~IVideoDecoderListener() = default;
};

}  // namespace korvane
