// VideoDecoder: position requests, and the getters the front end calls.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"

#include <array>

namespace korvane {

using Lockout = Concurrency::critical_section::scoped_lock;

ComPtr<ABI::Windows::Foundation::IAsyncAction> VideoDecoder::SetPositionAsync(int64_t relative) {
  if (State == DecoderState::Closed) ThrowNotReady("VideoDecoder::SetPositionAsync: the decoder is closed");
  // The action keeps the decoder alive until the request has run.
  std::shared_ptr<VideoDecoder> self = shared_from_this();
  return korvane::winrt::CreateAsyncAction(
      [self, relative](const korvane::winrt::CancellationToken&) { self->RequestPosition(relative); });
}

void VideoDecoder::RequestPosition(int64_t relative) {
  Lockout lock(Lock);
  if (State == DecoderState::Closed || State == DecoderState::Failed) return;
  if (!Initialized) ThrowNotReady("RequestPosition: the initial scan has not ended");
  try {
    const int64_t t = Timeline.Clamp(Timeline.ToAbsolute(relative));
    const int64_t cursorTime = CacheManager->GetCurrentFrameTime();
    const int64_t cursorDuration = CacheManager->GetCurrentFrameDuration();
    if (Window.RequestedPosition == t && cursorTime <= t && t < cursorTime + cursorDuration) {
      // The same request, and its frame is shown: nothing to read.
      if (State == DecoderState::Ready) Window.NotifyCachingCompleted();
      return;
    }
    switch (State.load()) {
      case DecoderState::Ready:
        Window.RequestedPosition = t;
        Window.UpdateReaderPosition(t, JumpBy::Seek);
        break;
      case DecoderState::CachingJump:
      case DecoderState::Caching:
        // Parked: taken up when the outstanding read completes; only the latest survives.
        Window.PendingRequest = true;
        Window.RequestedPosition = t;
        break;
      default:
        break;
    }
    Window.ShowPosition(t);
  } catch (...) {
    State = DecoderState::Ready;  // any -> Ready: the request failed; wait for the next one
    if (Listener) Listener->OnError(0);
  }
}

int64_t VideoDecoder::GetCurrentFrameTime() {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetCurrentFrameTime: not initialized");
  return Timeline.FrameTimeToRelative(CacheManager->GetCurrentFrameTime());
}

int64_t VideoDecoder::GetCurrentFrameDuration() {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetCurrentFrameDuration: not initialized");
  return CacheManager->GetCurrentFrameDuration();
}

int64_t VideoDecoder::GetFrameDuration(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetFrameDuration: not initialized");
  return CacheManager->GetFrameDuration(Timeline.ToAbsolute(relative));
}

ComPtr<ID3D11Texture2D> VideoDecoder::GetFrame(int64_t relative) {
  Lockout lock(Lock);
  if (!CacheManager) return nullptr;
  return CacheManager->GetFrame(Timeline.ToAbsolute(relative));
}

int64_t VideoDecoder::GetPreviousFrameTime(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetPreviousFrameTime: not initialized");
  return Timeline.FrameTimeToRelative(CacheManager->GetPreviousFrameTime(Timeline.ToAbsolute(relative)));
}

int64_t VideoDecoder::GetNextFrameTime(int64_t relative) {
  Lockout lock(Lock);
  if (!Initialized) ThrowNotReady("VideoDecoder::GetNextFrameTime: not initialized");
  return Timeline.FrameTimeToRelative(CacheManager->GetNextFrameTime(Timeline.ToAbsolute(relative)));
}

bool VideoDecoder::HasPreviousFrame() {
  Lockout lock(Lock);
  if (!CacheManager) return false;
  return CacheManager->GetCurrentFrameTime() > Timeline.FirstSampleTime;
}

bool VideoDecoder::HasNextFrame() {
  Lockout lock(Lock);
  if (!CacheManager) return false;
  return CacheManager->GetCurrentFrameTime() + CacheManager->GetCurrentFrameDuration() <= Timeline.Duration;
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

int64_t VideoDecoder::GetDuration() const {
  if (!Initialized) ThrowNotReady("VideoDecoder::GetDuration: not initialized");
  return Timeline.ToRelative(Timeline.Duration);
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

}  // namespace korvane
