// VideoDecoder: the operations the front end calls, and the lifecycle after opening.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"
#include "platform/mf/Mfapi.h"
#include "platform/mf/Mfidl.h"

#include <array>
#include <utility>

namespace korvane {

using Lockout = Concurrency::critical_section::scoped_lock;

void VideoDecoder::Initialize(const Platform::String& cacheFolderPath) {
  const Platform::String path = cacheFolderPath;
  Lockout lock(Lock);
  try {
    if (!Reader) ThrowNotReady("VideoDecoder::Initialize: no video is open");
    // The old manager goes first: its destruction writes its memory frames to its folder, which
    // the new one is about to wipe; the other way round they would land in the fresh folder as
    // files nothing reads.
    CacheManager.reset();
    CacheManager = std::make_shared<VideoDecoderCacheManager>(Device, Context, path);
    RangeStart = INT64_MAX;
    RangeEnd = INT64_MIN;

    PROPVARIANT duration;
    PropVariantInit(&duration);
    ThrowIfFailed(Reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration));
    Duration = static_cast<int64_t>(duration.uhVal.QuadPart);
    PropVariantClear(&duration);

    StartScan();
  } catch (...) {
    // Initialize never fails; the decoder stays loaded but not scanning. Without a cache
    // manager it is not initialized either, whatever an earlier scan achieved.
    if (!CacheManager) Initialized = false;
    if (Listener) Listener->OnError(0);
  }
}

bool VideoDecoder::Reopen(IRandomAccessStream* stream, const GUID& outputSubtype) {
  Lockout lock(Lock);
  try {
    if (!Initialized) ThrowNotReady("VideoDecoder::Reopen: the video was never initialized; use Load");
    if (Reader) ThrowNotReady("VideoDecoder::Reopen: the video is still open; Close it first");
    try {
      OpenReader(stream, outputSubtype, DecoderState::Ready);  // Closed -> Ready
      ApplyOutputSize();
    } catch (...) {
      // A reader that could not be set up is no reader: the decoder stays Closed, so requests
      // are refused rather than sent to a reader that is not there. The media platform start
      // stays counted for Close to balance. No read was issued, so releasing the reader under
      // Lock waits for no callback.
      Reader.Reset();
      State = DecoderState::Closed;
      throw;
    }
    return true;
  } catch (...) {
    if (Listener) Listener->OnError(0);
    return false;
  }
}

void VideoDecoder::Close() {
  std::unique_lock<std::mutex> closeLock;
  bool flushing = false;
  {
    Lockout lock(Lock);
    if (State == DecoderState::Closed) {
      // A second Close, or a Close after a failed Reopen: no reader of its own to let go, but
      // possibly media platform starts to balance.
      ShutDownMediaPlatform(std::exchange(MediaPlatformStarts, 0));
      return;
    }
    State = DecoderState::Closed;  // any -> Closed; callbacks are ignored from now on
    // Before any successful Load there is no reader to flush.
    if (Reader) {
      closeLock = std::unique_lock<std::mutex>(CloseMutex);
      FlushSignalled = false;
      HRESULT hr = S_OK;
      if (!FlushPending) {
        hr = Reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        FlushPending = SUCCEEDED(hr);
      }
      flushing = SUCCEEDED(hr);
    }
  }
  // The completion of this flush, or of one already outstanding, signals (OnFlush).
  if (flushing) FlushDone.wait(closeLock, [this] { return FlushSignalled; });
  if (closeLock.owns_lock()) closeLock.unlock();

  ComPtr<IMFSourceReader> reader;
  int starts = 0;
  {
    Lockout lock(Lock);
    reader = std::move(Reader);
    starts = std::exchange(MediaPlatformStarts, 0);
  }
  // Released outside Lock: the reader joins its work thread, whose callbacks take Lock.
  reader.Reset();
  ShutDownMediaPlatform(starts);
}

// Balances `starts` MFStartup calls; raises the last failure after trying them all.
void VideoDecoder::ShutDownMediaPlatform(int starts) {
  HRESULT failure = S_OK;
  for (; starts > 0; --starts) {
    const HRESULT hr = MFShutdown();
    if (FAILED(hr)) failure = hr;
  }
  ThrowIfFailed(failure);
}

void VideoDecoder::SetResolutionDivisor(uint32_t divisor) {
  Lockout lock(Lock);
  if (!Loaded) ThrowNotReady("VideoDecoder::SetResolutionDivisor: no video is loaded");
  if (divisor == 0 || divisor == ResolutionDivisor) return;
  ResolutionDivisor = divisor;
  // While closed there is no reader to reconfigure; Reopen applies the divisor.
  if (Reader) ApplyOutputSize();
}

