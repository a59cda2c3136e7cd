#include "platform/wic/JpegEncoderOptions.h"

#include <cstring>

namespace korvane::wic {

namespace {

HRESULT ParseSubsampling(const VARIANT& value, WICJpegYCrCbSubsamplingOption* subsampling) {
  if (value.vt != VT_UI1) return E_INVALIDARG;
  switch (value.bVal) {
    case WICJpegYCrCbSubsamplingDefault:
    case WICJpegYCrCbSubsampling420:
      *subsampling = static_cast<WICJpegYCrCbSubsamplingOption>(value.bVal);
      return S_OK;
    case WICJpegYCrCbSubsampling422:
    case WICJpegYCrCbSubsampling444:
    case WICJpegYCrCbSubsampling440:
      return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    default:
      return E_INVALIDARG;
  }
}

}  // namespace

HRESULT JpegEncoderOptions::Write(ULONG count, PROPBAG2* properties, VARIANT* values) {
  if (count == 0) return S_OK;
  if (properties == nullptr || values == nullptr) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i) {
    const char* name = properties[i].pstrName;
    if (name == nullptr) return E_INVALIDARG;
    if (std::strcmp(name, kSubsamplingName) != 0) return WINCODEC_ERR_PROPERTYNOTFOUND;
    HRESULT hr = ParseSubsampling(values[i], &subsampling_);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace korvane::wic
