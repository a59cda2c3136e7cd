// What a software device can tell tests and benchmarks about itself: how many textures (and
// how many bytes of texture memory) are alive and have been at most, and how many context calls
// it refused. Queried from the device (ID3D11Device::QueryInterface).
#pragma once

#include "platform/com/Unknown.h"

#include <cstdint>
#include <string>

namespace korvane::d3d11 {

// A consistent snapshot: the live and peak values are read together.
struct DeviceStatistics {
  uint64_t liveTextures = 0;
  uint64_t peakTextures = 0;
  uint64_t liveBytes = 0;   // texture memory, padded rows included
  uint64_t peakBytes = 0;
  uint64_t texturesCreated = 0;
  // Calls refused as invalid use: those that return E_INVALIDARG (CreateTexture2D, Map) and
  // those that return void on the real API (CopySubresourceRegion, Unmap, Leave) alike.
  uint64_t rejectedCalls = 0;
  uint64_t copies = 0;  // CopySubresourceRegion calls that copied
  uint64_t flushes = 0;
};

struct IDeviceDiagnostics : IUnknown {
  static constexpr GUID kIid{0x4C1D0B7A, 0x2E55, 0x4F0B, {0x8D, 0x31, 0x6A, 0x02, 0xB9, 0x7E, 0x44, 0xD3}};
  using BaseInterface = IUnknown;

  // Thread-safe; textures still alive after the device is released keep counting here.
  virtual DeviceStatistics GetStatistics() = 0;
  // Why the latest rejected call was refused, naming the call and the bad value; empty when
  // nothing has been rejected yet.
  virtual std::string GetLastRejection() = 0;
};

}  // namespace korvane::d3d11
