#include "cache/VideoDecoderCacheManager.h"

#include "module/Stopwatch.h"
#include "platform/com/Exceptions.h"
#include "platform/com/Guid.h"
#include "platform/mf/Mfapi.h"

#include <algorithm>
#include <cassert>
#include <mutex>
#include <utility>

namespace korvane {

VideoDecoderCacheManager::VideoDecoderCacheManager(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                                                   Platform::String cacheFolderPath, const CachingPolicy& policy)
    : EvictionHandler([this](ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) {
        OnFrameEvicted(texture, time, duration, flag);
      }),
      Device(std::move(device)),
      Context(std::move(context)) {
  if (!Device) throw Platform::InvalidArgumentException("VideoDecoderCacheManager: the device is null");
  if (!Context) throw Platform::InvalidArgumentException("VideoDecoderCacheManager: the device context is null");
  MemoryCache = std::make_shared<VideoDecoderCache>(Device, Context, EvictionHandler);
  StorageCache = std::make_shared<VideoDecoderStorageCache>(Device, Context, std::move(cacheFolderPath), policy);
}

VideoDecoderCacheManager::~VideoDecoderCacheManager() {
  std::lock_guard lock(Lock);
  // Hand every frame still in memory to the disk. A Direct3D failure while storing (the only
  // thing that can throw here) ends the hand-over; the remaining frames are then dropped.
  try {
    MemoryCache->Clear();
  } catch (...) {
  }
  // The records go, the files stay: the next cache for this folder deletes them.
  StorageCache->Clear();
  MemoryCache.reset();
  StorageCache.reset();
  while (!TexturePool.empty()) TexturePool.pop_front();
}

void VideoDecoderCacheManager::CaptureFrameDescription(IMFSample* sample) {
  assert(Lock.is_held_by_current_thread());
  DWORD bufferCount = 0;
  ThrowIfFailed(sample->GetBufferCount(&bufferCount));
  ComPtr<IMFMediaBuffer> buffer;
  if (bufferCount <= 1) {
    ThrowIfFailed(sample->GetBufferByIndex(0, &buffer));
  } else {
    ThrowIfFailed(sample->ConvertToContiguousBuffer(&buffer));
  }
  ComPtr<IMFDXGIBuffer> dxgiBuffer;
  ThrowIfFailed(buffer.As(&dxgiBuffer));
  ComPtr<ID3D11Texture2D> texture;
  ThrowIfFailed(dxgiBuffer->GetResource(IID_PPV_ARGS(&texture)));
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  // Cache textures are plain GPU textures the renderer samples, whatever the decoder's were.
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.ArraySize = 1;
  desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
  FrameTextureDesc = desc;
}

bool VideoDecoderCacheManager::AddFrame(ComPtr<IMFSample>& sample, int64_t time, int64_t duration) {
  if (!sample) throw Platform::InvalidArgumentException("VideoDecoderCacheManager::AddFrame: the sample is null");
  std::lock_guard lock(Lock);
  if (FrameTextureDesc.ArraySize == 0) CaptureFrameDescription(sample.Get());

  // Both bounds of the memory window are inclusive.
  VideoDecoderCacheBase* target = nullptr;
  if (TimeDistance(time, Position) <= static_cast<uint64_t>(kCachingWindow)) {
    if (!MemoryCache->Contains(time)) target = MemoryCache.get();
  } else if (!StorageCache->Contains(time)) {
    target = StorageCache.get();
  }
  if (target == nullptr) return false;

  ComPtr<ID3D11Texture2D> texture;
  AcquireTexture(texture);
  if (!texture) return false;

  {
    // The copy stays texture to texture; the media buffer is only the sample's way in.
    ComPtr<IMFMediaBuffer> buffer;
    ThrowIfFailed(MFCreateDXGISurfaceBuffer(uuidof<ID3D11Texture2D>(), texture.Get(), 0, FALSE, &buffer));
    ThrowIfFailed(sample->CopyToBuffer(buffer.Get()));
  }

  const bool added = target->Add(texture, time, duration, false);
  // Added: the memory cache holds its own reference, or the storage cache copied the frame out.
  // Under a caching policy most decoded frames take the second way, and the texture then serves
  // the next frame instead of a fresh frame-sized one each time.
  if (!added || (target == StorageCache.get() && !StorageCache->Policy.IsDefault())) RecycleTexture(texture);
  return added;
}

bool VideoDecoderCacheManager::IsFrameCached(int64_t t) {
  std::lock_guard lock(Lock);
  return MemoryCache->Contains(t) || StorageCache->HasFrameFile(t);
}

void VideoDecoderCacheManager::GetFrame(ComPtr<ID3D11Texture2D>& frame, int64_t t) {
  std::lock_guard lock(Lock);
  frame = MemoryCache->FindTexture(t);
  if (!frame && StorageCache->Contains(t)) {
    LoadTexture(t);
    frame = MemoryCache->FindTexture(t);
  }
}

ComPtr<ID3D11Texture2D> VideoDecoderCacheManager::GetFrame(int64_t t) {
  ComPtr<ID3D11Texture2D> frame;
  GetFrame(frame, t);
  return frame;
}

int64_t VideoDecoderCacheManager::GetCurrentFrameTime() {
  std::lock_guard lock(Lock);
  return MemoryCache->GetCursorTime();
}

int64_t VideoDecoderCacheManager::GetCurrentFrameDuration() {
  std::lock_guard lock(Lock);
  return MemoryCache->GetCursorDuration();
}

int64_t VideoDecoderCacheManager::GetFrameDuration(int64_t t) {
  std::lock_guard lock(Lock);
  const int64_t duration = MemoryCache->GetDuration(t);
  return duration < 1 ? StorageCache->GetDuration(t) : duration;
}

int64_t VideoDecoderCacheManager::GetFrameEndTime(int64_t t) {
  std::lock_guard lock(Lock);
  const CachedFrame* frame = MemoryCache->FindContaining(t);
  if (frame == nullptr) frame = StorageCache->FindContaining(t);
  return frame == nullptr ? -1 : frame->EndTime;
}

bool VideoDecoderCacheManager::SetPosition(int64_t t) {
  std::lock_guard lock(Lock);
  Position = t;
  StorageCache->Position = t;
  bool result = false;
  MemoryCache->MoveCursor(t);
  StorageCache->MoveCursor(t);

  const auto memoryFrame = MemoryCache->Cursor;
  const auto storageFrame = StorageCache->Cursor;
  const bool hasMemory = memoryFrame != MemoryCache->Frames.end();
  const bool hasStorage = storageFrame != StorageCache->Frames.end();

  if (hasMemory && memoryFrame->ContainsTime(t)) {
    result = true;
  } else {
    const int64_t storageTime = hasStorage ? storageFrame->Time : -1;
    // Load when the disk has the frame at t, when memory has nothing usable, or when the disk
    // frame is strictly nearer; on a tie memory wins and nothing is read.
    const bool load = (hasStorage && storageFrame->ContainsTime(t)) || !hasMemory || memoryFrame->Time < 0 ||
                      TimeDistance(t, storageTime) < TimeDistance(t, memoryFrame->Time);
    if (load) {
      LoadTexture(storageTime);
      result = MemoryCache->MoveCursor(t);
    }
  }

  // Only the frames around the memory cursor stay in memory; the rest go to disk.
  const int64_t cursorTime = MemoryCache->GetCursorTime();
  MemoryCache->RemoveBefore(SaturatingSubtract(cursorTime, kCachingWindow));
  MemoryCache->RemoveAfter(SaturatingAdd(cursorTime, kCachingWindow));
  return result;
}

int64_t VideoDecoderCacheManager::GetPreviousFrameTime(int64_t t) {
  std::lock_guard lock(Lock);
  int64_t previous = MemoryCache->GetPreviousTime(t);
  if (previous == -1) previous = StorageCache->GetPreviousTime(t);
  if (previous == -1) previous = NeighbourAcrossCaches(t, Neighbour::kPrevious);
  return previous;
}

int64_t VideoDecoderCacheManager::GetNextFrameTime(int64_t t) {
  std::lock_guard lock(Lock);
  int64_t next = MemoryCache->GetNextTime(t);
  if (next == -1) next = StorageCache->GetNextTime(t);
  if (next == -1) next = NeighbourAcrossCaches(t, Neighbour::kNext);
  return next;
}

// A frame read while the position was further than kCachingWindow from it went to disk, while
// the frame at the position stays in memory only (or the other way round), so neither cache
// alone sees the two side by side. With a variable frame rate this is common: frames 0.1 s
// apart straddle the window.
int64_t VideoDecoderCacheManager::NeighbourAcrossCaches(int64_t t, Neighbour neighbour) const {
  assert(Lock.is_held_by_current_thread());
  const auto across = [&](const VideoDecoderCacheBase& holding, const VideoDecoderCacheBase& other) -> int64_t {
    const CachedFrame* current = holding.FindContaining(t);
    if (current == nullptr) return -1;
    return neighbour == Neighbour::kNext ? other.GetNextTimeAfter(*current) : other.GetPreviousTimeBefore(*current);
  };
  const int64_t fromMemory = across(*MemoryCache, *StorageCache);
  return fromMemory != -1 ? fromMemory : across(*StorageCache, *MemoryCache);
}

int64_t VideoDecoderCacheManager::GetCachedRangeEnd(int64_t t, int64_t limit) {
  std::lock_guard lock(Lock);
  return std::max(MemoryCache->GetContiguousEnd(t, limit), StorageCache->GetContiguousEnd(t, limit));
}

size_t VideoDecoderCacheManager::GetCachedFrameCount() {
  std::lock_guard lock(Lock);
  return MemoryCache->Frames.size() + StorageCache->Frames.size();
}

bool VideoDecoderCacheManager::StorageHasSpace() {
  std::lock_guard lock(Lock);
  return StorageCache->HasSpace;
}

void VideoDecoderCacheManager::LoadTexture(int64_t t) {
  assert(Lock.is_held_by_current_thread());
  ComPtr<ID3D11Texture2D> texture;
  AcquireTexture(texture);
  if (!texture) return;
  Korvane::Native::MeasureTime(true, false, Platform::String());
  int64_t time = 0;
  int64_t duration = 0;
  bool flag = false;
  const bool loaded = StorageCache->LoadFrame(t, texture, time, duration, flag);
  if (!loaded || !MemoryCache->Add(texture, time, duration, flag)) RecycleTexture(texture);
  Korvane::Native::MeasureTime(false, true, "LoadTexture");
}

void VideoDecoderCacheManager::OnFrameEvicted(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration,
                                              bool flag) {
  assert(Lock.is_held_by_current_thread());
  if (!texture || duration <= 0) return;
  StorageCache->Add(texture, time, duration, flag);
  if (texture) {
    // Taken out of the evicting cache's hands: the texture is reused for the next frame.
    RecycleTexture(texture);
    texture.Reset();
  }
}

void VideoDecoderCacheManager::AcquireTexture(ComPtr<ID3D11Texture2D>& texture) {
  assert(Lock.is_held_by_current_thread());
  texture.Reset();
  if (!TexturePool.empty()) {
    texture = std::move(TexturePool.front());
    TexturePool.pop_front();
  } else if (FrameTextureDesc.ArraySize != 0) {
    ThrowIfFailed(Device->CreateTexture2D(&FrameTextureDesc, nullptr, &texture));
  }
}

void VideoDecoderCacheManager::RecycleTexture(ComPtr<ID3D11Texture2D>& texture) {
  assert(Lock.is_held_by_current_thread());
  // A frame handed out by GetFrame may still be shown by its taker: reusing its texture would
  // paint the next decoded frame under the taker's eyes. Only a texture nobody else holds is
  // reused; any other is let go, and the pool makes a new one when it runs dry. Nobody can take
  // a new reference meanwhile: textures are handed out only under Lock.
  texture->AddRef();
  const ULONG references = texture->Release();
  if (references == 1) TexturePool.push_back(texture);
}

}  // namespace korvane
