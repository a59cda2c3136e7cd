#include "toolkit/GraphicsDevice.h"

#include <new>

namespace Brindle::Tamsel::SceneGraph {

GraphicsDevice::GraphicsDevice(ID3D11Device* device) : device_(device) {
  device_->GetImmediateContext(&context_);
}

HRESULT GraphicsDevice::GetD3DDevice(UINT64* device) {
  if (device == nullptr) return E_POINTER;
  *device = reinterpret_cast<UINT64>(device_.Get());
  return S_OK;
}

HRESULT GraphicsDevice::GetD3DContext(UINT64* context) {
  if (context == nullptr) return E_POINTER;
  *context = reinterpret_cast<UINT64>(context_.Get());
  return S_OK;
}

}  // namespace Brindle::Tamsel::SceneGraph

HRESULT CreateGraphicsDevice(ID3D11Device* device, Brindle::Tamsel::SceneGraph::IGraphicsDevice** graphicsDevice) {
  if (graphicsDevice == nullptr) return E_POINTER;
  *graphicsDevice = nullptr;
  if (device == nullptr) return E_INVALIDARG;
  try {
    *graphicsDevice = MakeRuntimeObject<Brindle::Tamsel::SceneGraph::GraphicsDevice>(device).Detach();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}
