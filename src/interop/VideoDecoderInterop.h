// VideoDecoderInterop: the runtime class "Korvane.Native.VideoDecoderInterop"
// (include/korvane/VideoDecoderInterop.h states what clients may rely on). A thin front end over
// one VideoDecoder: each public method refuses a closed object, then reads a decoder flag or
// forwards to one decoder operation. It owns the listener that turns decoder reports into its
// seven events, and the iterators made by CreateIterator, whose offsets it keeps in step when it
// moves itself.
//
// Identity: an unsealed component runtime class (module-counted, weak-referenceable, agile).
// IVideoDecoderCachingPolicy is answered but cloaked (not in GetIids), so that what the class
// says it implements stays as it was.
// The ABI methods are the implementations, each behind the call boundary; MoveNext/MovePrevious
// reach get_HasNextFrame/get_HasPreviousFrame, put_Position and GetOutputFormat through the
// virtual table, so a derived class sees (and may change) the steps' targets and the format.
//
// Ownership. decoder_ is made by the constructor and released by disposal; the listener is
// made by the first Open that loads and is shared with the decoder; the listener holds this
// object weakly, but its workers and one-shot actions hold it strongly while they run, and each
// iterator holds it strongly: a started interop lives until it is closed.
//
// Threads and locks. Public calls come from any thread. fieldsMutex_ guards the owned
// references and is held only to copy or swap them, never while calling out; streamMutex_
// serialises the replacement of the held stream (it is held while the old stream is closed,
// which calls nothing of the component). Decoder operations take the decoder's lock; moves take
// each iterator's lock in turn, holding nothing else. Events are raised with no lock of the
// component held, except InitializationProgressChanged, which the decoder's thread raises
// inside its sample processing with the decoder's lock held (its handlers must not call the
// decoder operations). eventGate_ makes Close wait for raises in progress on other threads and
// refuse later ones, so no handler runs once Close has returned.
//
// Disposal (Close, or the final release without Close), once: refuse new raises and wait for
// those in progress; stop every iterator's notification worker; release the iterators, retire
// the decoder (its caches go now, under its Lock, so no frame reaches the cache folder after
// Close, whoever lets the decoder go last) and release it, the stream (without closing it) and
// the listener, in that order; empty the event sources, last-declared first. Close must not be called from an InitializationProgressChanged
// handler (the decoder's thread is inside the decoder then).
#pragma once

#include "korvane/VideoDecoderInterop.h"
#include "interop/EventGate.h"
#include "platform/com/RuntimeClass.h"
#include "platform/winrt/EventSource.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace korvane {

class VideoDecoder;
class VideoDecoderIterator;

