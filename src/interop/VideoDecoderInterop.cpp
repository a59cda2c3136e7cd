#include "interop/VideoDecoderInterop.h"

#include "cache/TimeArithmetic.h"
#include "decoder/DecoderTrace.h"
#include "decoder/VideoDecoder.h"
#include "interop/DisposeOnce.h"
#include "interop/ThrowIfNotOk.h"
#include "interop/VideoDecoderIterator.h"
#include "interop/VideoDecoderListener.h"
#include "platform/com/Boundary.h"
#include "platform/mf/Mfapi.h"
#include "toolkit/IGraphicsDevice.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace korvane {

using ABI::Windows::Storage::Streams::IRandomAccessStream;
using namespace ABI::Korvane::Native;

namespace {

// The value of GetOutputFormat that selects NV12 output.
constexpr int32_t kNv12OutputFormat = 2;

int64_t TextureResult(ComPtr<ID3D11Texture2D> texture) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(texture.Detach()));
}

}  // namespace

VideoDecoderInterop::VideoDecoderInterop() : decoder_(std::make_shared<VideoDecoder>()) {}

VideoDecoderInterop::~VideoDecoderInterop() {
  // A failure here has nobody to go to; disposal has released what it could.
  DisposeOnce(disposed_, [this] { Dispose(); });
}

template <class Body, class... Out>
HRESULT VideoDecoderInterop::Call(Body&& body, Out*... outs) noexcept {
  const HRESULT result = CallBoundary(disposed_, std::forward<Body>(body), outs...);
  return result == kNotReady && disposed_ ? RO_E_CLOSED : result;
}

std::shared_ptr<VideoDecoder> VideoDecoderInterop::Decoder() {
  std::lock_guard<std::mutex> lock(fieldsMutex_);
  if (!decoder_) throw Platform::ObjectDisposedException("VideoDecoderInterop: closed");
  return decoder_;
}

std::vector<ComPtr<VideoDecoderIterator>> VideoDecoderInterop::Iterators() {
  std::lock_guard<std::mutex> lock(fieldsMutex_);
  return iterators_;
}

GUID VideoDecoderInterop::OutputSubtype() {
  int32_t format = 0;
  ThrowIfNotOk(GetOutputFormat(&format));
  return format == kNv12OutputFormat ? MFVideoFormat_NV12 : MFVideoFormat_RGB32;
}

// ---- Properties ----

HRESULT VideoDecoderInterop::get_IsInitialized(boolean* value) {
  return Call([&] { *value = Decoder()->IsInitialized(); }, value);
}

HRESULT VideoDecoderInterop::get_Duration(int64_t* value) {
  return Call([&] { *value = Decoder()->GetDuration(); }, value);
}

HRESULT VideoDecoderInterop::get_Position(int64_t* value) {
  return Call([&] { *value = Decoder()->GetCurrentFrameTime(); }, value);
}

HRESULT VideoDecoderInterop::put_Position(int64_t value) {
  // Fire and forget: the move runs on the thread pool; its outcome arrives as events.
  return Call([&] { Decoder()->SetPositionAsync(value); });
}

// Before the first pass has ended the decoder has nothing to step through (and no cache to ask),
// so both answers are false rather than the not-ready error of the neighbouring getters: a
// caller asking "can I step?" gets "no", and the moves fail with E_BOUNDS.
HRESULT VideoDecoderInterop::get_HasPreviousFrame(boolean* value) {
  return Call(
      [&] {
        const auto decoder = Decoder();
        *value = decoder->IsInitialized() && decoder->HasPreviousFrame();
      },
      value);
}

HRESULT VideoDecoderInterop::get_HasNextFrame(boolean* value) {
  return Call(
      [&] {
        const auto decoder = Decoder();
        *value = decoder->IsInitialized() && decoder->HasNextFrame();
      },
      value);
}

HRESULT VideoDecoderInterop::get_FrameWidth(UINT32* value) {
  return Call([&] { *value = Decoder()->GetOutputWidth(); }, value);
}

HRESULT VideoDecoderInterop::get_FrameHeight(UINT32* value) {
  return Call([&] { *value = Decoder()->GetOutputHeight(); }, value);
}

HRESULT VideoDecoderInterop::get_Rotation(UINT32* value) {
  return Call([&] { *value = Decoder()->GetRotation(); }, value);
}

HRESULT VideoDecoderInterop::get_ResolutionDivisor(UINT32* value) {
  return Call([&] { *value = Decoder()->GetResolutionDivisor(); }, value);
}

