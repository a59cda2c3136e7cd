// The imaging factory: hands out JPEG bitmap encoders and nothing else.
//
// Stateless, so any number of threads may share one factory and call CreateEncoder at once;
// each call returns a new, independent encoder.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/wic/Wincodec.h"

namespace korvane::wic {

class ImagingFactory final : public ComObject<IWICImagingFactory> {
 public:
  // GUID_ContainerFormatJpeg gives a new JPEG encoder (any preferred vendor is accepted: there
  // is only one); every other container fails with WINCODEC_ERR_COMPONENTNOTFOUND.
  HRESULT CreateEncoder(REFGUID containerFormat, const GUID* preferredVendor, IWICBitmapEncoder** encoder) override;
};

}  // namespace korvane::wic
