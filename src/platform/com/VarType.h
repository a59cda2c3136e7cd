// VARTYPE and its VARENUM values: the type tag shared by PROPVARIANT (media attributes and
// positions) and VARIANT (imaging options), one enumeration as in the SDK.
#pragma once

#include <cstdint>

using VARTYPE = uint16_t;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BOOL = 11,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_CLSID = 72,
};