HRESULT VideoDecoderInterop::put_ResolutionDivisor(UINT32 value) {
  return Call([&] { Decoder()->SetResolutionDivisor(value); });
}

// ---- Events ----

#define KORVANE_INTEROP_EVENT(Name, source)                                                      \
  HRESULT VideoDecoderInterop::add_##Name(Name* handler, EventRegistrationToken* token) {        \
    return Call([&] { ThrowIfFailed(source.Add(handler, token)); }, token);                      \
  }                                                                                              \
  HRESULT VideoDecoderInterop::remove_##Name(EventRegistrationToken token) {                     \
    return Call([&] { ThrowIfFailed(source.Remove(token)); });                                   \
  }

KORVANE_INTEROP_EVENT(DecoderLoaded, decoderLoaded_)
KORVANE_INTEROP_EVENT(InitializationProgressChanged, initializationProgressChanged_)
KORVANE_INTEROP_EVENT(DecoderInitialized, decoderInitialized_)
KORVANE_INTEROP_EVENT(PositionHasChanged, positionHasChanged_)
KORVANE_INTEROP_EVENT(FrameCached, frameCached_)
KORVANE_INTEROP_EVENT(CachingCompleted, cachingCompleted_)
KORVANE_INTEROP_EVENT(ErrorOccured, errorOccured_)
#undef KORVANE_INTEROP_EVENT

template <class Source, class... Args>
void VideoDecoderInterop::Raise(Source& source, const Args&... args) {
  if (!eventGate_.Enter()) return;
  EventGate::Leaver leave(eventGate_);
  ThrowIfFailed(source.InvokeAll(args...));
}

void VideoDecoderInterop::RaiseDecoderLoaded() { Raise(decoderLoaded_); }
void VideoDecoderInterop::RaiseInitializationProgressChanged(double progress) {
  Raise(initializationProgressChanged_, progress);
}
void VideoDecoderInterop::RaiseDecoderInitialized() { Raise(decoderInitialized_); }
void VideoDecoderInterop::RaisePositionHasChanged(int64_t position) { Raise(positionHasChanged_, position); }
void VideoDecoderInterop::RaiseFrameCached(int64_t time) { Raise(frameCached_, time); }
void VideoDecoderInterop::RaiseCachingCompleted(int64_t start, int64_t end) { Raise(cachingCompleted_, start, end); }
void VideoDecoderInterop::RaiseErrorOccured(int32_t code) { Raise(errorOccured_, code); }

// ---- Opening and closing the stream ----

void VideoDecoderInterop::ReplaceStream(IRandomAccessStream* stream) {
  std::lock_guard<std::mutex> lock(streamMutex_);
  // Handing back the stream already held must not close the stream about to be read.
  if (stream_.Get() == stream) return;
  if (stream_) {
    ComPtr<ABI::Windows::Foundation::IClosable> closable;
    ThrowIfFailed(stream_.As(&closable));
    ThrowIfFailed(closable->Close());
    stream_.Reset();
  }
  stream_ = stream;
}

HRESULT VideoDecoderInterop::Open(IRandomAccessStream* stream, HSTRING cacheFolderPath, IInspectable* graphicsDevice) {
  return Call([&] { OpenVideo(stream, cacheFolderPath, graphicsDevice); });
}

void VideoDecoderInterop::OpenVideo(IRandomAccessStream* stream, HSTRING cacheFolderPath,
                                    IInspectable* graphicsDevice) {
  const std::shared_ptr<VideoDecoder> decoder = Decoder();
  ReplaceStream(stream);
  const GUID subtype = OutputSubtype();
  if (decoder->IsInitialized()) {
    // Once initialized the decoder is never loaded again; it takes the new stream up.
    decoder->Reopen(stream, subtype);
    return;
  }

  std::shared_ptr<VideoDecoderListener> listener;
  {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    if (!listener_) {
      ComPtr<IWeakReference> self;
      ThrowIfFailed(GetWeakReference(&self));
      listener_ = std::make_shared<VideoDecoderListener>(std::move(self));
    } else {
      listener_->ResetProgress();
    }
    listener = listener_;
  }

  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> device;
  if (graphicsDevice != nullptr) {
    const HRESULT hr = graphicsDevice->QueryInterface(IID_PPV_ARGS(&device));
    if (FAILED(hr)) ThrowHResult(hr, "VideoDecoderInterop::Open: the device object is not a toolkit graphics device");
  }
  uint32_t length = 0;
  const char* text = WindowsGetStringRawBuffer(cacheFolderPath, &length);
  const Platform::String folder(std::string_view(text, length));
  if (decoder->Load(listener, stream, subtype, device.Get())) {
    RaiseDecoderLoaded();
    decoder->Initialize(folder);
  }
}

