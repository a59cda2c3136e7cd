#include "platform/wic/ComActivation.h"

#include "platform/wic/ImagingFactory.h"

#include <atomic>
#include <new>

namespace korvane::wic {
namespace {

std::atomic<bool> factoryRegistered{true};
std::atomic<bool> factory2Registered{true};

std::atomic<bool>* RegistrationOf(REFCLSID clsid) {
  if (clsid == CLSID_WICImagingFactory) return &factoryRegistered;
  if (clsid == CLSID_WICImagingFactory2) return &factory2Registered;
  return nullptr;
}

// Creates the object behind `clsid`, holding the one reference in `object`.
HRESULT CreateObject(REFCLSID clsid, IUnknown* outer, DWORD classContext, ComPtr<IUnknown>& object) {
  std::atomic<bool>* registered = RegistrationOf(clsid);
  if (registered == nullptr || !registered->load(std::memory_order_acquire)) return REGDB_E_CLASSNOTREG;
  // The factory lives in this process only.
  if ((classContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  try {
    ComPtr<ImagingFactory> factory = MakeComObject<ImagingFactory>();
    object = static_cast<IWICImagingFactory*>(factory.Get());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

void SetImagingFactoryRegisteredForTesting(REFCLSID clsid, bool registered) {
  if (std::atomic<bool>* slot = RegistrationOf(clsid)) slot->store(registered, std::memory_order_release);
}

}  // namespace korvane::wic

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD classContext, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComPtr<IUnknown> created;
  HRESULT hr = korvane::wic::CreateObject(clsid, outer, classContext, created);
  if (FAILED(hr)) return hr;
  return created->QueryInterface(iid, object);
}

HRESULT CoCreateInstanceFromApp(REFCLSID clsid, IUnknown* outer, DWORD classContext, void* /*reserved*/, DWORD count,
                                MULTI_QI* results) {
  if (count == 0 || results == nullptr) return E_INVALIDARG;
  for (DWORD i = 0; i < count; ++i) {
    results[i].pItf = nullptr;
    results[i].hr = E_NOINTERFACE;
  }
  ComPtr<IUnknown> created;
  HRESULT hr = korvane::wic::CreateObject(clsid, outer, classContext, created);
  if (FAILED(hr)) {
    for (DWORD i = 0; i < count; ++i) results[i].hr = hr;
    return hr;
  }
  DWORD answered = 0;
  for (DWORD i = 0; i < count; ++i) {
    MULTI_QI& entry = results[i];
    entry.hr = entry.pIID == nullptr ? E_INVALIDARG
                                     : created->QueryInterface(*entry.pIID, reinterpret_cast<void**>(&entry.pItf));
    if (SUCCEEDED(entry.hr)) ++answered;
  }
  if (answered == count) return S_OK;
  return answered == 0 ? E_NOINTERFACE : CO_S_NOTALLINTERFACES;
}
