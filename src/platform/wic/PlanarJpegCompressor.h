// Compresses one picture given as a luma plane and an interleaved CbCr plane (NV12-style 4:2:0)
// into a baseline JPEG with libjpeg-turbo, without any RGB round trip: the Y, Cb and Cr samples
// go into the JPEG's YCbCr components as they are.
//
// Rows arrive in one or more WriteRows calls; the call that delivers the last row compresses
// the picture, while the caller's buffers are still valid. A picture that arrives in one call
// (the usual case) is read where it is as far as possible:
// - the luma plane is handed to libjpeg-turbo in place when both sides are even; libjpeg-turbo
//   reads luma padded to even sides, so an odd-sided picture's luma is copied into a padded
//   plane whose extra column and row repeat the last ones (odd sides are encoded exactly);
// - chroma must be split into separate Cb and Cr planes, the one pass over the samples this
//   class adds. For a one-call picture they go into a scratch buffer kept per thread and reused
//   by the next picture compressed on that thread (up to kMaxThreadScratch bytes are kept):
//   allocating them afresh for every picture pushed the allocator's free memory over its trim
//   threshold, so every encode handed its pages back to the kernel and faulted them in again,
//   which cost a quarter of a 1080p encode. The scratch is used only within one call (nothing
//   here calls out while using it), so it needs no lock and is never shared.
// A picture written in several calls collects its rows in planes of its own.
//
// Owned by one frame and used by one thread at a time. Nothing is read outside the rows the
// caller describes; the caller (the frame) has checked those rows against its buffer sizes.
#pragma once

#include "platform/com/Hresult.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvane::wic {

class PlanarJpegCompressor {
 public:
  // libjpeg's largest side.
  static constexpr uint32_t kMaxDimension = 65500;
  // The imaging component's default ImageQuality, 0.9, on libjpeg's 0..100 scale.
  static constexpr int kDefaultQuality = 90;

  // Rows of one plane: row i starts at data + i * stride.
  struct Rows {
    const uint8_t* data;
    size_t stride;
  };

  // `width` and `height` in 1..kMaxDimension, `quality` in 0..100.
  PlanarJpegCompressor(uint32_t width, uint32_t height, int quality);
  ~PlanarJpegCompressor();
  PlanarJpegCompressor(const PlanarJpegCompressor&) = delete;
  PlanarJpegCompressor& operator=(const PlanarJpegCompressor&) = delete;

  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t RowsWritten() const { return rowsWritten_; }
  bool IsComplete() const { return rowsWritten_ == height_; }

  // The size in bytes of one chroma row (Cb, Cr pairs) and the number of chroma rows that
  // cover `lumaRows` luma rows.
  uint32_t ChromaRowBytes() const { return 2 * ((width_ + 1) / 2); }
  static uint32_t ChromaRowsFor(uint32_t lumaRows) { return (lumaRows + 1) / 2; }

  // Appends `rows` rows (1 <= rows <= Height() - RowsWritten(), even unless they end the
  // picture): `luma` holds `rows` rows of Width() bytes, `chroma` ChromaRowsFor(rows) rows of
  // ChromaRowBytes() bytes. The call that ends the picture compresses it. Returns
  // E_OUTOFMEMORY or E_FAIL (libjpeg-turbo refused) and then stays unusable.
  HRESULT WriteRows(uint32_t rows, Rows luma, Rows chroma) noexcept;

  // The largest per-thread chroma scratch kept between pictures (a 4K picture needs 8 MB).
  static constexpr size_t kMaxThreadScratch = size_t{16} << 20;

  // The JPEG file, once IsComplete(); valid until this object is destroyed.
  const uint8_t* JpegData() const { return jpeg_.get(); }
  size_t JpegSize() const { return jpegSize_; }

 private:
  struct TurboJpegFree {
    void operator()(unsigned char* buffer) const;
  };
  using JpegBuffer = std::unique_ptr<unsigned char, TurboJpegFree>;

  HRESULT CompressWholePicture(Rows luma, Rows chroma);
  void CopyLumaRows(uint32_t firstRow, uint32_t rows, Rows luma);
  void PadLumaBottom();
  void SplitChromaRows(uint32_t firstChromaRow, uint32_t chromaRows, Rows chroma, uint8_t* cb, uint8_t* cr) const;
  HRESULT Compress(Rows luma, const uint8_t* cb, const uint8_t* cr);

  const uint32_t width_;
  const uint32_t height_;
  const int quality_;
  // Luma and chroma plane sizes as libjpeg-turbo reads them (sides padded to even).
  const uint32_t paddedWidth_;
  const uint32_t paddedHeight_;
  const uint32_t chromaWidth_;
  const uint32_t chromaHeight_;

  uint32_t rowsWritten_ = 0;
  bool failed_ = false;
  // Allocated only when the luma cannot be read in place (odd sides, several calls, a stride
  // libjpeg-turbo cannot take).
  std::unique_ptr<uint8_t[]> luma_;
  // Cb and Cr planes (chromaWidth_ x chromaHeight_ each) of a picture written in several calls.
  std::unique_ptr<uint8_t[]> cb_;
  std::unique_ptr<uint8_t[]> cr_;
  JpegBuffer jpeg_;
  size_t jpegSize_ = 0;
};

}  // namespace korvane::wic