class VideoDecoderInterop
    : public RuntimeClass<com::kComponentClass, ABI::Korvane::Native::IVideoDecoderInterop,
                          ABI::Korvane::Native::__IVideoDecoderInteropPublicNonVirtuals,
                          ABI::Korvane::Native::__IVideoDecoderInteropProtectedVirtuals,
                          ABI::Windows::Foundation::IClosable,
                          com::Cloaked<ABI::Korvane::Native::IVideoDecoderCachingPolicy>> {
 public:
  class VideoDecoderListener;

  VideoDecoderInterop();

  // IVideoDecoderInterop
  HRESULT get_IsInitialized(boolean* value) override;
  HRESULT get_Duration(int64_t* value) override;
  HRESULT get_Position(int64_t* value) override;
  HRESULT put_Position(int64_t value) override;
  HRESULT get_HasPreviousFrame(boolean* value) override;
  HRESULT get_HasNextFrame(boolean* value) override;
  HRESULT get_FrameWidth(UINT32* value) override;
  HRESULT get_FrameHeight(UINT32* value) override;
  HRESULT get_Rotation(UINT32* value) override;
  HRESULT get_ResolutionDivisor(UINT32* value) override;
  HRESULT put_ResolutionDivisor(UINT32 value) override;
  HRESULT add_DecoderLoaded(ABI::Korvane::Native::DecoderLoaded* handler, EventRegistrationToken* token) override;
  HRESULT remove_DecoderLoaded(EventRegistrationToken token) override;
  HRESULT add_InitializationProgressChanged(ABI::Korvane::Native::InitializationProgressChanged* handler,
                                            EventRegistrationToken* token) override;
  HRESULT remove_InitializationProgressChanged(EventRegistrationToken token) override;
  HRESULT add_DecoderInitialized(ABI::Korvane::Native::DecoderInitialized* handler,
                                 EventRegistrationToken* token) override;
  HRESULT remove_DecoderInitialized(EventRegistrationToken token) override;
  HRESULT add_PositionHasChanged(ABI::Korvane::Native::PositionHasChanged* handler,
                                 EventRegistrationToken* token) override;
  HRESULT remove_PositionHasChanged(EventRegistrationToken token) override;
  HRESULT add_FrameCached(ABI::Korvane::Native::FrameCached* handler, EventRegistrationToken* token) override;
  HRESULT remove_FrameCached(EventRegistrationToken token) override;
  HRESULT add_CachingCompleted(ABI::Korvane::Native::CachingCompleted* handler, EventRegistrationToken* token) override;
  HRESULT remove_CachingCompleted(EventRegistrationToken token) override;
  HRESULT add_ErrorOccured(ABI::Korvane::Native::ErrorOccured* handler, EventRegistrationToken* token) override;
  HRESULT remove_ErrorOccured(EventRegistrationToken token) override;
  HRESULT Open(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, HSTRING cacheFolderPath,
               IInspectable* graphicsDevice) override;
  HRESULT ReopenStream(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, boolean* result) override;
  HRESULT CloseStream() override;
  HRESULT CreateIterator(ABI::Korvane::Native::IVideoDecoderIterator** iterator) override;
  HRESULT MoveNext() override;
  HRESULT MovePrevious() override;
  HRESULT GetFrameTexture(int64_t time, int64_t* texture) override;
  HRESULT GetPlaceholderTexture(int64_t* texture) override;
  HRESULT GetFrameDuration(int64_t time, int64_t* duration) override;
  HRESULT GetPreviousFrameTime(int64_t time, int64_t* previous) override;
  HRESULT GetNextFrameTime(int64_t time, int64_t* next) override;

  // IClosable
  HRESULT Close() override;

  // IVideoDecoderCachingPolicy: kept by the decoder for its next first pass.
  HRESULT get_CachingPolicy(ABI::Korvane::Native::CachingPolicy* value) override;
  HRESULT put_CachingPolicy(const ABI::Korvane::Native::CachingPolicy* value) override;

 protected:
  ~VideoDecoderInterop() override;

  // __IVideoDecoderInteropProtectedVirtuals: 2 (NV12).
  HRESULT GetOutputFormat(int32_t* format) override;

  // Raise one event: every handler in registration order (see EventSource). Nothing once
  // disposal has begun. A handler's failure other than a disconnection is thrown.
  virtual void RaiseDecoderLoaded();
  virtual void RaiseInitializationProgressChanged(double progress);
  virtual void RaiseDecoderInitialized();
  virtual void RaisePositionHasChanged(int64_t position);
  virtual void RaiseFrameCached(int64_t time);
  virtual void RaiseCachingCompleted(int64_t start, int64_t end);
  virtual void RaiseErrorOccured(int32_t code);

  const char* RuntimeClassNameText() const override { return ABI::Korvane::Native::kVideoDecoderInteropClassName; }

 private:
  // CallBoundary over disposed_. A call that took the decoder a moment before Close retired it
  // finds it refusing everything as not ready; to that caller the object was closed, and the
  // answer is RO_E_CLOSED.
  template <class Body, class... Out>
  HRESULT Call(Body&& body, Out*... outs) noexcept;
  // The decoder, or ObjectDisposedException once disposal has released it.
  std::shared_ptr<VideoDecoder> Decoder();
  std::vector<ComPtr<VideoDecoderIterator>> Iterators();
  GUID OutputSubtype();
  // Closes the held stream (unless it is `stream`) and holds `stream` instead.
  void ReplaceStream(ABI::Windows::Storage::Streams::IRandomAccessStream* stream);
  void OpenVideo(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, HSTRING cacheFolderPath,
                 IInspectable* graphicsDevice);
  void Step(bool forward);
  void Dispose();

  template <class Source, class... Args>
  void Raise(Source& source, const Args&... args);

  // Declared first so that they outlive every other member during destruction.
  EventSource<ABI::Korvane::Native::DecoderLoaded> decoderLoaded_;
  EventSource<ABI::Korvane::Native::InitializationProgressChanged> initializationProgressChanged_;
  EventSource<ABI::Korvane::Native::DecoderInitialized> decoderInitialized_;
  EventSource<ABI::Korvane::Native::PositionHasChanged> positionHasChanged_;
  EventSource<ABI::Korvane::Native::FrameCached> frameCached_;
  EventSource<ABI::Korvane::Native::CachingCompleted> cachingCompleted_;
  EventSource<ABI::Korvane::Native::ErrorOccured> errorOccured_;
  EventGate eventGate_;

  std::mutex fieldsMutex_;
  // -- guarded by fieldsMutex_
  std::vector<ComPtr<VideoDecoderIterator>> iterators_;  // creation order; emptied by disposal
  std::shared_ptr<VideoDecoder> decoder_;
  std::shared_ptr<VideoDecoderListener> listener_;
  // --
  std::mutex streamMutex_;
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;  // guarded by streamMutex_
  std::atomic<bool> disposed_{false};
};

}  // namespace korvane
