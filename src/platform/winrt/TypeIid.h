// Interface ids for parameterised interfaces (IEventHandler<Args...>,
// IAsyncOperationWithProgress<TResult, TProgress>, ...). The runtime derives those from the
// instantiation's type signature; here the id is a 128-bit FNV-1a hash of the compiler's
// spelling of the instantiation, formatted as a version-5-style GUID. It is the same in every
// translation unit built by the same compiler, differs between instantiations, and never
// collides with the fixed ids of the platform's interfaces in practice.
#pragma once

#include "platform/com/Guid.h"

#include <cstdint>

namespace korvane::winrt {

namespace detail {

constexpr GUID HashToGuid(const char* text) {
  // Two independent 64-bit FNV-1a lanes give the 128 bits.
  uint64_t a = 0xcbf29ce484222325ull;
  uint64_t b = 0x84222325cbf29ce4ull;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    a = (a ^ c) * 0x100000001b3ull;
    b = (b ^ (c + 0x5Bu)) * 0x100000001b3ull;
  }
  GUID g{};
  g.Data1 = static_cast<uint32_t>(a >> 32);
  g.Data2 = static_cast<uint16_t>(a >> 16);
  g.Data3 = static_cast<uint16_t>((a & 0x0FFFu) | 0x5000u);  // version 5
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(b >> (8 * (7 - i)));
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3Fu) | 0x80u);  // RFC 4122 variant
  return g;
}

}  // namespace detail

// The id of interface type T. __PRETTY_FUNCTION__ names T fully, template arguments included.
template <class T>
constexpr GUID TypeIid() {
  return detail::HashToGuid(__PRETTY_FUNCTION__);
}

}  // namespace korvane::winrt
