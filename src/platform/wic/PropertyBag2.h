// The OLE option-bag types the imaging encoder takes its options through: VARIANT (scalar
// members only), PROPBAG2 and IPropertyBag2 (only Write, the one method the component calls).
//
// Strings are UTF-8 here as everywhere on this platform: PROPBAG2::pstrName is a `char*`.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/com/VarType.h"

#include <cstring>

using CLIPFORMAT = uint16_t;
using LPOLESTR = char*;
using VARIANT_BOOL = int16_t;

// Scalar VARIANTs only: nothing here owns memory, so VariantClear never frees anything.
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    uint64_t ullVal;
    int32_t lVal;
    uint32_t ulVal;
    int16_t iVal;
    uint16_t uiVal;
    int8_t cVal;
    uint8_t bVal;
    int32_t intVal;
    uint32_t uintVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
  };
};

inline void VariantInit(VARIANT* value) {
  std::memset(value, 0, sizeof *value);
  value->vt = VT_EMPTY;
}

inline HRESULT VariantClear(VARIANT* value) {
  if (value == nullptr) return E_INVALIDARG;
  VariantInit(value);
  return S_OK;
}

enum PROPBAG2_TYPE : DWORD {
  PROPBAG2_TYPE_UNDEFINED = 0,
  PROPBAG2_TYPE_DATA = 1,
};

struct PROPBAG2 {
  DWORD dwType;
  VARTYPE vt;
  CLIPFORMAT cfType;
  DWORD dwHint;
  LPOLESTR pstrName;
  CLSID clsid;
};

struct IPropertyBag2 : IUnknown {
  static constexpr GUID kIid{0x22F55882, 0x280B, 0x11D0, {0xA8, 0xA9, 0x00, 0xA0, 0xC9, 0x0C, 0x20, 0x04}};
  using BaseInterface = IUnknown;

  // Writes `count` named values; the first refused one fails the call, and those before it
  // stay written.
  virtual HRESULT Write(ULONG count, PROPBAG2* properties, VARIANT* values) = 0;
};
