// Storing a 1920 x 1080 NV12 frame in the storage cache and loading it back into a texture
// (VideoDecoderStorageCache::Add, then LoadFrame: staging copy, Map, one file written; file
// read, Map, copy into the texture) against writing and reading back the same bytes with plain
// stdio (fopen/fwrite/fclose, fopen/fread/fclose), one new file per run on both sides. Runs
// alternate between the two so that page-cache and writeback pressure fall on both alike.
//
// The cost compared is the process's CPU time (user + system, where file writes into the page
// cache are spent), medians over the runs; wall-clock medians are printed alongside.
//
// Prints: ratio cache_store_load_1080p <ours/baseline>
#include "cache/VideoDecoderStorageCache.h"
#include "platform/d3d11/D3D11.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr UINT kWidth = 1920;
constexpr UINT kHeight = 1080;
constexpr int kWarmUps = 5;
// Below the 169 frames the disk budget allows at this size.
constexpr int kRuns = 61;
constexpr int64_t kDuration = 333'333;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "cache_store_load_bench: %s\n", what.c_str());
  std::exit(1);
}

double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Cost {
  double cpu;
  double wall;
};

template <class Run>
Cost Measure(Run&& run) {
  const double cpu = ProcessCpuMs();
  const double wall = WallMs();
  run();
  return {ProcessCpuMs() - cpu, WallMs() - wall};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

ComPtr<ID3D11Texture2D> FrameTexture(ID3D11Device* device, const std::vector<uint8_t>& picture) {
  D3D11_TEXTURE2D_DESC desc{kWidth, kHeight, 1, 1, DXGI_FORMAT_NV12, {1, 0}, D3D11_USAGE_DEFAULT,
                            D3D11_BIND_SHADER_RESOURCE, 0, 0};
  D3D11_SUBRESOURCE_DATA data{picture.data(), kWidth, 0};
  ComPtr<ID3D11Texture2D> texture;
  if (FAILED(device->CreateTexture2D(&desc, picture.empty() ? nullptr : &data, &texture))) Fail("CreateTexture2D failed");
  return texture;
}

// The bytes the cache writes per frame: the mapped staging subresource.
size_t MappedFrameBytes(ID3D11Device* device, ID3D11DeviceContext* context) {
  D3D11_TEXTURE2D_DESC desc{kWidth, kHeight, 1, 1, DXGI_FORMAT_NV12, {1, 0}, D3D11_USAGE_STAGING, 0,
                            D3D11_CPU_ACCESS_READ, 0};
  ComPtr<ID3D11Texture2D> staging;
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging)) ||
      FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped)))
    Fail("cannot map a staging texture");
  context->Unmap(staging.Get(), 0);
  return mapped.DepthPitch;
}

void PlainWriteAndRead(const std::string& path, const std::vector<uint8_t>& bytes, std::vector<uint8_t>& back) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0)
    Fail("plain write failed");
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr || std::fread(back.data(), 1, back.size(), in) != back.size() || std::fclose(in) != 0)
    Fail("plain read failed");
}

}  // namespace

int main() {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                               nullptr, &context)))
    Fail("D3D11CreateDevice failed");

  std::vector<uint8_t> picture(size_t{kWidth} * kHeight * 3 / 2);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / 1920);
  ComPtr<ID3D11Texture2D> source = FrameTexture(device.Get(), picture);
  ComPtr<ID3D11Texture2D> target = FrameTexture(device.Get(), {});

  const std::filesystem::path root = std::filesystem::temp_directory_path() / "korvane-cache-bench";
  std::filesystem::create_directories(root);
  const std::string cacheFolder = (root / "cache").string();
  const std::string plainFolder = (root / "plain").string();
  std::filesystem::create_directories(plainFolder);

  korvane::VideoDecoderStorageCache cache(device, context, Platform::String(cacheFolder));
  if (!cache.HasSpace) Fail("the disk has less than 1 GiB free: the cache would store nothing");

  const size_t frameBytes = MappedFrameBytes(device.Get(), context.Get());
  std::vector<uint8_t> plainBytes(frameBytes, 0x5A);
  std::vector<uint8_t> plainBack(frameBytes);

  std::vector<double> oursCpu, oursWall, plainCpu, plainWall;
  for (int run = 0; run < kWarmUps + kRuns; ++run) {
    const int64_t time = run * kDuration;
    const Cost ours = Measure([&] {
      int64_t loadedTime = 0, loadedDuration = 0;
      bool flag = false;
      if (!cache.Add(source, time, kDuration, false)) Fail("Add refused run " + std::to_string(run));
      if (!cache.LoadFrame(time, target, loadedTime, loadedDuration, flag) || loadedTime != time)
        Fail("LoadFrame failed at run " + std::to_string(run));
    });
    const std::string plainPath = plainFolder + "/" + std::to_string(run) + ".raw";
    const Cost plain = Measure([&] { PlainWriteAndRead(plainPath, plainBytes, plainBack); });
    // Unlinked at once on both sides, so that dirty pages never pile up into writeback that
    // one side would pay for the other.
    std::filesystem::remove(plainPath);
    std::filesystem::remove(cacheFolder + "/" + std::to_string(time) + "_" + std::to_string(kDuration) + "_0.tmp");
    if (run < kWarmUps) continue;
    oursCpu.push_back(ours.cpu);
    oursWall.push_back(ours.wall);
    plainCpu.push_back(plain.cpu);
    plainWall.push_back(plain.wall);
  }
  std::filesystem::remove_all(root);

  const double ratio = Median(oursCpu) / Median(plainCpu);
  std::printf("cache_store_load_1080p: %zu bytes a frame; CPU ms median ours %.3f, stdio %.3f; wall ms median ours %.3f, stdio %.3f\n",
              frameBytes, Median(oursCpu), Median(plainCpu), Median(oursWall), Median(plainWall));
  std::printf("ratio cache_store_load_1080p %.3f\n", ratio);
  return 0;
}
