// Test pictures for the JPEG tests: a generated NV12 picture, a libjpeg-turbo decode of a JPEG
// back to its Y, Cb and Cr planes, and PSNR between planes. Header-only so that the component's
// tests (tests/jpeg) can use it too.
#pragma once

#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::testing {

// NV12 as the imaging component's planar formats define it: a W x H luma plane (stride W) and
// ceil(H / 2) rows of ceil(W / 2) interleaved Cb, Cr pairs (stride 2 * ceil(W / 2)). For even
// sides this is exactly the component's layout: luma then W x H / 2 chroma bytes.
struct Nv12Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> y;
  std::vector<uint8_t> cbcr;

  uint32_t ChromaStride() const { return 2 * ((width + 1) / 2); }
  uint32_t ChromaRows() const { return (height + 1) / 2; }
  // Luma followed by chroma, as one buffer.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> all(y);
    all.insert(all.end(), cbcr.begin(), cbcr.end());
    return all;
  }
};

// Smooth shapes with some texture, so that quality matters but a good encoder keeps it; Cb and
// Cr follow different patterns, so that swapping them cannot go unnoticed.
inline Nv12Picture MakeNv12Picture(uint32_t width, uint32_t height) {
  Nv12Picture p;
  p.width = width;
  p.height = height;
  p.y.resize(size_t{width} * height);
  for (uint32_t row = 0; row < height; ++row)
    for (uint32_t x = 0; x < width; ++x)
      p.y[size_t{row} * width + x] = static_cast<uint8_t>(
          128 + 60 * std::sin(x / 23.0) * std::cos(row / 31.0) + 40 * std::sin((x + 2 * row) / 57.0));
  p.cbcr.resize(size_t{p.ChromaStride()} * p.ChromaRows());
  for (uint32_t row = 0; row < p.ChromaRows(); ++row)
    for (uint32_t pair = 0; pair < p.ChromaStride() / 2; ++pair) {
      uint8_t* at = &p.cbcr[size_t{row} * p.ChromaStride() + 2 * pair];
      at[0] = static_cast<uint8_t>(128 + 70 * std::sin(pair / 19.0));  // Cb: varies across
      at[1] = static_cast<uint8_t>(128 + 70 * std::cos(row / 13.0));   // Cr: varies down
    }
  return p;
}

struct DecodedYuv {
  int width = 0;
  int height = 0;
  int subsampling = -1;  // TJSAMP_*
  int strides[3] = {};
  std::vector<uint8_t> planes[3];  // Y, Cb, Cr as libjpeg-turbo lays them out
};

inline DecodedYuv DecodeToYuv(const std::vector<uint8_t>& jpeg) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  DecodedYuv out;
  int colorspace = -1;
  if (jpeg.empty() || tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &out.width, &out.height,
                                          &out.subsampling, &colorspace) != 0)
    throw std::runtime_error("not a JPEG header");
  unsigned char* planes[3] = {};
  for (int i = 0; i < 3; ++i) {
    out.strides[i] = tjPlaneWidth(i, out.width, out.subsampling);
    out.planes[i].resize(tjPlaneSizeYUV(i, out.width, 0, out.height, out.subsampling));
    planes[i] = out.planes[i].data();
  }
  if (tjDecompressToYUVPlanes(handle.get(), jpeg.data(), jpeg.size(), planes, out.width, out.strides, out.height,
                              0) != 0)
    throw std::runtime_error(std::string("undecodable JPEG: ") + tjGetErrorStr2(handle.get()));
  return out;
}

// PSNR in dB of a `width` x `height` region of two 8-bit planes; 99 for identical planes.
// `aStep` / `bStep` are the distances between neighbouring samples of a row (2 for a channel
// of an interleaved CbCr plane).
inline double Psnr(const uint8_t* a, size_t aStride, size_t aStep, const uint8_t* b, size_t bStride, size_t bStep,
                   uint32_t width, uint32_t height) {
  double squares = 0;
  for (uint32_t row = 0; row < height; ++row)
    for (uint32_t x = 0; x < width; ++x) {
      const double d = double(a[row * aStride + x * aStep]) - double(b[row * bStride + x * bStep]);
      squares += d * d;
    }
  if (squares == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * width * height / squares);
}

// Luma, Cb and Cr PSNR of a decoded JPEG against the NV12 picture it was made from.
struct PlanePsnr {
  double y, cb, cr;
};
inline PlanePsnr CompareWithSource(const Nv12Picture& source, const DecodedYuv& decoded) {
  const uint32_t chromaWidth = source.ChromaStride() / 2;
  return {Psnr(source.y.data(), source.width, 1, decoded.planes[0].data(), decoded.strides[0], 1, source.width,
               source.height),
          Psnr(source.cbcr.data(), source.ChromaStride(), 2, decoded.planes[1].data(), decoded.strides[1], 1,
               chromaWidth, source.ChromaRows()),
          Psnr(source.cbcr.data() + 1, source.ChromaStride(), 2, decoded.planes[2].data(), decoded.strides[2], 1,
               chromaWidth, source.ChromaRows())};
}

}  // namespace korvane::testing
