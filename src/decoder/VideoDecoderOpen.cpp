// VideoDecoder: opening a video — the device, the reader and its output type — and reopening.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "decoder/VideoDecoderReaderCallback.h"
#include "platform/com/Exceptions.h"
#include "platform/mf/Mfapi.h"
#include "platform/mf/Mferror.h"
#include "platform/mf/Mfidl.h"

#include <cassert>
#include <utility>

namespace korvane {

using Lockout = Concurrency::critical_section::scoped_lock;

namespace {

// The device and the context the graphics device object names; 668 for a null object or a zero
// address, the object's own failure as it is.
std::pair<UINT64, UINT64> DeviceAddresses(Brindle::Tamsel::SceneGraph::IGraphicsDevice* device) {
  if (device == nullptr) ThrowNotReady("VideoDecoder::Load: the graphics device is null");
  UINT64 deviceAddress = 0;
  ThrowIfFailed(device->GetD3DDevice(&deviceAddress));
  if (deviceAddress == 0) ThrowNotReady("VideoDecoder::Load: the graphics device has no Direct3D device");
  UINT64 contextAddress = 0;
  ThrowIfFailed(device->GetD3DContext(&contextAddress));
  if (contextAddress == 0) ThrowNotReady("VideoDecoder::Load: the graphics device has no immediate context");
  return {deviceAddress, contextAddress};
}

}  // namespace

bool VideoDecoder::Load(std::shared_ptr<IVideoDecoderListener> listener, IRandomAccessStream* stream,
                        const GUID& outputSubtype, Brindle::Tamsel::SceneGraph::IGraphicsDevice* device) {
  // Outside the catch rule: an unusable device object is the caller's error.
  DeviceAddresses(device);

  Lockout lock(Lock);
  try {
    if (Retired) ThrowNotReady("VideoDecoder::Load: the decoder was retired by its owner");
    if (Initialized) ThrowNotReady("VideoDecoder::Load: the video is already initialized; use Reopen");
    SetupDevice(device);
    Listener = std::move(listener);
    OpenReader(stream, outputSubtype, DecoderState::Opening);

    ComPtr<IMFMediaType> type;
    ThrowIfFailed(Driver.Reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
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
    Timeline.Reset();
    Window.RequestedPosition = DecoderTimeline::kNoPosition;
    Driver.ReaderPosition = DecoderTimeline::kNoPosition;
    FrameDuration = 0;
    return true;
  } catch (...) {
    // Nothing is rolled back: a half-built reader stays until the next Load, Reopen or
    // destruction. The listener is whichever one is stored at this moment.
    if (Listener) Listener->OnError(0);
    return false;
  }
}

bool VideoDecoder::Reopen(IRandomAccessStream* stream, const GUID& outputSubtype) {
  Lockout lock(Lock);
  try {
    if (!Initialized) ThrowNotReady("VideoDecoder::Reopen: the video was never initialized; use Load");
    if (Driver.Reader) ThrowNotReady("VideoDecoder::Reopen: the video is still open; Close it first");
    try {
      OpenReader(stream, outputSubtype, DecoderState::Ready);  // Closed -> Ready
      ApplyOutputSize();
    } catch (...) {
      // A reader that could not be set up is no reader: the decoder stays Closed, so requests
      // are refused rather than sent to a reader that is not there. The media platform start
      // stays counted for Close to balance. No read was issued, so releasing the reader under
      // Lock waits for no callback.
      Driver.Reader.Reset();
      State = DecoderState::Closed;
      throw;
    }
    return true;
  } catch (...) {
    if (Listener) Listener->OnError(0);
    return false;
  }
}

void VideoDecoder::SetResolutionDivisor(uint32_t divisor) {
  Lockout lock(Lock);
  if (!Loaded) ThrowNotReady("VideoDecoder::SetResolutionDivisor: no video is loaded");
  if (divisor == 0 || divisor == ResolutionDivisor) return;
  ResolutionDivisor = divisor;
  // While closed there is no reader to reconfigure; Reopen applies the divisor.
  if (Driver.Reader) ApplyOutputSize();
}

void VideoDecoder::SetupDevice(Brindle::Tamsel::SceneGraph::IGraphicsDevice* device) {
  assert(Lock.is_held_by_current_thread());
  const auto [deviceAddress, contextAddress] = DeviceAddresses(device);
  {
    // GetPlaceholderTexture reads Device without Lock; a placeholder made on an earlier device
    // is no use on this one.
    std::lock_guard<std::mutex> guard(PlaceholderMutex);
    Device = reinterpret_cast<ID3D11Device*>(deviceAddress);
    PlaceholderTexture.Reset();
  }
  Context = reinterpret_cast<ID3D11DeviceContext*>(contextAddress);

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
  assert(Lock.is_held_by_current_thread());
  // Every Load and Reopen starts the media platform once more; Close balances every start.
  ThrowIfFailed(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  ++MediaPlatformStarts;
  State = initialState;
  CreateReader(stream);

  ComPtr<IMFMediaType> type;
  ThrowIfFailed(MFCreateMediaType(&type));
  ThrowIfFailed(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  ThrowIfFailed(type->SetGUID(MF_MT_SUBTYPE, subtype));
  ThrowIfFailed(Driver.Reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()));

  const HRESULT hr = Driver.Reader->SetStreamSelection(MF_SOURCE_READER_FIRST_AUDIO_STREAM, FALSE);
  // MF_E_INVALIDSTREAMNUMBER: the file has no audio stream, which is fine.
  if (FAILED(hr) && hr != MF_E_INVALIDSTREAMNUMBER) ThrowHResult(hr, "deselecting the audio stream");
}

void VideoDecoder::CreateReader(IRandomAccessStream* stream) {
  assert(Lock.is_held_by_current_thread());
  ComPtr<IMFByteStream> byteStream;
  ThrowIfFailed(MFCreateMFByteStreamOnStreamEx(stream, &byteStream));

  // The reader calls back through an object that holds this decoder weakly.
  ComPtr<IMFSourceReaderCallback> callback = MakeComObject<VideoDecoderReaderCallback>(weak_from_this());
  ComPtr<IMFAttributes> attributes;
  ThrowIfFailed(MFCreateAttributes(&attributes, 4));
  ThrowIfFailed(attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, DeviceManager.Get()));
  ThrowIfFailed(attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1));
  ThrowIfFailed(attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1));
  ThrowIfFailed(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get()));

  ComPtr<IMFSourceReader> reader;
  ThrowIfFailed(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &reader));
  Driver.Reader = reader;
}

void VideoDecoder::ApplyOutputSize() {
  assert(Lock.is_held_by_current_thread());
  // The video's own size, odd or not: the reader rounds NV12 textures up and keeps every pixel.
  OutputWidth = Width / ResolutionDivisor;
  OutputHeight = Height / ResolutionDivisor;

  ComPtr<IMFMediaType> type;
  ThrowIfFailed(Driver.Reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
  ThrowIfFailed(type->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(OutputWidth) << 32) | OutputHeight));
  ThrowIfFailed(Driver.Reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()));

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

}  // namespace korvane
