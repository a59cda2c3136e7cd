// InProcModule: the module object of the in-process component library. It holds the table of
// activatable classes, hands out activation factories by class name and answers whether the
// library may be unloaded, from the module's live-object count (platform/com/ObjectCount.h),
// which every component runtime-class instance and every activation factory holds one count
// in while it has a strong reference.
//
// The library has exactly one, constructed during its static initialization (before any export
// can be called) and destroyed at unload; the exported entry points forward to it.
//
// Threads: every member may be called from any thread at once. The table is immutable; lock_
// guards only the emptying of the factory-cache slots.
#pragma once

#include "platform/com/WinRtInterfaces.h"

#include <atomic>
#include <shared_mutex>
#include <span>

namespace korvane {

struct ActivatableClassEntry;

// Makes a new factory for `entry` and asks it for `iid` into *factory (one reference to the
// caller); returns that query's HRESULT.
using FactoryCreator = HRESULT (*)(const ActivatableClassEntry& entry, REFIID iid, void** factory);

// Factories kept for reuse. This component's creators make a new factory at each call and
// never fill a slot; the module still empties its slots when it goes.
struct FactoryCacheSlot {
  std::atomic<IUnknown*> factory{nullptr};  // one reference, or null
};

struct ActivatableClassEntry {
  FactoryCreator createFactory;
  const char* (*runtimeClassName)();
  TrustLevel (*trustLevel)();  // null: the class states none (its objects answer BaseTrust)
  FactoryCacheSlot* factoryCache;
  const char* serverName;  // null: in-process only
};

class InProcModule {
 public:
  // `table` must outlive the module.
  explicit InProcModule(std::span<const ActivatableClassEntry> table) : table_(table) {}
  // Releases every factory found in a cache slot.
  ~InProcModule();
  InProcModule(const InProcModule&) = delete;
  InProcModule& operator=(const InProcModule&) = delete;

  // The factory of the class named `activatableClassId` (names compare byte for byte), as
  // IActivationFactory with one reference to the caller. E_POINTER for a null `factory`,
  // E_INVALIDARG for a null or empty name, CLASS_E_CLASSNOTAVAILABLE for a name that is not in
  // the table (*factory null in each case); otherwise the creator's HRESULT.
  HRESULT GetActivationFactory(HSTRING activatableClassId, IActivationFactory** factory) const;

  // True when no component object is alive, so the library may go.
  bool Terminate() const;

 private:
  const std::span<const ActivatableClassEntry> table_;
  std::shared_mutex lock_;  // taken exclusive to take a factory out of a cache slot
};

}  // namespace korvane
