#include "platform/wic/JpegFrameEncode.h"

#include <algorithm>
#include <limits>
#include <new>

namespace korvane::wic {

namespace {

// Bytes a plane must hold for `rows` rows of `rowBytes` bytes, `stride` apart (64-bit: a
// stride and a row count near 2^32 must not wrap into a small number).
uint64_t PlaneExtent(uint64_t rows, uint64_t stride, uint64_t rowBytes) { return (rows - 1) * stride + rowBytes; }

HRESULT CheckPlane(const WICBitmapPlane& plane, uint32_t rows, uint32_t rowBytes) {
  if (plane.pbBuffer == nullptr || plane.cbStride < rowBytes) return E_INVALIDARG;
  if (PlaneExtent(rows, plane.cbStride, rowBytes) > plane.cbBufferSize) return WINCODEC_ERR_INSUFFICIENTBUFFER;
  return S_OK;
}

}  // namespace

JpegFrameEncode::JpegFrameEncode(ComPtr<JpegBitmapEncoder> encoder, ComPtr<IStream> stream,
                                 ComPtr<JpegEncoderOptions> options)
    : encoder_(std::move(encoder)), stream_(std::move(stream)), options_(std::move(options)) {}

HRESULT JpegFrameEncode::Initialize(IPropertyBag2* options) {
  if (state_ != State::kCreated) return WINCODEC_ERR_WRONGSTATE;
  // Only this frame's own bag can hold options it understands. Its one option can only hold
  // values that mean 4:2:0, so nothing needs to be taken from it here.
  if (options != nullptr && options != static_cast<IPropertyBag2*>(options_.Get())) return E_INVALIDARG;
  state_ = State::kInitialized;  // kCreated -> kInitialized
  return S_OK;
}

HRESULT JpegFrameEncode::SetSize(UINT width, UINT height) {
  if (state_ == State::kCreated) return WINCODEC_ERR_NOTINITIALIZED;
  if (state_ != State::kInitialized) return WINCODEC_ERR_WRONGSTATE;
  if (width == 0 || height == 0) return E_INVALIDARG;
  if (width > PlanarJpegCompressor::kMaxDimension || height > PlanarJpegCompressor::kMaxDimension)
    return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  width_ = width;
  height_ = height;
  return S_OK;
}

HRESULT JpegFrameEncode::SetPixelFormat(WICPixelFormatGUID* pixelFormat) {
  if (pixelFormat == nullptr) return E_INVALIDARG;
  if (state_ == State::kCreated) return WINCODEC_ERR_NOTINITIALIZED;
  if (state_ != State::kInitialized) return WINCODEC_ERR_WRONGSTATE;
  *pixelFormat = GUID_WICPixelFormat24bppBGR;
  pixelFormatSet_ = true;
  return S_OK;
}

HRESULT JpegFrameEncode::CheckPlanes(UINT lineCount, const WICBitmapPlane* planes, UINT planeCount) const {
  if (planes == nullptr || planeCount != 2) return E_INVALIDARG;
  if (!(planes[0].Format == GUID_WICPixelFormat8bppY) || !(planes[1].Format == GUID_WICPixelFormat16bppCbCr))
    return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  const uint32_t rowsWritten = compressor_ ? compressor_->RowsWritten() : 0;
  if (lineCount == 0) return E_INVALIDARG;
  if (lineCount > height_ - rowsWritten) return WINCODEC_ERR_CODECTOOMANYSCANLINES;
  // Each 4:2:0 chroma row covers two luma rows; only the picture's last call may split a pair.
  if (lineCount % 2 != 0 && rowsWritten + lineCount != height_) return E_INVALIDARG;
  const uint32_t chromaRowBytes = 2 * ((width_ + 1) / 2);
  HRESULT hr = CheckPlane(planes[0], lineCount, width_);
  if (SUCCEEDED(hr)) hr = CheckPlane(planes[1], PlanarJpegCompressor::ChromaRowsFor(lineCount), chromaRowBytes);
  return hr;
}

HRESULT JpegFrameEncode::WritePixels(UINT lineCount, WICBitmapPlane* planes, UINT planeCount) {
  if (state_ == State::kCreated) return WINCODEC_ERR_NOTINITIALIZED;
  if (state_ != State::kInitialized && state_ != State::kWriting) return WINCODEC_ERR_WRONGSTATE;
  if (width_ == 0 || !pixelFormatSet_) return WINCODEC_ERR_WRONGSTATE;
  HRESULT hr = CheckPlanes(lineCount, planes, planeCount);
  if (FAILED(hr)) return hr;
  if (!compressor_) {
    try {
      compressor_ = std::make_unique<PlanarJpegCompressor>(width_, height_, PlanarJpegCompressor::kDefaultQuality);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    state_ = State::kWriting;  // kInitialized -> kWriting
  }
  hr = compressor_->WriteRows(lineCount, {planes[0].pbBuffer, planes[0].cbStride},
                              {planes[1].pbBuffer, planes[1].cbStride});
  if (FAILED(hr)) {
    compressor_.reset();
    state_ = State::kFailed;  // kWriting -> kFailed
  }
  return hr;
}

HRESULT JpegFrameEncode::WriteJpegToStream() {
  const uint8_t* data = compressor_->JpegData();
  size_t left = compressor_->JpegSize();
  while (left > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(left, std::numeric_limits<ULONG>::max()));
    ULONG written = 0;
    HRESULT hr = stream_->Write(data, chunk, &written);
    if (FAILED(hr)) return hr;
    if (written != chunk) return WINCODEC_ERR_STREAMWRITE;
    data += chunk;
    left -= chunk;
  }
  return S_OK;
}

HRESULT JpegFrameEncode::Commit() {
  if (state_ == State::kCreated) return WINCODEC_ERR_NOTINITIALIZED;
  if (state_ != State::kWriting || !compressor_->IsComplete()) return WINCODEC_ERR_WRONGSTATE;
  HRESULT hr = WriteJpegToStream();
  compressor_.reset();
  if (FAILED(hr)) {
    state_ = State::kFailed;  // kWriting -> kFailed
    return hr;
  }
  state_ = State::kCommitted;  // kWriting -> kCommitted
  encoder_->OnFrameCommitted();
  return S_OK;
}

}  // namespace korvane::wic
