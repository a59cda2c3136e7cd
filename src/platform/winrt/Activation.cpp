// RoActivateInstance / RoGetActivationFactory over the platform's one activatable class.
#include "platform/winrt/Activation.h"

#include "platform/com/ComPtr.h"
#include "platform/com/Exceptions.h"
#include "platform/com/RuntimeClass.h"
#include "platform/winrt/InMemoryRandomAccessStreamFactory.h"

#include <string_view>

using korvane::winrt::InMemoryRandomAccessStreamFactory;

HRESULT RoGetActivationFactory(HSTRING activatableClassId, REFIID iid, void** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  uint32_t length = 0;
  const char* name = WindowsGetStringRawBuffer(activatableClassId, &length);
  const std::string_view className(name, length);
  if (className.empty()) return E_INVALIDARG;
  if (className != korvane::winrt::kInMemoryRandomAccessStreamClassName) return REGDB_E_CLASSNOTREG;
  try {
    ComPtr<InMemoryRandomAccessStreamFactory> made = MakeRuntimeObject<InMemoryRandomAccessStreamFactory>();
    return made->QueryInterface(iid, factory);
  } catch (...) {
    return HResultFromCurrentException();
  }
}

HRESULT RoActivateInstance(HSTRING activatableClassId, IInspectable** instance) {
  if (instance == nullptr) return E_POINTER;
  *instance = nullptr;
  ComPtr<IActivationFactory> factory;
  HRESULT hr = RoGetActivationFactory(activatableClassId, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) return hr;
  return factory->ActivateInstance(instance);
}
