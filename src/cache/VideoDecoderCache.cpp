#include "cache/VideoDecoderCache.h"

#include <iterator>
#include <utility>

namespace korvane {

VideoDecoderCache::VideoDecoderCache(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                                     EvictionCallbackType evictionCallback)
    : VideoDecoderCacheBase(std::move(device), std::move(context)), EvictionCallback(std::move(evictionCallback)) {}

// Records go without passing through EvictionCallback; see the header.
VideoDecoderCache::~VideoDecoderCache() = default;

uint64_t VideoDecoderCache::GetSize() { return Frames.size(); }

bool VideoDecoderCache::Add(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool /*flag*/) {
  // The memory cache records every frame with Flag false, whatever it was given.
  const bool inserted = Frames.insert(CachedFrame(texture, time, duration, false)).second;
  // Submit the copy that filled the texture, also when the frame was already cached: the
  // caller is about to reuse or release that texture either way.
  Context->Flush();
  return inserted;
}

void VideoDecoderCache::Evict(FrameSet::const_iterator position) {
  // The record goes first, so that the callback is handed the cache's only reference and can
  // tell from the count whether anyone outside still holds the texture.
  ComPtr<ID3D11Texture2D> texture = position->Texture;
  const int64_t time = position->Time;
  const int64_t duration = position->Duration;
  const bool flag = position->Flag;
  Erase(position);
  EvictionCallback(texture, time, duration, flag);
  // `texture` drops whatever reference the callback left in it.
}

void VideoDecoderCache::Clear() {
  while (!Frames.empty()) Evict(Frames.begin());
}

void VideoDecoderCache::RemoveBefore(int64_t time) {
  while (!Frames.empty() && Frames.begin()->Time < time) Evict(Frames.begin());
}

void VideoDecoderCache::RemoveAfter(int64_t time) {
  while (!Frames.empty() && std::prev(Frames.end())->Time > time) Evict(std::prev(Frames.end()));
}

}  // namespace korvane
