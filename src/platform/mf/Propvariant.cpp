#include "platform/mf/Propvariant.h"

#include <cstring>

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  switch (value->vt) {
    case VT_CLSID:
      CoTaskMemFree(value->puuid);
      break;
    case VT_UNKNOWN:
      if (value->punkVal != nullptr) value->punkVal->Release();
      break;
    default:
      break;
  }
  PropVariantInit(value);
  return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) {
  if (destination == nullptr || source == nullptr) return E_POINTER;
  PROPVARIANT copy = *source;
  switch (source->vt) {
    case VT_CLSID: {
      auto* guid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
      if (guid == nullptr) return E_OUTOFMEMORY;
      std::memcpy(guid, source->puuid, sizeof(CLSID));
      copy.puuid = guid;
      break;
    }
    case VT_UNKNOWN:
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
      break;
    case VT_EMPTY:
    case VT_I4:
    case VT_R8:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
      break;
    default:
      return E_INVALIDARG;
  }
  *destination = copy;
  return S_OK;
}
