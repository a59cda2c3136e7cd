// PROPVARIANT, the tagged value that attributes and reader positions travel in. Only the
// types the media platform exchanges are carried: empty, 32/64-bit integers, double, GUID and
// an interface pointer.
#pragma once

#include "platform/com/Stream.h"
#include "platform/com/Unknown.h"
#include "platform/com/VarType.h"

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    LONG lVal;
    ULONG ulVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    double dblVal;
    CLSID* puuid;       // CoTaskMemAlloc'd, owned by the variant (VT_CLSID)
    IUnknown* punkVal;  // one reference owned by the variant (VT_UNKNOWN)
  };
};

// Sets the variant to VT_EMPTY without releasing anything it held.
inline void PropVariantInit(PROPVARIANT* value) {
  value->vt = VT_EMPTY;
  value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
  value->uhVal.QuadPart = 0;
}

// Releases what the variant owns (GUID memory, interface reference) and empties it.
HRESULT PropVariantClear(PROPVARIANT* value);

// Deep copy: *destination (not cleared first) receives its own GUID copy / reference.
HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source);
