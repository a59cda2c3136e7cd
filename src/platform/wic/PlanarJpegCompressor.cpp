#include "platform/wic/PlanarJpegCompressor.h"

#include <turbojpeg.h>

#include <cassert>
#include <climits>
#include <cstring>
#include <new>

namespace korvane::wic {

namespace {

struct TurboJpegHandleDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<void, TurboJpegHandleDestroy>;

}  // namespace

void PlanarJpegCompressor::TurboJpegFree::operator()(unsigned char* buffer) const { tjFree(buffer); }

PlanarJpegCompressor::PlanarJpegCompressor(uint32_t width, uint32_t height, int quality)
    : width_(width),
      height_(height),
      quality_(quality),
      paddedWidth_(width + (width & 1)),
      paddedHeight_(height + (height & 1)),
      chromaWidth_(paddedWidth_ / 2),
      chromaHeight_(paddedHeight_ / 2) {
  assert(width >= 1 && width <= kMaxDimension && "the frame checks the size");
  assert(height >= 1 && height <= kMaxDimension && "the frame checks the size");
  assert(quality >= 0 && quality <= 100);
}

PlanarJpegCompressor::~PlanarJpegCompressor() = default;

HRESULT PlanarJpegCompressor::WriteRows(uint32_t rows, Rows luma, Rows chroma) noexcept {
  if (failed_) return E_FAIL;
  assert(rows >= 1 && rows <= height_ - rowsWritten_ && "the frame checks the line count");
  assert((rows % 2 == 0 || rowsWritten_ + rows == height_) && "the frame checks the line count");
  try {
    const uint32_t firstRow = rowsWritten_;
    const bool endsPicture = firstRow + rows == height_;
    // libjpeg-turbo reads PAD(width, 2) x PAD(height, 2) luma samples and takes the stride as
    // an int: only a whole, even-sided picture with such a stride can be read where it is.
    const bool lumaInPlace = firstRow == 0 && endsPicture && width_ % 2 == 0 && height_ % 2 == 0 &&
                             luma.stride <= static_cast<size_t>(INT_MAX);
    if (!cb_) {
      const size_t chromaSize = size_t{chromaWidth_} * chromaHeight_;
      cb_ = std::make_unique_for_overwrite<uint8_t[]>(chromaSize);
      cr_ = std::make_unique_for_overwrite<uint8_t[]>(chromaSize);
    }
    if (!lumaInPlace) {
      if (!luma_) luma_ = std::make_unique_for_overwrite<uint8_t[]>(size_t{paddedWidth_} * paddedHeight_);
      CopyLumaRows(firstRow, rows, luma);
    }
    SplitChromaRows(firstRow / 2, ChromaRowsFor(rows), chroma);
    rowsWritten_ += rows;
    if (!endsPicture) return S_OK;

    if (!lumaInPlace && paddedHeight_ != height_) {
      uint8_t* last = luma_.get() + size_t{height_ - 1} * paddedWidth_;
      std::memcpy(last + paddedWidth_, last, paddedWidth_);
    }
    return Compress(lumaInPlace ? luma : Rows{luma_.get(), paddedWidth_});
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return E_OUTOFMEMORY;
  }
}

void PlanarJpegCompressor::CopyLumaRows(uint32_t firstRow, uint32_t rows, Rows luma) {
  for (uint32_t i = 0; i < rows; ++i) {
    uint8_t* target = luma_.get() + size_t{firstRow + i} * paddedWidth_;
    std::memcpy(target, luma.data + i * luma.stride, width_);
    if (paddedWidth_ != width_) target[width_] = target[width_ - 1];
  }
}

void PlanarJpegCompressor::SplitChromaRows(uint32_t firstChromaRow, uint32_t chromaRows, Rows chroma) {
  for (uint32_t i = 0; i < chromaRows; ++i) {
    const uint8_t* source = chroma.data + i * chroma.stride;
    uint8_t* cb = cb_.get() + size_t{firstChromaRow + i} * chromaWidth_;
    uint8_t* cr = cr_.get() + size_t{firstChromaRow + i} * chromaWidth_;
    for (uint32_t x = 0; x < chromaWidth_; ++x) {
      cb[x] = source[2 * x];
      cr[x] = source[2 * x + 1];
    }
  }
}

HRESULT PlanarJpegCompressor::Compress(Rows luma) {
  TurboJpegHandle handle(tjInitCompress());
  if (!handle) {
    failed_ = true;
    return E_OUTOFMEMORY;
  }
  const unsigned char* planes[3] = {luma.data, cb_.get(), cr_.get()};
  int strides[3] = {static_cast<int>(luma.stride), static_cast<int>(chromaWidth_), static_cast<int>(chromaWidth_)};
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  const int result = tjCompressFromYUVPlanes(handle.get(), planes, static_cast<int>(width_), strides,
                                             static_cast<int>(height_), TJSAMP_420, &jpeg, &jpegSize, quality_, 0);
  // libjpeg-turbo may hand back a buffer even when it fails; it is ours to free either way.
  jpeg_.reset(jpeg);
  if (result != 0) {
    failed_ = true;
    jpeg_.reset();
    return E_FAIL;
  }
  jpegSize_ = jpegSize;
  luma_.reset();
  cb_.reset();
  cr_.reset();
  return S_OK;
}

}  // namespace korvane::wic
