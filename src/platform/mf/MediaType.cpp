#include "platform/mf/MediaType.h"

#include "platform/mf/Mfapi.h"

namespace korvane::mf {

HRESULT MediaType::GetMajorType(GUID* majorType) {
  return store_.GetGUID(MF_MT_MAJOR_TYPE, majorType);
}

HRESULT MediaType::IsCompressedFormat(BOOL* compressed) {
  if (compressed == nullptr) return E_POINTER;
  GUID subtype{};
  HRESULT hr = store_.GetGUID(MF_MT_SUBTYPE, &subtype);
  if (FAILED(hr)) return hr;
  *compressed = (subtype == MFVideoFormat_NV12 || subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32)
                    ? FALSE
                    : TRUE;
  return S_OK;
}

}  // namespace korvane::mf
