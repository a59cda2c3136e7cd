// Compresses one picture given as a luma plane and an interleaved CbCr plane (NV12-style 4:2:0)
// into a baseline JPEG with libjpeg-turbo, without any RGB round trip: the Y, Cb and Cr samples
// go into the JPEG's YCbCr components as they are.
//
// Rows arrive in one or more WriteRows calls; the call that delivers the last row compresses
// the picture, while the caller's buffers are still valid, so the luma plane of a picture that
// arrives in one call with even sides is read in place. Odd sides are encoded at their exact
// size: libjpeg-turbo wants luma planes padded to even sides, so such luma is copied into a
// padded plane whose extra column and row repeat the last ones. Chroma is always split into
// separate Cb and Cr planes, which is the one per-sample pass this class makes.
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

  // The JPEG file, once IsComplete(); valid until this object is destroyed.
  const uint8_t* JpegData() const { return jpeg_.get(); }
  size_t JpegSize() const { return jpegSize_; }

 private:
  struct TurboJpegFree {
    void operator()(unsigned char* buffer) const;
  };
  using JpegBuffer = std::unique_ptr<unsigned char, TurboJpegFree>;

  void CopyLumaRows(uint32_t firstRow, uint32_t rows, Rows luma);
  void SplitChromaRows(uint32_t firstChromaRow, uint32_t chromaRows, Rows chroma);
  HRESULT Compress(Rows luma);

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
  std::unique_ptr<uint8_t[]> cb_;
  std::unique_ptr<uint8_t[]> cr_;
  JpegBuffer jpeg_;
  size_t jpegSize_ = 0;
};

}  // namespace korvane::wic
