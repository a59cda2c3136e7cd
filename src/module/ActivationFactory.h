// ActivationFactory<Class>: the activation factory of one runtime class, and CreateFactory, the
// table entry's creator that makes one.
//
// `Class` is a traits type with
//   static constexpr const char* kFactoryName;      // the factory's own runtime class name
//   static ComPtr<IInspectable> Activate();         // a new instance (may throw)
// A factory is a component object (it counts in the module's live objects, answers
// IActivationFactory, IAgileObject and IMarshal, not IWeakReferenceSource) with no state, so any
// thread may use it.
#pragma once

#include "module/InProcModule.h"
#include "platform/com/Boundary.h"
#include "platform/com/RuntimeClass.h"

#include <new>

namespace korvane {

template <class Class>
class ActivationFactory final : public RuntimeClass<com::kComponentFactory, IActivationFactory> {
 public:
  // A new instance with one reference to the caller. An exception on the way (a constructor
  // that throws, a class that is not activatable) becomes the HRESULT, with *instance null.
  HRESULT ActivateInstance(IInspectable** instance) override {
    return CallBoundary(false, [&] { *instance = Class::Activate().Detach(); }, instance);
  }

 protected:
  const char* RuntimeClassNameText() const override { return Class::kFactoryName; }
};

// A new `Runtime` made with its default constructor, as its default interface `Default`.
template <class Runtime, class Default>
ComPtr<IInspectable> MakeInstance() {
  ComPtr<IInspectable> instance;
  instance.Attach(static_cast<Default*>(MakeRuntimeObject<Runtime>().Detach()));
  return instance;
}

// Makes a new factory at each call; the cache slot stays empty.
template <class Class>
HRESULT CreateFactory(const ActivatableClassEntry&, REFIID iid, void** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  auto* made = new (std::nothrow) ActivationFactory<Class>();
  if (made == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = made->QueryInterface(iid, factory);
  made->Release();
  return hr;
}

}  // namespace korvane
