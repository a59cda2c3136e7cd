// Fuzz target: the JPEG encoder's sizes and source lengths, through its public interface. The
// input's first byte chooses between sizes taken raw from the input (anything up to 2^32 - 1,
// checked before any read) and a small picture whose source is a few bytes too long or short,
// or exactly right (then encoded), with the rest of the input as pixels.
#include "jpeg/JpegEncoder.h"
#include "platform/winrt/Async.h"
#include "platform/winrt/InMemoryRandomAccessStream.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using ABI::Windows::Foundation::IAsyncOperationWithProgress;
using ABI::Windows::Storage::Streams::IRandomAccessStream;

uint32_t Read32(const uint8_t* data) {
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  uint32_t width = 0, height = 0;
  uint64_t length = 0;
  if ((data[0] & 1) != 0) {
    width = Read32(data + 1);
    height = Read32(data + 5);
    length = size - 9;
  } else {
    width = 1 + data[1] % 97;
    height = 1 + data[2] % 97;
    const uint64_t exact = uint64_t{width} * height + (uint64_t{width} * height + 1) / 2;
    // Mostly exact, so that most inputs get encoded; otherwise up to 4 bytes either way.
    const int offset = data[3] < 192 ? 0 : data[3] % 9 - 4;
    length = exact + static_cast<uint64_t>(static_cast<int64_t>(offset));
    if (static_cast<int64_t>(length) < 0) length = 0;
  }
  std::vector<uint8_t> pixels(length);
  if (size > 9)
    for (uint64_t i = 0; i < length; ++i) pixels[i] = data[9 + i % (size - 9)];

  const auto source = MakeRuntimeObject<korvane::winrt::InMemoryRandomAccessStream>();
  ULONG written = 0;
  if (!pixels.empty()) source->WriteAt(pixels.data(), static_cast<ULONG>(pixels.size()), &written);
  source->Seek(0);
  const auto encoder = MakeRuntimeObject<korvane::JpegEncoder>();
  ComPtr<IAsyncOperationWithProgress<IRandomAccessStream*, double>> operation;
  if (FAILED(encoder->EncodeAsync(source.Get(), width, height, &operation))) std::abort();
  // An encode that never ends is a fault like a crash.
  if (korvane::winrt::WaitForCompletion(operation.Get(), std::chrono::seconds(20)) == korvane::winrt::kAsyncWaitTimeout)
    std::abort();
  ComPtr<IRandomAccessStream> jpeg;
  operation->GetResults(&jpeg);
  return 0;
}
