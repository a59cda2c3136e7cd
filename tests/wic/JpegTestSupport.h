// Helpers for the JPEG tests (here and in tests/jpeg): a generated NV12 picture, in-memory
// streams, a libjpeg-turbo decode back to Y, Cb and Cr planes, and PSNR against the source.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/winrt/Activation.h"
#include "platform/winrt/RandomAccessStream.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

namespace korvane::testing {

// NV12 as the imaging component's planar formats define it: W x H luma (stride W), then
// ceil(H / 2) rows of ceil(W / 2) Cb, Cr pairs. For even sides this is the component's layout.
struct Nv12Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> y, cbcr;

  uint32_t ChromaStride() const { return 2 * ((width + 1) / 2); }
  uint32_t ChromaRows() const { return (height + 1) / 2; }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> all(y);
    all.insert(all.end(), cbcr.begin(), cbcr.end());
    return all;
  }
};

// Smooth shapes with texture; Cb and Cr follow different patterns, so a swap shows.
inline Nv12Picture MakeNv12Picture(uint32_t width, uint32_t height) {
  Nv12Picture p{width, height, std::vector<uint8_t>(size_t{width} * height), {}};
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t x = 0; x < width; ++x)
      p.y[size_t{r} * width + x] =
          uint8_t(128 + 60 * std::sin(x / 23.0) * std::cos(r / 31.0) + 40 * std::sin((x + 2 * r) / 57.0));
  p.cbcr.resize(size_t{p.ChromaStride()} * p.ChromaRows());
  for (size_t i = 0; i < p.cbcr.size(); i += 2) {
    p.cbcr[i] = uint8_t(128 + 70 * std::sin((i % p.ChromaStride()) / 38.0));
    p.cbcr[i + 1] = uint8_t(128 + 70 * std::cos(double(i / p.ChromaStride()) / 13.0));
  }
  return p;
}

inline ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> MemoryStream(const std::vector<uint8_t>& bytes) {
  const Platform::String name(winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IInspectable> instance;
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
  ComPtr<IStream> io;
  ULONG written = 0;
  EXPECT_EQ(S_OK, RoActivateInstance(name.Get(), &instance));
  EXPECT_EQ(S_OK, instance.As(&stream));
  EXPECT_EQ(S_OK, CreateStreamOverRandomAccessStream(stream.Get(), IID_PPV_ARGS(&io)));
  if (!bytes.empty()) {
    EXPECT_EQ(S_OK, io->Write(bytes.data(), ULONG(bytes.size()), &written));
  }
  EXPECT_EQ(S_OK, stream->Seek(0));
  return stream;
}

// The whole content of `stream`; leaves it at its end.
inline std::vector<uint8_t> StreamBytes(ABI::Windows::Storage::Streams::IRandomAccessStream* stream) {
  UINT64 size = 0;
  ComPtr<IStream> io;
  EXPECT_EQ(S_OK, stream->get_Size(&size));
  EXPECT_EQ(S_OK, stream->Seek(0));
  EXPECT_EQ(S_OK, CreateStreamOverRandomAccessStream(stream, IID_PPV_ARGS(&io)));
  std::vector<uint8_t> bytes(size);
  ULONG read = 0;
  if (size > 0) {
    EXPECT_EQ(S_OK, io->Read(bytes.data(), ULONG(size), &read));
  }
  return bytes;
}

struct DecodedYuv {
  int width = 0, height = 0, subsampling = -1;
  int strides[3] = {};
  std::vector<uint8_t> planes[3];
};

inline DecodedYuv DecodeToYuv(const std::vector<uint8_t>& jpeg) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  DecodedYuv out;
  int colorspace = 0;
  if (jpeg.empty() || tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &out.width, &out.height,
                                          &out.subsampling, &colorspace) != 0)
    throw std::runtime_error("not a JPEG");
  unsigned char* planes[3] = {};
  for (int i = 0; i < 3; ++i) {
    out.strides[i] = tjPlaneWidth(i, out.width, out.subsampling);
    out.planes[i].resize(tjPlaneSizeYUV(i, out.width, 0, out.height, out.subsampling));
    planes[i] = out.planes[i].data();
  }
  if (tjDecompressToYUVPlanes(handle.get(), jpeg.data(), jpeg.size(), planes, out.width, out.strides, out.height, 0))
    throw std::runtime_error(tjGetErrorStr2(handle.get()));
  return out;
}

// PSNR (dB) of a width x height region; `step` is the distance between a row's samples.
inline double Psnr(const uint8_t* a, size_t aStride, size_t aStep, const uint8_t* b, size_t bStride, uint32_t width,
                   uint32_t height) {
  double squares = 0;
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t x = 0; x < width; ++x) {
      const double d = double(a[r * aStride + x * aStep]) - double(b[r * bStride + x]);
      squares += d * d;
    }
  return squares == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * width * height / squares);
}

// The lowest of the Y, Cb and Cr PSNRs of a decoded JPEG against its source picture.
inline double WorstPlanePsnr(const Nv12Picture& p, const DecodedYuv& d) {
  const uint32_t cw = p.ChromaStride() / 2;
  return std::min({Psnr(p.y.data(), p.width, 1, d.planes[0].data(), d.strides[0], p.width, p.height),
                   Psnr(p.cbcr.data(), p.ChromaStride(), 2, d.planes[1].data(), d.strides[1], cw, p.ChromaRows()),
                   Psnr(p.cbcr.data() + 1, p.ChromaStride(), 2, d.planes[2].data(), d.strides[2], cw, p.ChromaRows())});
}

}  // namespace korvane::testing
