#include "platform/wic/PlanarJpegCompressor.h"

#include <turbojpeg.h>

#include <cassert>
#include <climits>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::wic {

namespace {

struct TurboJpegHandleDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<void, TurboJpegHandleDestroy>;

// Splits `pairs` interleaved Cb, Cr pairs into the two planes' rows. This is the one pass over
// the samples the encoder adds to libjpeg-turbo's own work, so it goes 16 pairs at a time where
// SSE2 is there (always, on x86-64); it reads exactly 2 * pairs bytes.
void SplitChromaRow(const uint8_t* pairsIn, uint8_t* cb, uint8_t* cr, uint32_t pairs) {
  uint32_t x = 0;
#if defined(__SSE2__)
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  for (; x + 16 <= pairs; x += 16) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairsIn + 2 * x));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairsIn + 2 * x + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x),
                     _mm_packus_epi16(_mm_and_si128(first, lowBytes), _mm_and_si128(second, lowBytes)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x),
                     _mm_packus_epi16(_mm_srli_epi16(first, 8), _mm_srli_epi16(second, 8)));
  }
#endif
  for (; x < pairs; ++x) {
    cb[x] = pairsIn[2 * x];
    cr[x] = pairsIn[2 * x + 1];
  }
}

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
    if (firstRow == 0 && endsPicture) return CompressWholePicture(luma, chroma);

    const size_t chromaSize = size_t{chromaWidth_} * chromaHeight_;
    if (!cb_) {
      cb_ = std::make_unique_for_overwrite<uint8_t[]>(chromaSize);
      cr_ = std::make_unique_for_overwrite<uint8_t[]>(chromaSize);
      luma_ = std::make_unique_for_overwrite<uint8_t[]>(size_t{paddedWidth_} * paddedHeight_);
    }
    CopyLumaRows(firstRow, rows, luma);
    SplitChromaRows(firstRow / 2, ChromaRowsFor(rows), chroma, cb_.get(), cr_.get());
    rowsWritten_ += rows;
    if (!endsPicture) return S_OK;
    PadLumaBottom();
    return Compress({luma_.get(), paddedWidth_}, cb_.get(), cr_.get());
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return E_OUTOFMEMORY;
  }
}

HRESULT PlanarJpegCompressor::CompressWholePicture(Rows luma, Rows chroma) {
  // libjpeg-turbo reads PAD(width, 2) x PAD(height, 2) luma samples and takes the stride as an
  // int: only an even-sided picture with such a stride can be read where it is.
  if (width_ % 2 != 0 || height_ % 2 != 0 || luma.stride > static_cast<size_t>(INT_MAX)) {
    luma_ = std::make_unique_for_overwrite<uint8_t[]>(size_t{paddedWidth_} * paddedHeight_);
    CopyLumaRows(0, height_, luma);
    PadLumaBottom();
    luma = {luma_.get(), paddedWidth_};
  }

  const size_t chromaSize = size_t{chromaWidth_} * chromaHeight_;
  struct Scratch {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };
  thread_local Scratch threadScratch;
  Scratch ownScratch;
  Scratch& scratch = 2 * chromaSize <= kMaxThreadScratch ? threadScratch : ownScratch;
  if (scratch.size < 2 * chromaSize) {
    scratch.bytes.reset();  // before allocating: the old and the new buffer need not coexist
    scratch.size = 0;
    scratch.bytes = std::make_unique_for_overwrite<uint8_t[]>(2 * chromaSize);
    scratch.size = 2 * chromaSize;
  }
  uint8_t* cb = scratch.bytes.get();
  uint8_t* cr = cb + chromaSize;
  SplitChromaRows(0, chromaHeight_, chroma, cb, cr);
  rowsWritten_ = height_;
  return Compress(luma, cb, cr);
}

void PlanarJpegCompressor::CopyLumaRows(uint32_t firstRow, uint32_t rows, Rows luma) {
  for (uint32_t i = 0; i < rows; ++i) {
    uint8_t* target = luma_.get() + size_t{firstRow + i} * paddedWidth_;
    std::memcpy(target, luma.data + i * luma.stride, width_);
    if (paddedWidth_ != width_) target[width_] = target[width_ - 1];
  }
}

void PlanarJpegCompressor::PadLumaBottom() {
  if (paddedHeight_ == height_) return;
  uint8_t* last = luma_.get() + size_t{height_ - 1} * paddedWidth_;
  std::memcpy(last + paddedWidth_, last, paddedWidth_);
}

void PlanarJpegCompressor::SplitChromaRows(uint32_t firstChromaRow, uint32_t chromaRows, Rows chroma, uint8_t* cb,
                                           uint8_t* cr) const {
  for (uint32_t i = 0; i < chromaRows; ++i) {
    const size_t offset = size_t{firstChromaRow + i} * chromaWidth_;
    SplitChromaRow(chroma.data + i * chroma.stride, cb + offset, cr + offset, chromaWidth_);
  }
}

HRESULT PlanarJpegCompressor::Compress(Rows luma, const uint8_t* cb, const uint8_t* cr) {
  TurboJpegHandle handle(tjInitCompress());
  if (!handle) {
    failed_ = true;
    return E_OUTOFMEMORY;
  }
  const unsigned char* planes[3] = {luma.data, cb, cr};
  int strides[3] = {static_cast<int>(luma.stride), static_cast<int>(chromaWidth_), static_cast<int>(chromaWidth_)};
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  const int result = tjCompressFromYUVPlanes(handle.get(), planes, static_cast<int>(width_), strides,
                                             static_cast<int>(height_), TJSAMP_420, &jpeg, &jpegSize, quality_, 0);
  // libjpeg-turbo may hand back a buffer even when it fails; it is ours to free either way.
  jpeg_.reset(jpeg);
  luma_.reset();
  cb_.reset();
  cr_.reset();
  if (result != 0) {
    failed_ = true;
    jpeg_.reset();
    return E_FAIL;
  }
  jpegSize_ = jpegSize;
  return S_OK;
}

}  // namespace korvane::wic
