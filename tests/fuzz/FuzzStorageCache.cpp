// Fuzz target: the disk cache's frame files. A frame of a size taken from the input is stored,
// its file on disk is then replaced by the rest of the input, and the frame is loaded back twice
// (the second load reuses the read buffer the first one sized). Loading must never read or write
// out of bounds, whatever the file holds: a file of the wrong length is dropped, any other is
// read as a frame.
#include "cache/VideoDecoderStorageCache.h"
#include "platform/d3d11/D3D11.h"
#include "platform/win32/FileApi.h"

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int64_t kTime = 0;
constexpr int64_t kDuration = 333'333;

struct Setup {
  Setup() {
    char pattern[] = "/tmp/korvane-fuzz-cache-XXXXXX";
    folder = ::mkdtemp(pattern) != nullptr ? std::string(pattern) + "/cache" : "/tmp/korvane-fuzz-cache";
    D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device, nullptr,
                      &context);
    SetDiskFreeSpaceForTesting(uint64_t{2} << 30);
  }
  std::string folder;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
};

ComPtr<ID3D11Texture2D> Nv12Texture(ID3D11Device* device, UINT width, UINT height) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_NV12;
  desc.SampleDesc = {1, 0};
  desc.Usage = D3D11_USAGE_DEFAULT;
  ComPtr<ID3D11Texture2D> texture;
  device->CreateTexture2D(&desc, nullptr, &texture);
  return texture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  if (size < 2) return 0;
  // Even sizes from 2 × 2 to 128 × 128, as the decoder's frames are.
  const UINT width = 2 + 2 * (data[0] % 64), height = 2 + 2 * (data[1] % 64);
  ComPtr<ID3D11Texture2D> frame = Nv12Texture(setup.device.Get(), width, height);
  ComPtr<ID3D11Texture2D> target = Nv12Texture(setup.device.Get(), width, height);
  if (!frame || !target) return 0;

  korvane::VideoDecoderStorageCache cache(setup.device, setup.context, Platform::String(setup.folder));
  if (!cache.Add(frame, kTime, kDuration, false)) return 0;
  const std::string path = setup.folder + "/" + std::to_string(kTime) + "_" + std::to_string(kDuration) + "_0.tmp";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data + 2, 1, size - 2, file);
    std::fclose(file);
  }
  for (int load = 0; load < 2; ++load) {
    int64_t time = 0, duration = 0;
    bool flag = false;
    cache.LoadFrame(kTime, target, time, duration, flag);
  }
  return 0;
}
