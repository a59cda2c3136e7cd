// ComObject<Interfaces...>: the implementation helper for classic COM objects (textures,
// samples, the source reader, ...). It supplies the atomic reference count and a
// QueryInterface that answers exactly the listed interfaces, each with its base chain up to
// IUnknown, and E_NOINTERFACE for anything else.
//
//   class Texture final : public ComObject<ID3D11Texture2D> { ... };
//   ComPtr<Texture> t = MakeComObject<Texture>(args...);
#pragma once

#include "platform/com/ComPtr.h"

#include <atomic>
#include <new>
#include <type_traits>

namespace korvane::com {

// Finds `iid` on I's chain (I, I's base, ..., IUnknown) and returns the matching pointer.
template <class I>
bool FindOnChain(REFIID iid, I* self, void** out) {
  if (iid == I::kIid) {
    *out = self;
    return true;
  }
  if constexpr (!std::is_void_v<typename I::BaseInterface>) {
    return FindOnChain<typename I::BaseInterface>(iid, static_cast<typename I::BaseInterface*>(self), out);
  } else {
    return false;
  }
}

template <class Self, class... Interfaces>
bool FindOnAnyChain(REFIID iid, Self* self, void** out) {
  return (FindOnChain<Interfaces>(iid, static_cast<Interfaces*>(self), out) || ...);
}

template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!FindOnAnyChain<ComObject, Interfaces...>(iid, this, object)) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace korvane::com

// Creates a COM object with its single first reference owned by the returned ComPtr.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  ComPtr<T> result;
  result.Attach(new T(std::forward<Args>(args)...));
  return result;
}

using korvane::com::ComObject;