HRESULT VideoDecoderInterop::ReopenStream(IRandomAccessStream* stream, boolean* result) {
  return Call(
      [&] {
        const std::shared_ptr<VideoDecoder> decoder = Decoder();
        ReplaceStream(stream);
        *result = decoder->Reopen(stream, OutputSubtype());
      },
      result);
}

HRESULT VideoDecoderInterop::CloseStream() {
  return Call([&] {
    Decoder()->Close();
    ReplaceStream(nullptr);
  });
}

// ---- Iterators and stepping ----

HRESULT VideoDecoderInterop::CreateIterator(IVideoDecoderIterator** iterator) {
  return Call(
      [&] {
        const std::shared_ptr<VideoDecoder> decoder = Decoder();
        ComPtr<VideoDecoderIterator> created = MakeRuntimeObject<VideoDecoderIterator>(this);
        created->Subscribe();
        {
          std::lock_guard<std::mutex> lock(fieldsMutex_);
          if (!decoder_) throw Platform::ObjectDisposedException("VideoDecoderInterop: closed");
          iterators_.push_back(created);
        }
        // Listed before the flag is read: an initialization that lands in between reaches the
        // iterator through the list, one that came before is seen here (a second notice is
        // harmless).
        if (decoder->IsInitialized()) created->OnOwnerInitialized();
        *iterator = created.Detach();
      },
      iterator);
}

HRESULT VideoDecoderInterop::MoveNext() {
  return Call([&] { Step(true); });
}

HRESULT VideoDecoderInterop::MovePrevious() {
  return Call([&] { Step(false); });
}

void VideoDecoderInterop::Step(bool forward) {
  boolean possible = false;
  ThrowIfNotOk(forward ? get_HasNextFrame(&possible) : get_HasPreviousFrame(&possible));
  if (!possible) {
    throw Platform::OutOfBoundsException(forward ? "VideoDecoderInterop::MoveNext: no next frame"
                                                 : "VideoDecoderInterop::MovePrevious: no previous frame");
  }

  const std::shared_ptr<VideoDecoder> decoder = Decoder();
  const int64_t t = decoder->GetCurrentFrameTime();
  const int64_t d = decoder->GetCurrentFrameDuration();
  // The target must lie inside the neighbouring frame, because the caches match a time to the
  // frame whose interval contains it. Half a frame past the next start (t + 3d/2) or half a frame
  // before the current start (t − d/2) does so only when the neighbour is at least half as long
  // as the current frame; on variable-rate video a shorter neighbour would be skipped. So aim at
  // the neighbour's middle when it is decoded and its time known. Otherwise, going forwards, aim
  // at the current frame's end, which the next frame contains (or, across a gap, is the nearest
  // to) whatever its length; going backwards keep t − d/2.
  // (Sums saturate: the times come from the file.)
  int64_t target = forward ? SaturatingAdd(SaturatingAdd(t, d), d / 2) : SaturatingSubtract(t, d / 2);
  if (t >= 0 && d > 0) {
    if (forward) {
      const int64_t next = decoder->GetNextFrameTime(t);
      const int64_t nextDuration = next > t ? decoder->GetFrameDuration(next) : 0;
      target = nextDuration > 0 ? SaturatingAdd(next, nextDuration / 2) : SaturatingAdd(t, d);
    } else {
      const int64_t previous = decoder->GetPreviousFrameTime(t);
      if (previous >= 0 && previous < t) target = t - std::min(d, t - previous) / 2;
    }
  }
  Trace("Decoder[" + std::to_string(t) + (forward ? "]::MoveNext[" : "]::MovePrevious[") + std::to_string(target) +
        "]");

  // Every iterator keeps the frame it showed: its offset counts from the frame about to be current.
  const std::vector<ComPtr<VideoDecoderIterator>> iterators = Iterators();
  for (const ComPtr<VideoDecoderIterator>& iterator : iterators) iterator->ShiftOffset(forward ? -1 : 1);
  const HRESULT moved = put_Position(target);
  if (moved != S_OK) {
    // The position stays (a closed stream refuses moves): so must the iterators' frames.
    for (const ComPtr<VideoDecoderIterator>& iterator : iterators) iterator->ShiftOffset(forward ? 1 : -1);
    ThrowHResult(moved);
  }
}

// ---- Textures and frame times ----