ComPtr<ABI::Windows::Foundation::IAsyncAction> VideoDecoder::SetPositionAsync(int64_t relative) {
  if (State == DecoderState::Closed) ThrowNotReady("VideoDecoder::SetPositionAsync: the decoder is closed");
  // The action keeps the decoder alive until the request has run.
  std::shared_ptr<VideoDecoder> self = shared_from_this();
  return korvane::winrt::CreateAsyncAction(
      [self, relative](const korvane::winrt::CancellationToken&) { self->RequestPosition(relative); });
}

int64_t VideoDecoder::GetCurrentFrameTime() {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetCurrentFrameTime: not initialized");
  const int64_t time = CacheManager->GetCurrentFrameTime();
  return time >= FirstSampleTime ? time - FirstSampleTime : time;
}

int64_t VideoDecoder::GetCurrentFrameDuration() {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetCurrentFrameDuration: not initialized");
  return CacheManager->GetCurrentFrameDuration();
}

int64_t VideoDecoder::GetFrameDuration(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetFrameDuration: not initialized");
  return CacheManager->GetFrameDuration(FirstSampleTime + relative);
}

ComPtr<ID3D11Texture2D> VideoDecoder::GetFrame(int64_t relative) {
  Lockout lock(Lock);
  if (!CacheManager) return nullptr;
  return CacheManager->GetFrame(FirstSampleTime + relative);
}

ComPtr<ID3D11Texture2D> VideoDecoder::GetPlaceholderTexture() {
  // No decoder lock (a renderer asks for it at any time); PlaceholderMutex guards Device against
  // a Load that replaces it, and the one-time creation against a second first caller.
  std::lock_guard<std::mutex> guard(PlaceholderMutex);
  if (!Device) ThrowNotReady("VideoDecoder::GetPlaceholderTexture: no device");
  if (!PlaceholderTexture) {
    // A uniform mid-grey NV12 frame: luma and both chroma values 127.
    std::array<uint8_t, 12> grey;
    grey.fill(0x7F);
    D3D11_SUBRESOURCE_DATA initial{};
    initial.pSysMem = grey.data();
    initial.SysMemPitch = 2;
    initial.SysMemSlicePitch = 1;
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = 2;
    desc.Height = 2;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_NV12;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = 0;
    desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
    ThrowIfFailed(Device->CreateTexture2D(&desc, &initial, &PlaceholderTexture));
  }
  return PlaceholderTexture;
}

bool VideoDecoder::HasPreviousFrame() {
  Lockout lock(Lock);
  if (!CacheManager) return false;
  return CacheManager->GetCurrentFrameTime() > FirstSampleTime;
}

bool VideoDecoder::HasNextFrame() {
  Lockout lock(Lock);
  if (!CacheManager) return false;
  return CacheManager->GetCurrentFrameTime() + CacheManager->GetCurrentFrameDuration() <= Duration;
}

int64_t VideoDecoder::GetPreviousFrameTime(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetPreviousFrameTime: not initialized");
  const int64_t time = CacheManager->GetPreviousFrameTime(FirstSampleTime + relative);
  return time >= FirstSampleTime ? time - FirstSampleTime : time;
}

int64_t VideoDecoder::GetNextFrameTime(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetNextFrameTime: not initialized");
  const int64_t time = CacheManager->GetNextFrameTime(FirstSampleTime + relative);
  return time >= FirstSampleTime ? time - FirstSampleTime : time;
}

int64_t VideoDecoder::GetDuration() const {
  if (!Initialized) ThrowNotReady("VideoDecoder::GetDuration: not initialized");
  return Duration - FirstSampleTime;
}

uint32_t VideoDecoder::GetOutputWidth() const {
  if (!Loaded) ThrowNotReady("VideoDecoder::GetOutputWidth: no video is loaded");
  return OutputWidth;
}

uint32_t VideoDecoder::GetOutputHeight() const {
  if (!Loaded) ThrowNotReady("VideoDecoder::GetOutputHeight: no video is loaded");
  return OutputHeight;
}

uint32_t VideoDecoder::GetRotation() const {
  if (!Loaded) ThrowNotReady("VideoDecoder::GetRotation: no video is loaded");
  return Rotation;
}

uint32_t VideoDecoder::GetResolutionDivisor() const {
  if (!Loaded) ThrowNotReady("VideoDecoder::GetResolutionDivisor: no video is loaded");
  return ResolutionDivisor;
}

std::shared_ptr<VideoDecoderCacheManager> VideoDecoder::GetCacheManagerForTesting() {
  Lockout lock(Lock);
  return CacheManager;
}

}  // namespace korvane
