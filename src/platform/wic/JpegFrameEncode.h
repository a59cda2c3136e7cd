// The one frame of a JPEG bitmap encoder. It takes pixels only through the planar interface:
// a GUID_WICPixelFormat8bppY plane and a GUID_WICPixelFormat16bppCbCr plane (interleaved Cb, Cr
// pairs, 4:2:0), which are compressed as YCbCr as they are, at quality 0.9 (libjpeg 90).
//
// Plane requirements for a WritePixels call of `lineCount` rows of a W-pixel-wide picture:
//   Y:    cbStride >= W,                 cbBufferSize >= (lineCount - 1) * cbStride + W
//   CbCr: cbStride >= 2 * ceil(W / 2),   cbBufferSize >= (ceil(lineCount / 2) - 1) * cbStride
//                                                        + 2 * ceil(W / 2)
// so an odd-sized picture needs the rounded-up chroma plane, as the imaging component's
// planar formats define it. Nothing outside those extents is ever read: a plane too short for
// its rows fails with WINCODEC_ERR_INSUFFICIENTBUFFER, a stride shorter than a row with
// E_INVALIDARG, before any byte of the call is read. `lineCount` is even unless the call
// delivers the last row.
//
// State machine (calls out of order fail with WINCODEC_ERR_NOTINITIALIZED before Initialize,
// else WINCODEC_ERR_WRONGSTATE, and change nothing):
//   kCreated     -> kInitialized  Initialize(the bag from CreateNewFrame, or null)
//   kInitialized                  SetSize, SetPixelFormat (any number of times)
//   kInitialized -> kWriting      the first WritePixels, once size and pixel format are set
//   kWriting     -> kCommitted    Commit, once every row is written: the JPEG goes to the
//                                 encoder's stream and the encoder learns of it
//   any          -> kFailed       compression or the stream write failed
//
// Used by one thread at a time, like its encoder. Holds its encoder, the encoder's stream and
// its option bag.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/wic/JpegBitmapEncoder.h"
#include "platform/wic/JpegEncoderOptions.h"
#include "platform/wic/PlanarJpegCompressor.h"
#include "platform/wic/Wincodec.h"

#include <memory>

namespace korvane::wic {

class JpegFrameEncode final : public ComObject<IWICBitmapFrameEncode, IWICPlanarBitmapFrameEncode> {
 public:
  JpegFrameEncode(ComPtr<JpegBitmapEncoder> encoder, ComPtr<IStream> stream, ComPtr<JpegEncoderOptions> options);

  HRESULT Initialize(IPropertyBag2* options) override;
  // Sides in 1..65500 (libjpeg's limit): 0 is E_INVALIDARG, larger is
  // WINCODEC_ERR_IMAGESIZEOUTOFRANGE.
  HRESULT SetSize(UINT width, UINT height) override;
  // Accepts any request and answers GUID_WICPixelFormat24bppBGR, the interleaved format whose
  // planar form is Y + CbCr.
  HRESULT SetPixelFormat(WICPixelFormatGUID* pixelFormat) override;
  HRESULT Commit() override;

  HRESULT WritePixels(UINT lineCount, WICBitmapPlane* planes, UINT planeCount) override;

 private:
  enum class State { kCreated, kInitialized, kWriting, kCommitted, kFailed };

  HRESULT CheckPlanes(UINT lineCount, const WICBitmapPlane* planes, UINT planeCount) const;
  HRESULT WriteJpegToStream();

  const ComPtr<JpegBitmapEncoder> encoder_;
  const ComPtr<IStream> stream_;
  const ComPtr<JpegEncoderOptions> options_;
  State state_ = State::kCreated;
  UINT width_ = 0;
  UINT height_ = 0;
  bool pixelFormatSet_ = false;
  std::unique_ptr<PlanarJpegCompressor> compressor_;  // from the first WritePixels to Commit
};

}  // namespace korvane::wic
