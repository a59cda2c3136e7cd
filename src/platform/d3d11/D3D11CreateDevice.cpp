#include "platform/d3d11/D3D11.h"

#include "platform/d3d11/Device.h"

#include <new>

namespace {

bool IsKnownFeatureLevel(D3D_FEATURE_LEVEL level) {
  switch (level) {
    case D3D_FEATURE_LEVEL_9_1:
    case D3D_FEATURE_LEVEL_9_2:
    case D3D_FEATURE_LEVEL_9_3:
    case D3D_FEATURE_LEVEL_10_0:
    case D3D_FEATURE_LEVEL_10_1:
    case D3D_FEATURE_LEVEL_11_0:
    case D3D_FEATURE_LEVEL_11_1:
      return true;
  }
  return false;
}

constexpr UINT kKnownCreateFlags = D3D11_CREATE_DEVICE_SINGLETHREADED | D3D11_CREATE_DEVICE_DEBUG |
                                   D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;

}  // namespace

HRESULT D3D11CreateDevice(IDXGIAdapter* pAdapter, D3D_DRIVER_TYPE DriverType, HMODULE Software, UINT Flags,
                          const D3D_FEATURE_LEVEL* pFeatureLevels, UINT FeatureLevels, UINT SDKVersion,
                          ID3D11Device** ppDevice, D3D_FEATURE_LEVEL* pFeatureLevel,
                          ID3D11DeviceContext** ppImmediateContext) {
  if (ppDevice != nullptr) *ppDevice = nullptr;
  if (ppImmediateContext != nullptr) *ppImmediateContext = nullptr;
  if (pAdapter != nullptr || Software != nullptr || SDKVersion != D3D11_SDK_VERSION ||
      (Flags & ~kKnownCreateFlags) != 0 || (pFeatureLevels == nullptr && FeatureLevels != 0)) {
    return E_INVALIDARG;
  }
  switch (DriverType) {
    case D3D_DRIVER_TYPE_HARDWARE:
    case D3D_DRIVER_TYPE_REFERENCE:
    case D3D_DRIVER_TYPE_NULL:
    case D3D_DRIVER_TYPE_WARP:
      break;
    default:
      return E_INVALIDARG;
  }
  D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
  if (FeatureLevels != 0) {
    UINT i = 0;
    while (i < FeatureLevels && !IsKnownFeatureLevel(pFeatureLevels[i])) ++i;
    if (i == FeatureLevels) return E_INVALIDARG;
    level = pFeatureLevels[i];
  }
  if (pFeatureLevel != nullptr) *pFeatureLevel = level;
  if (ppDevice == nullptr && ppImmediateContext == nullptr) return S_FALSE;

  ComPtr<korvane::d3d11::Device> device;
  try {
    device = MakeComObject<korvane::d3d11::Device>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (ppImmediateContext != nullptr) device->GetImmediateContext(ppImmediateContext);
  if (ppDevice != nullptr) *ppDevice = device.Detach();
  return S_OK;
}
