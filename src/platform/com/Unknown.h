// IUnknown, the root of every interface. Interfaces are abstract classes without virtual
// destructors, in the slot order of the original ABI; objects are destroyed by their own
// Release, never through an interface pointer.
#pragma once

#include "platform/com/Guid.h"
#include "platform/com/Hresult.h"

#include <cstdlib>

struct IUnknown {
  static constexpr GUID kIid{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = void;

  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Typed convenience, as the SDK's template overload.
  template <class Q>
  HRESULT QueryInterface(Q** object) {
    return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(object));
  }

 protected:
  ~IUnknown() = default;
};

// Memory handed across interfaces (GetIids and the like) is allocated with these.
inline void* CoTaskMemAlloc(SIZE_T size) { return std::malloc(size == 0 ? 1 : size); }
inline void CoTaskMemFree(void* p) { std::free(p); }
