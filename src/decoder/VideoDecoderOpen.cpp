// VideoDecoder: identity, construction and destruction, opening, and the reader primitives.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"
#include "platform/mf/Mfapi.h"
#include "platform/mf/Mferror.h"
#include "platform/mf/Mfidl.h"

#include <thread>


namespace korvane {

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder() {
  ComPtr<IMFSourceReader> reader;
  {
    Concurrency::critical_section::scoped_lock lock(Lock);
    Listener.reset();
    CacheManager.reset();
    // A reader still open (no Close) may have a callback in flight. Released here, before the
    // other members and outside Lock, so that its work thread can finish that callback (which
    // now finds the decoder Closed) against live members; then wait until every reader thread
    // has let go of this object (see ReferenceCount).
    State = DecoderState::Closed;
    reader = std::move(Reader);
  }
  reader.Reset();
  while (ReferenceCount.load(std::memory_order_acquire) > 1) std::this_thread::yield();
}

HRESULT VideoDecoder::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (iid == IUnknown::kIid || iid == IMFSourceReaderCallback::kIid) {
    *object = static_cast<IMFSourceReaderCallback*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG VideoDecoder::AddRef() { return ReferenceCount.fetch_add(1) + 1; }

// The first reference is never released: the object belongs to its std::shared_ptr.
ULONG VideoDecoder::Release() { return ReferenceCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }

bool VideoDecoder::Load(std::shared_ptr<IVideoDecoderListener> listener, IRandomAccessStream* stream,
                        const GUID& outputSubtype, Brindle::Tamsel::SceneGraph::IGraphicsDevice* device) {
  // Outside the catch rule: an unusable device object is the caller's error.
  if (device == nullptr) ThrowNotReady("VideoDecoder::Load: the graphics device is null");
  UINT64 address = 0;
  ThrowIfFailed(device->GetD3DDevice(&address));
  if (address == 0) ThrowNotReady("VideoDecoder::Load: the graphics device has no Direct3D device");
  address = 0;
  ThrowIfFailed(device->GetD3DContext(&address));
  if (address == 0) ThrowNotReady("VideoDecoder::Load: the graphics device has no immediate context");

  Concurrency::critical_section::scoped_lock lock(Lock);
  try {
    if (Initialized) ThrowNotReady("VideoDecoder::Load: the video is already initialized; use Reopen");
    SetupDevice(device);
    Listener = std::move(listener);
    OpenReader(stream, outputSubtype, DecoderState::Opening);

    ComPtr<IMFMediaType> type;
    ThrowIfFailed(Reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
    UINT64 frameSize = 0;
    ThrowIfFailed(type->GetUINT64(MF_MT_FRAME_SIZE, &frameSize));
    Width = static_cast<uint32_t>(frameSize >> 32);
    Height = static_cast<uint32_t>(frameSize);
    UINT32 rotation = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_ROTATION, &rotation))) {
      Rotation = rotation;
      if (rotation == 90 || rotation == 270) {
        const uint32_t width = Width;
        Width = Height.load();
        Height = width;
      }
    }
    ApplyOutputSize();

    Loaded = true;
    Duration = kNoPosition;
    RequestedPosition = kNoPosition;
    ReaderPosition = kNoPosition;
    FirstSampleTime = kNoSampleYet;
    FrameDuration = 0;
    return true;
  } catch (...) {
    // Nothing is rolled back: a half-built reader stays until the next Load, Reopen or
    // destruction. The listener is whichever one is stored at this moment.
    if (Listener) Listener->OnError(0);
    return false;
  }
}

void VideoDecoder::SetupDevice(Brindle::Tamsel::SceneGraph::IGraphicsDevice* device) {
  UINT64 address = 0;
  ThrowIfFailed(device->GetD3DDevice(&address));
  Device = reinterpret_cast<ID3D11Device*>(address);
  address = 0;
  ThrowIfFailed(device->GetD3DContext(&address));
  Context = reinterpret_cast<ID3D11DeviceContext*>(address);

  // The media decoder, the cache manager and the client all use this device from their own
  // threads.
  ComPtr<ID3D10Multithread> multithread;
  ThrowIfFailed(Context.As(&multithread));
  multithread->SetMultithreadProtected(TRUE);

  DeviceManager.Reset();
  UINT resetToken = 0;
  ThrowIfFailed(MFCreateDXGIDeviceManager(&resetToken, &DeviceManager));
  ThrowIfFailed(DeviceManager->ResetDevice(Device.Get(), resetToken));

  ComPtr<ID3D11DeviceContext> immediate;
  Device->GetImmediateContext(&immediate);
  Context = immediate;
}

