// RuntimeClass<Flags, Interfaces...>: the implementation helper for runtime-model objects.
//
// It supplies what every runtime class shares: the strong count; QueryInterface over the
// listed interfaces (each with its base chain), IInspectable, IAgileObject, IMarshal (the
// free-threaded marshaler, made at the first request and aggregated into the object) and, with
// kWeakReference, IWeakReferenceSource — E_NOINTERFACE for anything else; GetIids (the listed
// interfaces, plus IWeakReferenceSource for weak-capable classes); GetTrustLevel (BaseTrust);
// and, with kModuleCounted, one count in the module's live-object count for as long as the
// object has a strong reference.
//
// Weak references share a control block with the object: the strong count lives there, so a
// weak reference can try to take a strong reference (increment-if-not-zero) without touching
// freed memory. Once the strong count has reached zero, Resolve yields null for good.
//
// An interface listed as Cloaked<I> is answered by QueryInterface like the others but left out
// of GetIids, as WRL's CloakedIid does: a class can gain an interface without changing what it
// says it implements.
//
// The derived class supplies RuntimeClassNameText().
#pragma once

#include "platform/com/ComObject.h"
#include "platform/com/FreeThreadedMarshaler.h"
#include "platform/com/WinRtInterfaces.h"
#include "platform/com/ObjectCount.h"

#include <atomic>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace korvane::com {

template <class Interface>
struct Cloaked : Interface {};

template <class Interface>
struct IsCloaked : std::false_type {};
template <class Interface>
struct IsCloaked<Cloaked<Interface>> : std::true_type {};

enum RuntimeClassFlags : unsigned {
  kPlainRuntimeClass = 0,
  kWeakReference = 1,   // answers IWeakReferenceSource
  kModuleCounted = 2,   // counts in the module's live objects (component classes)
  kComponentClass = kWeakReference | kModuleCounted,
  kComponentFactory = kModuleCounted,
};

// The weak reference and the strong count of one object.
class WeakReferenceControl final : public ComObject<IWeakReference> {
 public:
  explicit WeakReferenceControl(IInspectable* object) : object_(object) {}

  HRESULT Resolve(REFIID iid, IInspectable** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    ULONG strong = strong_.load(std::memory_order_acquire);
    while (strong != 0) {
      if (strong_.compare_exchange_weak(strong, strong + 1, std::memory_order_acq_rel)) {
        HRESULT hr = object_->QueryInterface(iid, reinterpret_cast<void**>(object));
        object_->Release();  // drops the temporary strong reference taken above
        return hr;
      }
    }
    return S_OK;
  }

  std::atomic<ULONG>& Strong() { return strong_; }

 private:
  std::atomic<ULONG> strong_{1};
  IInspectable* object_;  // valid while strong_ > 0
};

template <unsigned Flags, class... Interfaces>
class RuntimeClass : public Interfaces..., public IAgileObject, public IWeakReferenceSource {
  static constexpr bool kWeak = (Flags & kWeakReference) != 0;
  static constexpr bool kCounted = (Flags & kModuleCounted) != 0;

 public:
  RuntimeClass() {
    if constexpr (kWeak) control_ = new WeakReferenceControl(Inspectable());
    if constexpr (kCounted) IncrementModuleObjectCount();
  }
  RuntimeClass(const RuntimeClass&) = delete;
  RuntimeClass& operator=(const RuntimeClass&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (FindOnAnyChain<RuntimeClass, Interfaces...>(iid, this, object)) {
    } else if (iid == IAgileObject::kIid) {
      *object = static_cast<IAgileObject*>(this);
    } else if (kWeak && iid == IWeakReferenceSource::kIid) {
      *object = static_cast<IWeakReferenceSource*>(this);
    } else if (iid == IMarshal::kIid) {
      IUnknown* marshaler = Marshaler();
      return marshaler == nullptr ? E_OUTOFMEMORY : marshaler->QueryInterface(iid, object);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG AddRef() override { return Count().fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() override {
    ULONG left = Count().fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetIids(ULONG* count, IID** iids) override {
    if (count == nullptr || iids == nullptr) return E_POINTER;
    IID list[sizeof...(Interfaces) + 1];
    ULONG n = 0;
    ((IsCloaked<Interfaces>::value ? void() : void(list[n++] = Interfaces::kIid)), ...);
    if constexpr (kWeak) list[n++] = IWeakReferenceSource::kIid;
    *iids = static_cast<IID*>(CoTaskMemAlloc(sizeof(IID) * n));
    if (*iids == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*iids, list, sizeof(IID) * n);
    *count = n;
    return S_OK;
  }

  HRESULT GetRuntimeClassName(HSTRING* className) override {
    if (className == nullptr) return E_POINTER;
    const char* name = RuntimeClassNameText();
    return WindowsCreateString(name, static_cast<uint32_t>(std::strlen(name)), className);
  }

  HRESULT GetTrustLevel(TrustLevel* trustLevel) override {
    if (trustLevel == nullptr) return E_POINTER;
    *trustLevel = BaseTrust;
    return S_OK;
  }

  HRESULT GetWeakReference(IWeakReference** weakReference) override {
    if (weakReference == nullptr) return E_POINTER;
    *weakReference = nullptr;
    if constexpr (!kWeak) return E_NOINTERFACE;
    control_->AddRef();
    *weakReference = control_;
    return S_OK;
  }

 protected:
  // Also runs when a derived constructor throws, so the module count never keeps an object
  // that was never finished.
  virtual ~RuntimeClass() {
    if (IUnknown* marshaler = marshaler_.load(std::memory_order_acquire)) marshaler->Release();
    if constexpr (kWeak) control_->Release();
    if constexpr (kCounted) DecrementModuleObjectCount();
  }
  virtual const char* RuntimeClassNameText() const = 0;

  IInspectable* Inspectable() {
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    return static_cast<First*>(this);
  }

 private:
  // The aggregated free-threaded marshaler, made once; a thread that loses the race to make it
  // drops its own.
  IUnknown* Marshaler() {
    IUnknown* current = marshaler_.load(std::memory_order_acquire);
    if (current != nullptr) return current;
    IUnknown* made = nullptr;
    if (FAILED(CoCreateFreeThreadedMarshaler(Inspectable(), &made))) return nullptr;
    if (marshaler_.compare_exchange_strong(current, made, std::memory_order_acq_rel)) return made;
    made->Release();
    return current;
  }

  std::atomic<ULONG>& Count() {
    if constexpr (kWeak) return control_->Strong();
    else return strong_;
  }

  WeakReferenceControl* control_ = nullptr;
  std::atomic<ULONG> strong_{1};
  std::atomic<IUnknown*> marshaler_{nullptr};  // the marshaler's own IUnknown, owned
};

}  // namespace korvane::com

template <class T, class... Args>
ComPtr<T> MakeRuntimeObject(Args&&... args) {
  ComPtr<T> result;
  result.Attach(new T(std::forward<Args>(args)...));
  return result;
}

// Resolves a weak reference to a strong ComPtr<T> (null once the object is gone).
template <class T>
ComPtr<T> ResolveWeak(IWeakReference* weak) {
  ComPtr<T> strong;
  if (weak != nullptr) weak->Resolve(uuidof<T>(), reinterpret_cast<IInspectable**>(strong.GetAddressOf()));
  return strong;
}

using korvane::com::RuntimeClass;
