// Player: what the walk benchmarks ask of each contender (the engine, ffms2, plain libavcodec):
// get ready to serve frames, then make frame n of the video available as an NV12 picture, either
// as a step from the frame shown (n = shown ± 1) or as a seek. Frames are numbered from 0 in
// presentation order on a constant-rate video.
//
// Each call blocks until the frame is there for the application to use. LumaHash is not part
// of any timing: it reads back the frame shown so that the contenders can be checked to show
// the very same picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvane::bench {

struct MediaInfo {
  int frameCount = 0;
  int fps = 30;  // a constant rate: frame n starts at n / fps
};

class Player {
 public:
  virtual ~Player() = default;
  // Opens the file; returns when frames can be served (the engine: initialized; ffms2: indexed).
  virtual void Open(const std::string& path) = 0;
  virtual void Step(int frame, bool forward) = 0;
  virtual void Seek(int frame) = 0;
  virtual uint64_t LumaHash() = 0;
  // Texture bytes in use (nullopt where they cannot be known) and bytes in the cache folder; 0
  // for contenders without either.
  virtual std::optional<uint64_t> TextureBytes() { return 0; }
  virtual uint64_t DiskBytes() { return 0; }
};

// The engine's caching policy (korvane::CachingPolicy); the default value is the engine's own.
struct EnginePolicy {
  uint64_t diskBudget = 524'288'000;
  bool evictFarthest = false;
  uint64_t ramBudget = 0;
  bool zstd = false;
};

std::unique_ptr<Player> MakeEnginePlayer(const MediaInfo& media, const std::string& cacheFolder,
                                         const EnginePolicy& policy = {});
std::unique_ptr<Player> MakeFfmsPlayer(const MediaInfo& media);
std::unique_ptr<Player> MakeLibavPlayer(const MediaInfo& media);

// Decodes the whole file with libavcodec (threads as above, no conversion) and returns the
// number of frames: what a scan of the file is compared with.
int DecodeWholeFile(const std::string& path);

// FNV-1a over `height` rows of `width` bytes, `pitch` bytes apart.
inline uint64_t HashPlane(const uint8_t* data, size_t pitch, int width, int height) {
  uint64_t hash = 1469598103934665603ull;
  for (int row = 0; row < height; ++row) {
    const uint8_t* line = data + static_cast<size_t>(row) * pitch;
    for (int x = 0; x < width; ++x) hash = (hash ^ line[x]) * 1099511628211ull;
  }
  return hash;
}

}  // namespace korvane::bench