void VideoDecoder::OpenReader(IRandomAccessStream* stream, const GUID& subtype, DecoderState initialState) {
  // Every Load and Reopen starts the media platform once more; Close shuts it down once.
  ThrowIfFailed(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  State = initialState;
  CreateReader(stream);

  ComPtr<IMFMediaType> type;
  ThrowIfFailed(MFCreateMediaType(&type));
  ThrowIfFailed(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  ThrowIfFailed(type->SetGUID(MF_MT_SUBTYPE, subtype));
  ThrowIfFailed(Reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()));

  const HRESULT hr = Reader->SetStreamSelection(MF_SOURCE_READER_FIRST_AUDIO_STREAM, FALSE);
  // MF_E_INVALIDSTREAMNUMBER: the file has no audio stream, which is fine.
  if (FAILED(hr) && hr != MF_E_INVALIDSTREAMNUMBER) ThrowHResult(hr, "deselecting the audio stream");
}

void VideoDecoder::CreateReader(IRandomAccessStream* stream) {
  ComPtr<IMFByteStream> byteStream;
  ThrowIfFailed(MFCreateMFByteStreamOnStreamEx(stream, &byteStream));

  ComPtr<IMFAttributes> attributes;
  ThrowIfFailed(MFCreateAttributes(&attributes, 4));
  ThrowIfFailed(attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, DeviceManager.Get()));
  ThrowIfFailed(attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1));
  ThrowIfFailed(attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1));
  ThrowIfFailed(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, static_cast<IMFSourceReaderCallback*>(this)));

  ComPtr<IMFSourceReader> reader;
  ThrowIfFailed(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &reader));
  Reader = reader;
}

void VideoDecoder::ApplyOutputSize() {
  // The video's own size, odd or not: the reader rounds NV12 textures up and keeps every pixel.
  OutputWidth = Width / ResolutionDivisor;
  OutputHeight = Height / ResolutionDivisor;

  ComPtr<IMFMediaType> type;
  ThrowIfFailed(Reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
  ThrowIfFailed(type->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(OutputWidth) << 32) | OutputHeight));
  ThrowIfFailed(Reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()));

  UINT64 ratio = 0;
  const HRESULT hr = type->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &ratio);
  if (hr == MF_E_ATTRIBUTENOTFOUND) {
    PixelAspectNumerator = 1;
    PixelAspectDenominator = 1;
  } else {
    ThrowIfFailed(hr);
    PixelAspectNumerator = static_cast<uint32_t>(ratio >> 32);
    PixelAspectDenominator = static_cast<uint32_t>(ratio);
  }

  // No frame rate, no opening: the scan plan needs it.
  ThrowIfFailed(type->GetUINT64(MF_MT_FRAME_RATE, &ratio));
  FrameRateNumerator = static_cast<uint32_t>(ratio >> 32);
  FrameRateDenominator = static_cast<uint32_t>(ratio);
}

HRESULT VideoDecoder::ReadNext() {
  return Reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr);
}

HRESULT VideoDecoder::SeekTo(int64_t position, bool clamp) {
  if (clamp) {
    if (position < FirstSampleTime) {
      position = FirstSampleTime;
    } else if (position > Duration) {
      position = Duration;
    }
  }
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_I8;
  value.hVal.QuadPart = position;
  return Reader->SetCurrentPosition(GUID_NULL, value);
}

HRESULT VideoDecoder::FlushIfIdle() {
  if (FlushPending) return S_OK;
  const HRESULT hr = Reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
  FlushPending = SUCCEEDED(hr);
  return hr;
}

HRESULT VideoDecoder::SeekAndRead(int64_t position, bool flushOnFail, bool clamp) {
  HRESULT hr = SeekTo(position, clamp);
  if (SUCCEEDED(hr)) return ReadNext();
  if (flushOnFail) {
    // The flush completion seeks again (OnFlush).
    ReaderPosition = position;
    return FlushIfIdle();
  }
  // Some sources refuse a seek to a point they cannot reach (a damaged index near the end, for
  // instance); retry a little further back each time, never before the first sample.
  int64_t p = position - kWindow;
  for (int counter = 10;;) {
    if (p < FirstSampleTime) return hr;
    if (--counter == 0) return hr;
    hr = SeekTo(p, true);
    p -= kWindow;
    if (SUCCEEDED(hr)) return ReadNext();
  }
}

}  // namespace korvane
