#include "platform/wic/ImagingFactory.h"

#include "platform/wic/JpegBitmapEncoder.h"

#include <new>

namespace korvane::wic {

HRESULT ImagingFactory::CreateEncoder(REFGUID containerFormat, const GUID* /*preferredVendor*/,
                                      IWICBitmapEncoder** encoder) {
  if (encoder == nullptr) return E_INVALIDARG;
  *encoder = nullptr;
  if (!(containerFormat == GUID_ContainerFormatJpeg)) return WINCODEC_ERR_COMPONENTNOTFOUND;
  try {
    *encoder = MakeComObject<JpegBitmapEncoder>().Detach();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace korvane::wic
