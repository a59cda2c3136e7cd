// VideoDecoderIterator: the runtime class "Korvane.Native.VideoDecoderIterator"
// (include/korvane/VideoDecoderIterator.h states what clients may rely on): a cursor kept a
// fixed number of frames from its interop's current frame, and the scene-graph toolkit's video
// source over that frame.
//
// Its frame. Resolve looks the frame up (only while it is not known to be valid, and only once
// the decoder is initialized): from the interop's current frame it steps `offset` times to the
// next or previous decoded, adjacent frame; the frame time is then the middle of the frame found,
// or -1 when a step found none. The interop's PositionHasChanged invalidates and resolves again;
// its FrameCached and CachingCompleted resolve again (which matters only while the frame is not
// found). A resolve that changes the frame time signals the notification worker, which raises
// FrameUpdated. GetTexture hands out the frame's texture, or the placeholder while there is none
// (a frame found missing from the caches invalidates the look-up).
//
// Identity: an unsealed component runtime class. Made only by VideoDecoderInterop::
// CreateIterator (with Subscribe); the activation factory refuses to make one.
//
// Threads and locks. Public calls come from any thread; the owner's event handlers run on the
// listener's worker threads. lock_ (non-recursive) guards every field below it; it is taken
// before the decoder's lock (a resolve calls the decoder through the owner) and before the
// worker's mutex (signalling); nothing takes it while holding the decoder's lock (the end of the
// decoder's first pass reaches OnOwnerInitialized from a pool thread). FrameUpdated is raised
// with neither lock held, so a handler may call GetTexture. The worker is stopped without
// holding lock_ (a handler may be waiting for it).
//
// Ownership. The iterator holds its owner strongly until Close; the owner holds it in its list
// until the owner is disposed; the notification worker holds the iterator strongly while it
// runs. The owner's events hold it only weakly (a handler whose iterator is gone fails with
// RPC_E_DISCONNECTED and is dropped).
//
// Close (or the final release without Close), once: remove the three subscriptions from the
// owner, stop the worker (waiting for a raise in progress, unless called from it), release the
// owner, empty the FrameUpdated event. A closed iterator ignores the owner's notifications.
#pragma once

#include "interop/CoalescingWorker.h"
#include "korvane/VideoDecoderIterator.h"
#include "platform/com/RuntimeClass.h"
#include "platform/d3d11/D3D11.h"
#include "platform/threading/CriticalSection.h"
#include "platform/winrt/EventSource.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace korvane {

class VideoDecoderInterop;

class VideoDecoderIterator
    : public RuntimeClass<com::kComponentClass, ABI::Korvane::Native::IVideoDecoderIterator,
                          Brindle::Tamsel::SceneGraph::IVideoDecoder,
                          ABI::Korvane::Native::__IVideoDecoderIteratorProtectedVirtuals,
                          ABI::Windows::Foundation::IClosable> {
 public:
  // Offset 0, no frame, not initialized. Throws for a null owner.
  explicit VideoDecoderIterator(VideoDecoderInterop* owner);

  // ---- For the owning interop only (not part of any interface) ----

  // Registers on the owner's PositionHasChanged, FrameCached and CachingCompleted. Called once,
  // right after construction (a handler may fire as soon as it is registered, so the object
  // must be complete).
  void Subscribe();
  // The owner's decoder has finished its first pass: start the worker (once), mark initialized,
  // signal. Ignored once closed or stopped by the owner. Never called with the decoder's lock
  // held.
  void OnOwnerInitialized();
  // The owner steps by one frame: the offset moves by `delta` (saturating) so that the iterator
  // keeps its frame. Nothing is resolved or signalled here; the owner's PositionHasChanged does.
  void ShiftOffset(int32_t delta);
  // The owner is being disposed: stop the worker for good.
  void StopForOwner();

  // IVideoDecoderIterator
  HRESULT get_Offset(int32_t* value) override;
  HRESULT get_HasFrame(boolean* value) override;
  HRESULT get_HasPreviousFrame(boolean* value) override;
  HRESULT get_HasNextFrame(boolean* value) override;
  HRESULT MovePrevious() override;
  HRESULT MoveNext() override;
  HRESULT SetOffset(int32_t offset) override;
  HRESULT Reset() override;

  // Brindle::Tamsel::SceneGraph::IVideoDecoder
  HRESULT get_PixelFormat(UINT32* value) override;
  HRESULT GetTexture(UINT64* texture) override;
  HRESULT add_FrameUpdated(Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated* handler,
                           EventRegistrationToken* token) override;
  HRESULT remove_FrameUpdated(EventRegistrationToken token) override;

  // IClosable
  HRESULT Close() override;

 protected:
  ~VideoDecoderIterator() override;

  // Raises FrameUpdated on the calling thread; a handler's failure other than a disconnection
  // is thrown.
  virtual void RaiseFrameUpdated();

  const char* RuntimeClassNameText() const override { return ABI::Korvane::Native::kVideoDecoderIteratorClassName; }

 private:
  // All of these run with lock_ held.
  ComPtr<VideoDecoderInterop> OwnerLocked() const;
  bool ResolveLocked();
  void SignalLocked();
  void MoveToLocked(int64_t offset);  // offset beyond 32 bits: E_BOUNDS, nothing changed
  bool HasNeighbourLocked(bool next);

  // Owner event handlers (weak delegates).
  void OnPositionHasChanged(int64_t position);
  void OnFrameCached(int64_t time);
  void OnCachingCompleted(int64_t start, int64_t end);

  void Dispose();

  EventSource<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated> frameUpdated_;
  mutable Concurrency::critical_section lock_;
  // -- guarded by lock_
  ComPtr<VideoDecoderInterop> owner_;  // null once closed
  int64_t frameTime_ = 0;              // middle of the resolved frame; -1 when none was found
  int32_t offset_ = 0;
  bool valid_ = false;
  bool initialized_ = false;
  bool stoppedByOwner_ = false;
  std::array<EventRegistrationToken, 3> subscriptions_{};  // PositionHasChanged, FrameCached, CachingCompleted
  bool subscribed_ = false;
  // --
  CoalescingWorker<bool> notifications_;  // only the presence of a signal matters
  std::atomic<bool> disposed_{false};
};

}  // namespace korvane
