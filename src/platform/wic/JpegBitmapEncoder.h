// The JPEG bitmap encoder: writes one frame, as a JPEG file, to the stream it is initialized
// with. The bytes reach the stream when the frame is committed, in order, starting at the
// stream's position at that moment; the encoder never seeks the stream and leaves its position
// after the last byte written.
//
// State machine (each call in another state fails and changes nothing):
//   kCreated        -> kInitialized     Initialize(stream, any cache option)
//   kInitialized    -> kFrameCreated    CreateNewFrame (a JPEG file holds one frame)
//   kFrameCreated   -> kFrameCommitted  the frame's Commit, through OnFrameCommitted
//   kFrameCommitted -> kCommitted       Commit
// CreateNewFrame before Initialize and Commit before Initialize answer
// WINCODEC_ERR_NOTINITIALIZED, Commit with no frame WINCODEC_ERR_FRAMEMISSING, a second frame
// WINCODEC_ERR_UNSUPPORTEDOPERATION, anything else out of order WINCODEC_ERR_WRONGSTATE.
//
// Like the imaging component's own encoders, one encoder and its frame are used by one thread
// at a time; separate encoders are independent. The frame holds a reference to its encoder,
// never the other way round.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/wic/Wincodec.h"

namespace korvane::wic {

class JpegBitmapEncoder final : public ComObject<IWICBitmapEncoder> {
 public:
  // Keeps a reference to `stream` until the encoder is released. Whatever the cache option,
  // nothing is cached beyond the one compressed frame.
  HRESULT Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) override;
  // `frame` receives the new frame; `options`, when not null, its option bag (see
  // JpegEncoderOptions.h), to be filled before the frame's Initialize.
  HRESULT CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** options) override;
  HRESULT Commit() override;

  // The frame's Commit reports here once its bytes are in the stream.
  void OnFrameCommitted();

 private:
  enum class State { kCreated, kInitialized, kFrameCreated, kFrameCommitted, kCommitted };

  State state_ = State::kCreated;
  ComPtr<IStream> stream_;
};

}  // namespace korvane::wic
