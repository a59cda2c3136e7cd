// Shared by the frame-cache tests: a software device, NV12 frame textures carrying a
// recognisable picture, their read-back, samples that wrap them as the source reader's do, a
// chosen free-space figure, and folder listings.
#pragma once

#include "cache/VideoDecoderCacheManager.h"
#include "platform/com/ComPtr.h"
#include "platform/d3d11/D3D11.h"
#include "platform/d3d11/DeviceDiagnostics.h"
#include "platform/mf/Mfapi.h"
#include "platform/win32/FileApi.h"
#include "support/TextureReadback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// Reads a cache manager's internals for the tests, each under the manager's Lock.
class VideoDecoderCacheManagerTestAccess {
 public:
  static std::vector<int64_t> MemoryTimes(VideoDecoderCacheManager& m) { return Times(m, *m.MemoryCache); }
  static std::vector<int64_t> StorageTimes(VideoDecoderCacheManager& m) { return Times(m, *m.StorageCache); }
  static size_t PoolSize(VideoDecoderCacheManager& m) {
    std::lock_guard lock(m.Lock);
    return m.TexturePool.size();
  }

 private:
  static std::vector<int64_t> Times(VideoDecoderCacheManager& m, const VideoDecoderCacheBase& cache) {
    std::lock_guard lock(m.Lock);
    std::vector<int64_t> times;
    for (const CachedFrame& f : cache.Frames) times.push_back(f.Time);
    return times;
  }
};

}  // namespace korvane

namespace korvane::cache::test {

using korvane::test::PictureRowBytes;
using korvane::test::PictureRows;

struct TestDevice {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<d3d11::IDeviceDiagnostics> diagnostics;

  d3d11::DeviceStatistics Stats() const { return diagnostics->GetStatistics(); }
};

inline TestDevice MakeDevice() {
  TestDevice d;
  EXPECT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                                    nullptr, 0, D3D11_SDK_VERSION, &d.device, nullptr, &d.context));
  EXPECT_EQ(S_OK, d.device.As(&d.diagnostics));
  return d;
}

// The packed bytes of a width × height picture: every byte depends on its position and on
// `seed`, so two frames never look alike.
inline std::vector<uint8_t> Picture(DXGI_FORMAT format, UINT width, UINT height, int seed) {
  const UINT rows = PictureRows(format, height);
  const UINT rowBytes = PictureRowBytes(format, width);
  std::vector<uint8_t> bytes(static_cast<size_t>(rowBytes) * rows);
  for (UINT row = 0; row < rows; ++row)
    for (UINT col = 0; col < rowBytes; ++col)
      bytes[static_cast<size_t>(row) * rowBytes + col] = static_cast<uint8_t>(row * 13 + col * 7 + seed * 31 + 1);
  return bytes;
}
inline std::vector<uint8_t> Nv12Picture(UINT width, UINT height, int seed) {
  return Picture(DXGI_FORMAT_NV12, width, height, seed);
}

// A frame texture as the decoder's cache textures are: default usage, shader resource.
inline ComPtr<ID3D11Texture2D> MakeFrameTexture(const TestDevice& d, UINT width, UINT height, int seed,
                                                DXGI_FORMAT format = DXGI_FORMAT_NV12) {
  const std::vector<uint8_t> picture = Picture(format, width, height, seed);
  D3D11_TEXTURE2D_DESC desc{width, height, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT,
                            D3D11_BIND_SHADER_RESOURCE, 0, 0};
  D3D11_SUBRESOURCE_DATA data{picture.data(), PictureRowBytes(format, width), 0};
  ComPtr<ID3D11Texture2D> texture;
  EXPECT_EQ(S_OK, d.device->CreateTexture2D(&desc, &data, &texture));
  return texture;
}

// The packed bytes of `texture`.
inline std::vector<uint8_t> ReadPicture(const TestDevice& d, ID3D11Texture2D* texture) {
  return korvane::test::ReadTexture(d.device.Get(), texture).Packed();
}

// Makes GetDiskFreeSpaceExW report `freeBytes` for the object's life.
class ScopedFreeSpace {
 public:
  explicit ScopedFreeSpace(uint64_t freeBytes) { SetDiskFreeSpaceForTesting(freeBytes); }
  ~ScopedFreeSpace() { SetDiskFreeSpaceForTesting(std::nullopt); }
  ScopedFreeSpace(const ScopedFreeSpace&) = delete;
  ScopedFreeSpace& operator=(const ScopedFreeSpace&) = delete;
};

inline constexpr uint64_t kPlentyOfSpace = uint64_t{1} << 40;

// Names of the entries of `folder`, sorted; empty when it does not exist.
inline std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace korvane::cache::test
