// Encoding a 1920 x 1080 NV12 picture with JpegEncoder::EncodeAsync (from an in-memory source
// stream to the JPEG in a new in-memory stream, thread-pool hop included) against
// libjpeg-turbo's own tjCompressFromYUVPlanes on the same samples (Y, Cb and Cr already split,
// 4:2:0, quality 90, one handle reused). Runs alternate between the two.
//
// The cost compared is the CPU time the process spends on one encode (all threads: the encode
// runs on a pool thread while the caller waits), medians over the runs: on a machine shared
// with other work, wall-clock time mostly measures how long a woken thread waits for a core.
// Wall-clock medians are printed alongside.
//
// Prints: ratio jpeg_encode_1080p <ours/baseline>
#include "jpeg/JpegEncoder.h"
#include "korvane/JpegEncoder.h"
#include "platform/winrt/Activation.h"
#include "platform/winrt/Async.h"

#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using ABI::Windows::Storage::Streams::IRandomAccessStream;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr int kWarmUps = 3;
constexpr int kRuns = 31;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "jpeg_encode_bench: %s\n", what);
  std::exit(1);
}

std::vector<uint8_t> MakeNv12() {
  std::vector<uint8_t> bytes(size_t{kWidth} * kHeight * 3 / 2);
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x)
      bytes[size_t{y} * kWidth + x] =
          static_cast<uint8_t>(128 + 60 * std::sin(x / 23.0) * std::cos(y / 31.0) + 40 * std::sin((x + 2 * y) / 57.0));
  uint8_t* chroma = bytes.data() + size_t{kWidth} * kHeight;
  for (uint32_t y = 0; y < kHeight / 2; ++y)
    for (uint32_t x = 0; x < kWidth / 2; ++x) {
      chroma[size_t{y} * kWidth + 2 * x] = static_cast<uint8_t>(128 + 70 * std::sin(x / 19.0));
      chroma[size_t{y} * kWidth + 2 * x + 1] = static_cast<uint8_t>(128 + 70 * std::cos(y / 13.0));
    }
  return bytes;
}

ComPtr<IRandomAccessStream> MemoryStream(const std::vector<uint8_t>& bytes) {
  const Platform::String name(korvane::winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IInspectable> instance;
  ComPtr<IRandomAccessStream> stream;
  ComPtr<IStream> io;
  ULONG written = 0;
  if (FAILED(RoActivateInstance(name.Get(), &instance)) || FAILED(instance.As(&stream)) ||
      FAILED(CreateStreamOverRandomAccessStream(stream.Get(), IID_PPV_ARGS(&io))) ||
      FAILED(io->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)))
    Fail("cannot make the source stream");
  return stream;
}

double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double WallMs() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

// CPU and wall-clock milliseconds of one call of `run`.
template <class Run>
std::pair<double, double> Measure(Run&& run) {
  const double cpu = ProcessCpuMs(), wall = WallMs();
  run();
  return {ProcessCpuMs() - cpu, WallMs() - wall};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  const std::vector<uint8_t> nv12 = MakeNv12();

  // Baseline planes: Y as it is, Cb and Cr split out of the interleaved plane beforehand.
  std::vector<uint8_t> cb(size_t{kWidth / 2} * (kHeight / 2)), cr(cb.size());
  const uint8_t* chroma = nv12.data() + size_t{kWidth} * kHeight;
  for (size_t i = 0; i < cb.size(); ++i) {
    cb[i] = chroma[2 * i];
    cr[i] = chroma[2 * i + 1];
  }
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  const unsigned char* planes[3] = {nv12.data(), cb.data(), cr.data()};
  int strides[3] = {int(kWidth), int(kWidth / 2), int(kWidth / 2)};
  unsigned long baselineSize = 0;
  auto baseline = [&] {
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompressFromYUVPlanes(handle.get(), planes, int(kWidth), strides, int(kHeight), TJSAMP_420, &jpeg, &size,
                                90, 0) != 0)
      Fail("tjCompressFromYUVPlanes failed");
    tjFree(jpeg);
    baselineSize = size;
  };

  ComPtr<ABI::Korvane::Native::IJpegEncoder> encoder = MakeRuntimeObject<korvane::JpegEncoder>();
  ComPtr<IRandomAccessStream> source = MemoryStream(nv12);
  UINT64 oursSize = 0;
  auto ours = [&] {
    ComPtr<ABI::Windows::Foundation::IAsyncOperationWithProgress<IRandomAccessStream*, double>> operation;
    ComPtr<IRandomAccessStream> jpeg;
    if (FAILED(encoder->EncodeAsync(source.Get(), kWidth, kHeight, &operation)) ||
        korvane::winrt::WaitForCompletion(operation.Get()) != S_OK || FAILED(operation->GetResults(&jpeg)) || !jpeg ||
        FAILED(jpeg->get_Size(&oursSize)))
      Fail("EncodeAsync failed");
  };

  std::vector<double> baselineCpu, baselineWall, oursCpu, oursWall;
  for (int run = 0; run < kWarmUps + kRuns; ++run) {
    const auto [bCpu, bWall] = Measure(baseline);
    if (FAILED(source->Seek(0))) Fail("cannot rewind the source");
    const auto [oCpu, oWall] = Measure(ours);
    if (run < kWarmUps) continue;
    baselineCpu.push_back(bCpu);
    baselineWall.push_back(bWall);
    oursCpu.push_back(oCpu);
    oursWall.push_back(oWall);
  }
  if (oursSize != baselineSize) Fail("the two JPEGs differ in size");

  std::printf(
      "jpeg_encode_1080p: %lu bytes; medians of %d runs: CPU ours %.2f ms, tjCompressFromYUVPlanes %.2f ms; "
      "wall ours %.2f ms, tjCompressFromYUVPlanes %.2f ms\n",
      baselineSize, kRuns, Median(oursCpu), Median(baselineCpu), Median(oursWall), Median(baselineWall));
  std::printf("ratio jpeg_encode_1080p %.3f\n", Median(oursCpu) / Median(baselineCpu));
  return 0;
}