HRESULT VideoDecoderInterop::GetFrameTexture(int64_t time, int64_t* texture) {
  return Call([&] { *texture = TextureResult(Decoder()->GetFrame(time)); }, texture);
}

HRESULT VideoDecoderInterop::GetPlaceholderTexture(int64_t* texture) {
  return Call([&] { *texture = TextureResult(Decoder()->GetPlaceholderTexture()); }, texture);
}

HRESULT VideoDecoderInterop::GetFrameDuration(int64_t time, int64_t* duration) {
  return Call([&] { *duration = Decoder()->GetFrameDuration(time); }, duration);
}

HRESULT VideoDecoderInterop::GetPreviousFrameTime(int64_t time, int64_t* previous) {
  return Call([&] { *previous = Decoder()->GetPreviousFrameTime(time); }, previous);
}

HRESULT VideoDecoderInterop::GetNextFrameTime(int64_t time, int64_t* next) {
  return Call([&] { *next = Decoder()->GetNextFrameTime(time); }, next);
}

HRESULT VideoDecoderInterop::GetOutputFormat(int32_t* format) {
  return Call([&] { *format = kNv12OutputFormat; }, format);
}

// ---- Caching policy ----

HRESULT VideoDecoderInterop::get_CachingPolicy(ABI::Korvane::Native::CachingPolicy* value) {
  return Call([&] {
    const korvane::CachingPolicy policy = Decoder()->GetCachingPolicy();
    value->DiskBudgetBytes = policy.DiskBudget;
    value->AtDiskBudget = static_cast<ABI::Korvane::Native::DiskBudgetAction>(policy.AtDiskBudget);
    value->Compression = static_cast<ABI::Korvane::Native::FrameFileCompression>(policy.Compression);
    value->RamBudgetBytes = policy.RamBudget;
  }, value);
}

HRESULT VideoDecoderInterop::put_CachingPolicy(const ABI::Korvane::Native::CachingPolicy* value) {
  return Call([&] {
    if (value == nullptr) throw Platform::NullReferenceException("VideoDecoderInterop::put_CachingPolicy: no policy");
    const auto atBudget = static_cast<int32_t>(value->AtDiskBudget);
    const auto compression = static_cast<int32_t>(value->Compression);
    if (atBudget != 0 && atBudget != 1) {
      throw Platform::InvalidArgumentException("VideoDecoderInterop::put_CachingPolicy: AtDiskBudget " +
                                               std::to_string(atBudget) + " is neither Stop (0) nor EvictFarthest (1)");
    }
    if (compression != 0 && compression != 1) {
      throw Platform::InvalidArgumentException("VideoDecoderInterop::put_CachingPolicy: Compression " +
                                               std::to_string(compression) + " is neither None (0) nor Zstd (1)");
    }
    korvane::CachingPolicy policy;
    policy.DiskBudget = value->DiskBudgetBytes;
    policy.AtDiskBudget = static_cast<korvane::DiskBudgetAction>(atBudget);
    policy.Compression = static_cast<korvane::FrameCompression>(compression);
    policy.RamBudget = value->RamBudgetBytes;
    Decoder()->SetCachingPolicy(policy);
  });
}

// ---- Disposal ----

HRESULT VideoDecoderInterop::Close() {
  return DisposeOnce(disposed_, [this] { Dispose(); });
}

void VideoDecoderInterop::Dispose() {
  eventGate_.CloseAndWait();
  for (const ComPtr<VideoDecoderIterator>& iterator : Iterators()) iterator->StopForOwner();

  // Released one by one, outside the mutex and in this order: each release may run a
  // destructor that waits for threads (the decoder's reader, the listener's workers).
  std::vector<ComPtr<VideoDecoderIterator>> iterators;
  std::shared_ptr<VideoDecoder> decoder;
  std::shared_ptr<VideoDecoderListener> listener;
  {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    iterators.swap(iterators_);
    decoder.swap(decoder_);
    listener.swap(listener_);
  }
  iterators.clear();
  // A request on the thread pool or a reader callback may hold the decoder a little longer and
  // be the one to destroy it; its caches must not reach the folder after Close has returned,
  // when the application may already be removing it.
  if (decoder) decoder->Retire();
  decoder.reset();
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    stream_.Reset();
  }
  listener.reset();

  errorOccured_.Clear();
  cachingCompleted_.Clear();
  frameCached_.Clear();
  positionHasChanged_.Clear();
  decoderInitialized_.Clear();
  initializationProgressChanged_.Clear();
  decoderLoaded_.Clear();
}

}  // namespace korvane
