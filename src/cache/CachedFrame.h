// CachedFrame: the record both frame caches hold, one per decoded frame.
//
// A frame occupies the half-open interval [Time, EndTime). The memory cache fills Texture and
// leaves FilePath empty; the storage cache leaves Texture null and names the frame's file in
// FilePath. A record is a plain value: it owns one reference to its texture and one to its path
// string, and is copied and destroyed by whichever container holds it.
#pragma once

#include "cache/TimeArithmetic.h"
#include "platform/com/ComPtr.h"
#include "platform/com/HString.h"
#include "platform/d3d11/D3D11.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace korvane {

struct CachedFrame {
  ComPtr<ID3D11Texture2D> Texture;
  int64_t Time = 0;
  int64_t Duration = 0;
  int64_t EndTime = 0;  // Time + Duration, fixed when the record is built
  bool Flag = false;
  Platform::String FilePath;
  // Storage cache under a caching policy other than the default: the frame's encoded bytes when
  // they are kept in memory (no file then), and the length of its file or of those bytes.
  std::shared_ptr<std::vector<uint8_t>> Payload;
  uint64_t StoredBytes = 0;

  CachedFrame() = default;
  // EndTime is Time + Duration, clamped at the ends of the 64-bit range.
  CachedFrame(ComPtr<ID3D11Texture2D> texture, int64_t time, int64_t duration, bool flag,
              Platform::String filePath = {})
      : Texture(std::move(texture)),
        Time(time),
        Duration(duration),
        EndTime(SaturatingAdd(time, duration)),
        Flag(flag),
        FilePath(std::move(filePath)) {}

  // (Time + EndTime) / 2, truncated toward zero.
  int64_t Midpoint() const noexcept { return TimeMidpoint(Time, EndTime); }
  // Time <= t < EndTime.
  bool ContainsTime(int64_t t) const noexcept { return Time <= t && t < EndTime; }
};

}  // namespace korvane
