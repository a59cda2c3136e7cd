#include "platform/wic/JpegBitmapEncoder.h"

#include "platform/wic/JpegEncoderOptions.h"
#include "platform/wic/JpegFrameEncode.h"

#include <new>

namespace korvane::wic {

HRESULT JpegBitmapEncoder::Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) {
  if (stream == nullptr || cacheOption > WICBitmapEncoderNoCache) return E_INVALIDARG;
  if (state_ != State::kCreated) return WINCODEC_ERR_WRONGSTATE;
  stream_ = stream;
  state_ = State::kInitialized;  // kCreated -> kInitialized
  return S_OK;
}

HRESULT JpegBitmapEncoder::CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** options) {
  if (frame == nullptr) return E_INVALIDARG;
  *frame = nullptr;
  if (options != nullptr) *options = nullptr;
  switch (state_) {
    case State::kCreated: return WINCODEC_ERR_NOTINITIALIZED;
    case State::kInitialized: break;
    case State::kFrameCreated:
    case State::kFrameCommitted: return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    case State::kCommitted: return WINCODEC_ERR_WRONGSTATE;
  }
  try {
    ComPtr<JpegEncoderOptions> bag = MakeComObject<JpegEncoderOptions>();
    ComPtr<JpegFrameEncode> created = MakeComObject<JpegFrameEncode>(ComPtr<JpegBitmapEncoder>(this), stream_, bag);
    *frame = static_cast<IWICBitmapFrameEncode*>(created.Detach());
    if (options != nullptr) *options = bag.Detach();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  state_ = State::kFrameCreated;  // kInitialized -> kFrameCreated
  return S_OK;
}

HRESULT JpegBitmapEncoder::Commit() {
  switch (state_) {
    case State::kCreated: return WINCODEC_ERR_NOTINITIALIZED;
    case State::kInitialized: return WINCODEC_ERR_FRAMEMISSING;
    case State::kFrameCreated:
    case State::kCommitted: return WINCODEC_ERR_WRONGSTATE;
    case State::kFrameCommitted: break;
  }
  state_ = State::kCommitted;  // kFrameCommitted -> kCommitted
  return S_OK;
}

void JpegBitmapEncoder::OnFrameCommitted() {
  if (state_ == State::kFrameCreated) state_ = State::kFrameCommitted;  // kFrameCreated -> kFrameCommitted
}

}  // namespace korvane::wic
