// VideoDecoder: construction and destruction, Initialize and Close.
#include "decoder/VideoDecoder.h"

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/Exceptions.h"
#include "platform/mf/Mfapi.h"
#include "platform/mf/Mfidl.h"

#include <utility>

namespace korvane {

using Lockout = Concurrency::critical_section::scoped_lock;

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder() {
  // No callback is inside the decoder now (each holds a strong reference while it runs), and
  // any later one finds no decoder. The caches go first (they write their memory frames to
  // disk), then the reader: its work thread ends by itself if it is the one running this. The
  // listener goes last, so that its owner hears of nothing the decoder still does.
  CacheManager.reset();
  Driver.Reader.Reset();
  Listener.reset();
}

void VideoDecoder::Initialize(const Platform::String& cacheFolderPath) {
  const Platform::String path = cacheFolderPath;
  Lockout lock(Lock);
  try {
    if (Retired) ThrowNotReady("VideoDecoder::Initialize: the decoder was retired by its owner");
    if (!Driver.Reader) ThrowNotReady("VideoDecoder::Initialize: no video is open");
    // The old manager goes first: its destruction writes its memory frames to its folder, which
    // the new one is about to wipe; the other way round they would land in the fresh folder as
    // files nothing reads.
    CacheManager.reset();
    CacheManager = std::make_shared<VideoDecoderCacheManager>(Device, Context, path, Policy);
    Window.RangeStart = INT64_MAX;
    Window.RangeEnd = INT64_MIN;

    PROPVARIANT duration;
    PropVariantInit(&duration);
    ThrowIfFailed(
        Driver.Reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration));
    Timeline.Duration = static_cast<int64_t>(duration.uhVal.QuadPart);
    PropVariantClear(&duration);

    StartScan();
  } catch (...) {
    // Initialize never fails; the decoder stays loaded but not scanning. Without a cache
    // manager it is not initialized either, whatever an earlier scan achieved.
    if (!CacheManager) Initialized = false;
    if (Listener) Listener->OnError(0);
  }
}

void VideoDecoder::SetCachingPolicy(const CachingPolicy& policy) {
  Lockout lock(Lock);
  Policy = policy;
}

CachingPolicy VideoDecoder::GetCachingPolicy() const {
  Lockout lock(Lock);
  return Policy;
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
    State = DecoderState::Closed;  // any -> Closed; callbacks do nothing from now on
    // Before any successful Load there is no reader to flush.
    if (Driver.Reader) {
      closeLock = std::unique_lock<std::mutex>(CloseMutex);
      FlushSignalled = false;
      flushing = SUCCEEDED(Driver.FlushIfIdle());
    }
  }
  // The completion of this flush, or of one already outstanding, signals (OnFlush).
  if (flushing) FlushDone.wait(closeLock, [this] { return FlushSignalled; });
  if (closeLock.owns_lock()) closeLock.unlock();

  ComPtr<IMFSourceReader> reader;
  int starts = 0;
  {
    Lockout lock(Lock);
    reader = std::move(Driver.Reader);
    starts = std::exchange(MediaPlatformStarts, 0);
  }
  // Released outside Lock: the reader joins its work thread, whose callbacks take Lock.
  reader.Reset();
  ShutDownMediaPlatform(starts);
}

void VideoDecoder::Retire() {
  Lockout lock(Lock);
  Retired = true;
  State = DecoderState::Closed;  // any -> Closed; callbacks do nothing from now on
  Initialized = false;
  CacheManager.reset();
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

}  // namespace korvane
