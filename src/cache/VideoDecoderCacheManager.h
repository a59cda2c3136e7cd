// VideoDecoderCacheManager: the single entry point of frame caching for one opened video. It
// owns a memory cache (textures), a storage cache (files), a pool of reusable frame textures,
// the description of a decoded frame and the current position. Policy: only frames within
// kCachingWindow (0.1 s) of the position live in texture memory; every other frame goes to disk
// while the disk allows, and comes back into memory when the position reaches it.
//
// Threads and locks. Lock (a non-recursive critical section) guards both caches, the texture
// pool, FrameTextureDesc and Position. Every public operation takes it for its whole duration,
// so the manager may be called from any thread (the reader's callback thread, the position
// worker, client threads). Lock is the innermost lock of the component: while holding it the
// manager calls only the two caches, the platform and the stopwatch, and never calls back into
// the decoder, so callers may hold their own locks when they call in. The private operations
// (LoadTexture, OnFrameEvicted, AcquireTexture, RecycleTexture, CaptureFrameDescription,
// NeighbourAcrossCaches) run only inside an operation that already holds it, and assert so in
// debug builds; the memory cache calls OnFrameEvicted synchronously on that thread. Nothing
// outside reaches the caches: the decoder asks through the operations below.
//
// Ownership. The decoder makes the manager with std::make_shared and is its only owner. A
// texture handed out by GetFrame is a new reference the caller owns; the frame it shows stays
// in the memory cache until a SetPosition trims it, and its pixels never change: a texture goes
// back to the pool only when the pool would hold its last reference.
//
// Errors. A failing HRESULT of the platform calls in AddFrame and of texture creation is thrown
// as the platform exception carrying it; the caches are then unchanged and a texture already
// taken from the pool is released, not returned. File errors never throw (see the storage
// cache).
//
// Destruction, in this order: take Lock; evict every memory frame through OnFrameEvicted (each
// is offered to disk while the budget allows, its texture goes to the pool); forget the storage
// records (files stay on disk); release the memory cache, then the storage cache; release the
// pooled textures from the front; release Lock.
#pragma once

#include "cache/MediaTime.h"
#include "cache/VideoDecoderCache.h"
#include "cache/VideoDecoderStorageCache.h"
#include "platform/com/ComPtr.h"
#include "platform/com/HString.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfobjects.h"
#include "platform/threading/CriticalSection.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

namespace korvane {

class VideoDecoderCacheManager {
 public:
  // The storage cache wipes and recreates `cacheFolderPath` here (see VideoDecoderStorageCache)
  // and keeps frames off the memory window as `policy` says. Throws
  // Platform::InvalidArgumentException for a null device or context.
  VideoDecoderCacheManager(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                           Platform::String cacheFolderPath, const CachingPolicy& policy = {});
  ~VideoDecoderCacheManager();
  VideoDecoderCacheManager(const VideoDecoderCacheManager&) = delete;
  VideoDecoderCacheManager& operator=(const VideoDecoderCacheManager&) = delete;

  // Copies the decoded frame of `sample` (a texture in a DXGI buffer, in the decoder's output
  // format) into a pooled texture and caches it: in memory when Position - kCachingWindow <=
  // time <= Position + kCachingWindow, on disk otherwise. False, without copying or touching
  // the pool, when the chosen cache already has a frame matching `time`; false also when the
  // chosen cache refuses it (the texture then returns to the pool). The first call captures the
  // frame description for the manager's life, whichever cache the frame goes to. Throws for a
  // null sample, and the platform exception of the copy for a frame of another size or format
  // than the first.
  bool AddFrame(ComPtr<IMFSample>& sample, int64_t time, int64_t duration);
  // Whether either cache has a frame matching t that can be had. A disk record whose file is not
  // whole is dropped here and does not count: the decoder then decodes the frame again instead
  // of completing its window on a frame that no load can deliver.
  bool IsFrameCached(int64_t t);
  // The texture of the frame at t (a new reference), loading it from disk into memory when only
  // the disk has it; null when neither cache has it. Does not trim the memory cache.
  void GetFrame(ComPtr<ID3D11Texture2D>& frame, int64_t t);
  ComPtr<ID3D11Texture2D> GetFrame(int64_t t);
  // Time / Duration of the memory cache's cursor frame; -1 when there is none.
  int64_t GetCurrentFrameTime();
  int64_t GetCurrentFrameDuration();
  // Duration of the frame at t: memory first, disk when memory gives less than 1; 0 when none.
  int64_t GetFrameDuration(int64_t t);
  // Where the frame containing t ends (its Time + Duration), memory first; -1 when neither cache
  // has a frame containing t.
  int64_t GetFrameEndTime(int64_t t);
  // Sets Position, moves both cursors, loads the nearest disk frame into memory when memory has
  // no frame containing t and the disk frame is nearer (or contains t), then evicts to disk the
  // memory frames more than kCachingWindow from the memory cursor. True when the memory cursor
  // frame contains t, or when a load moved the memory cursor.
  bool SetPosition(int64_t t);
  // Memory first; the disk is asked only when memory answers exactly -1; when both do, the frame
  // containing t in one cache is paired with its neighbour in the other.
  int64_t GetPreviousFrameTime(int64_t t);
  int64_t GetNextFrameTime(int64_t t);
  // The longer of the two caches' gap-free runs from t, each capped at limit; runs are not
  // joined across the caches.
  int64_t GetCachedRangeEnd(int64_t t, int64_t limit);
  // The number of frame records in both caches together (not the caches' own GetSize).
  size_t GetCachedFrameCount();
  // Whether the storage cache may still write frames (its HasSpace).
  bool StorageHasSpace();

 private:
  friend class VideoDecoderCacheManagerTestAccess;

  void LoadTexture(int64_t t);
  void OnFrameEvicted(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag);
  void AcquireTexture(ComPtr<ID3D11Texture2D>& texture);
  void RecycleTexture(ComPtr<ID3D11Texture2D>& texture);
  void CaptureFrameDescription(IMFSample* sample);
  enum class Neighbour { kPrevious, kNext };
  int64_t NeighbourAcrossCaches(int64_t t, Neighbour neighbour) const;

  // Bound to OnFrameEvicted; the memory cache holds a copy as its EvictionCallback.
  VideoDecoderCache::EvictionCallbackType EvictionHandler;
  // Guards every field below (and everything reachable from the caches). Innermost lock.
  Concurrency::critical_section Lock;
  ComPtr<ID3D11Device> Device;
  ComPtr<ID3D11DeviceContext> Context;
  // -- guarded by Lock --
  std::shared_ptr<VideoDecoderCache> MemoryCache;
  std::shared_ptr<VideoDecoderStorageCache> StorageCache;
  // Textures free for reuse, each held by the pool alone: taken from the front, returned at the
  // back; no size limit.
  std::deque<ComPtr<ID3D11Texture2D>> TexturePool;
  // Description of a frame texture; ArraySize 0 until the first sample has been seen.
  D3D11_TEXTURE2D_DESC FrameTextureDesc{};
  int64_t Position = 0;
};

}  // namespace korvane
