// VideoDecoderCache: the in-memory frame cache. Each record holds a reference to a Direct3D 11
// texture with the decoded frame.
//
// Threads and locks: none of its own; see VideoDecoderCacheBase. EvictionCallback runs on the
// calling thread, inside the manager's locked region, so its target must not take the manager's
// Lock again.
//
// Eviction (Clear, RemoveBefore, RemoveAfter): for each frame leaving, the record is erased and
// EvictionCallback gets the cache's reference to the texture (the only one the cache had) with
// the frame's Time, Duration and Flag; it may take the texture out of that reference (the manager
// moves it to its texture pool). An empty callback throws std::bad_function_call; if the callback
// throws, the frame is gone from the cache all the same and the exception propagates.
//
// Destruction drops every record without calling EvictionCallback: a caller that wants the
// frames handed on calls Clear first (the manager does).
#pragma once

#include "cache/VideoDecoderCacheBase.h"

#include <functional>

namespace korvane {

class VideoDecoderCache final : public VideoDecoderCacheBase {
 public:
  using EvictionCallbackType = std::function<void(ComPtr<ID3D11Texture2D>&, int64_t time, int64_t duration, bool flag)>;

  VideoDecoderCache(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                    EvictionCallbackType evictionCallback);
  ~VideoDecoderCache() override;

  // Number of records.
  uint64_t GetSize() override;
  // Inserts {texture (new reference), time, duration, time + duration, false}: the flag is not
  // recorded. An equivalent record already present stays and the new one is dropped (false).
  // Flushes Context whether or not it inserted, so the copy that filled the texture is
  // submitted.
  bool Add(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) override;
  // Evicts every frame, earliest first.
  void Clear() override;
  // Evicts from the earliest frame while its Time < time (a frame at exactly `time` stays).
  void RemoveBefore(int64_t time) override;
  // Evicts from the latest frame while its Time > time (a frame at exactly `time` stays).
  void RemoveAfter(int64_t time) override;

  EvictionCallbackType EvictionCallback;

 private:
  void Evict(FrameSet::const_iterator position);
};

}  // namespace korvane
