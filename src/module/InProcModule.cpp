#include "module/InProcModule.h"

#include "platform/com/ObjectCount.h"

#include <mutex>
#include <string_view>

namespace korvane {

InProcModule::~InProcModule() {
  for (const ActivatableClassEntry& entry : table_) {
    if (entry.factoryCache == nullptr) continue;
    IUnknown* cached = nullptr;
    {
      std::unique_lock lock(lock_);
      cached = entry.factoryCache->factory.exchange(nullptr);
    }
    if (cached != nullptr) cached->Release();
  }
}

HRESULT InProcModule::GetActivationFactory(HSTRING activatableClassId, IActivationFactory** factory) const {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  uint32_t length = 0;
  const char* text = WindowsGetStringRawBuffer(activatableClassId, &length);
  const std::string_view name(text, length);
  if (name.empty()) return E_INVALIDARG;
  for (const ActivatableClassEntry& entry : table_) {
    if (name == entry.runtimeClassName()) {
      return entry.createFactory(entry, IActivationFactory::kIid, reinterpret_cast<void**>(factory));
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

bool InProcModule::Terminate() const { return com::ModuleObjectCount() == 0; }

}  // namespace korvane
