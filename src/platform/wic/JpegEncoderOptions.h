// The option bag CreateNewFrame hands out with a JPEG frame. It knows one option,
// "JpegYCrCbSubsampling" (VT_UI1): WICJpegYCrCbSubsamplingDefault or
// WICJpegYCrCbSubsampling420, which mean the same here, since 4:2:0 is the only layout the
// planar path encodes. The other subsampling values are valid options this encoder cannot
// honour (WINCODEC_ERR_UNSUPPORTEDOPERATION); any other value or type is E_INVALIDARG and any
// other name WINCODEC_ERR_PROPERTYNOTFOUND. Quality and the other options stay at their
// defaults (quality 0.9).
//
// Written by the thread that owns the frame before the frame's Initialize reads it; not for
// concurrent use.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/wic/Wincodec.h"

namespace korvane::wic {

class JpegEncoderOptions final : public ComObject<IPropertyBag2> {
 public:
  static constexpr const char* kSubsamplingName = "JpegYCrCbSubsampling";

  HRESULT Write(ULONG count, PROPBAG2* properties, VARIANT* values) override;

  WICJpegYCrCbSubsamplingOption Subsampling() const { return subsampling_; }

 private:
  WICJpegYCrCbSubsamplingOption subsampling_ = WICJpegYCrCbSubsamplingDefault;
};

}  // namespace korvane::wic
