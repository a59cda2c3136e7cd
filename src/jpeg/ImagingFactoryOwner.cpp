#include "jpeg/ImagingFactoryOwner.h"

#include "platform/com/Exceptions.h"
#include "platform/wic/ComActivation.h"

namespace korvane {

namespace {

// One attempt: fails when the call fails or, the call succeeding, its one entry does.
HRESULT TryCreateImagingFactory(REFCLSID clsid, ComPtr<IWICImagingFactory>& factory) {
  MULTI_QI entry{&uuidof<IWICImagingFactory>(), nullptr, S_OK};
  HRESULT hr = CoCreateInstanceFromApp(clsid, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &entry);
  if (SUCCEEDED(hr)) hr = entry.hr;
  if (SUCCEEDED(hr) && entry.pItf == nullptr) hr = E_NOINTERFACE;
  if (FAILED(hr)) {
    if (entry.pItf != nullptr) entry.pItf->Release();
    return hr;
  }
  factory.Attach(static_cast<IWICImagingFactory*>(entry.pItf));
  return S_OK;
}

}  // namespace

ImagingFactoryOwner::ImagingFactoryOwner() {
  if (SUCCEEDED(TryCreateImagingFactory(CLSID_WICImagingFactory2, factory_))) return;
  HRESULT hr = TryCreateImagingFactory(CLSID_WICImagingFactory, factory_);
  if (FAILED(hr)) ThrowHResult(hr, "no imaging factory: neither CLSID_WICImagingFactory2 nor CLSID_WICImagingFactory");
}

}  // namespace korvane
