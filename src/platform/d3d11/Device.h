// The software device: makes textures in ordinary memory and owns the one immediate context.
//
// Free-threaded: CreateTexture2D and the diagnostics may be called from any thread at any time,
// as on the real API. The multithread switch (ID3D10Multithread) is shared with the context;
// answering it here as well as on the context mirrors the original, where applications
// commonly query the device for it.
//
// Ownership: the device holds its context; the context and every texture hold the shared
// DeviceCore, not the device, so there is no cycle and a texture may outlive its device.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/d3d11/DeviceCore.h"
#include "platform/d3d11/DeviceDiagnostics.h"

#include <memory>

namespace korvane::d3d11 {

class DeviceContext;

class Device final : public ComObject<ID3D11Device, ID3D10Multithread, IDeviceDiagnostics> {
 public:
  Device();

  // ID3D11Device
  HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC* pDesc, const D3D11_SUBRESOURCE_DATA* pInitialData,
                          ID3D11Texture2D** ppTexture2D) override;
  void GetImmediateContext(ID3D11DeviceContext** ppImmediateContext) override;

  // ID3D10Multithread
  void Enter() override { core_->Enter(); }
  void Leave() override { core_->Leave(); }
  BOOL SetMultithreadProtected(BOOL bMTProtect) override { return core_->SetProtected(bMTProtect != FALSE); }
  BOOL GetMultithreadProtected() override { return core_->IsProtected(); }

  // IDeviceDiagnostics
  DeviceStatistics GetStatistics() override { return core_->Statistics(); }
  std::string GetLastRejection() override { return core_->LastRejection(); }

 protected:
  ~Device() override;

 private:
  const std::shared_ptr<DeviceCore> core_;
  ComPtr<DeviceContext> context_;
};

}  // namespace korvane::d3d11
