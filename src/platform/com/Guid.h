// GUID / IID and the interface-identity machinery: every interface declares its id as
// `kIid` and its direct base as `BaseInterface`, which lets QueryInterface walk the chain.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFGUID = const GUID&;
using REFCLSID = const GUID&;

constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", for messages and tests.
std::string GuidToString(const GUID& guid);

template <class Interface>
constexpr const GUID& uuidof() {
  return Interface::kIid;
}

// IID_PPV_ARGS(&p) for `I** p` or a ComPtr's address: the interface's id and the out slot.
#define IID_PPV_ARGS(pp) \
  uuidof<std::remove_pointer_t<std::remove_pointer_t<decltype(pp)>>>(), reinterpret_cast<void**>(pp)

template <>
struct std::hash<GUID> {
  std::size_t operator()(const GUID& g) const noexcept {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, &g, 8);
    std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
    return std::hash<uint64_t>()(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};
