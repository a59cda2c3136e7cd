// The software device's immediate context: copies between textures, Map / Unmap of staging
// textures, Flush.
//
// Threads: like the original, the context is not thread-safe by itself. Once the device is
// multithread protected (ID3D10Multithread, answered here and by the device), every call holds
// the device's recursive lock for its whole run, so callers on several threads are serialised.
// Without protection no lock is taken, so that a caller that forgot to protect the device shows
// up as a race under a thread checker rather than being silently serialised.
//
// Copies run synchronously, so a Map never has to wait. Calls that return void on the real API
// report invalid use through the device's diagnostics (DeviceDiagnostics.h).
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/d3d11/DeviceCore.h"

#include <memory>
#include <string>

namespace korvane::d3d11 {

class Texture2D;

class DeviceContext final : public ComObject<ID3D11DeviceContext, ID3D10Multithread> {
 public:
  explicit DeviceContext(std::shared_ptr<DeviceCore> core);

  // ID3D11DeviceContext
  void CopySubresourceRegion(ID3D11Resource* pDstResource, UINT DstSubresource, UINT DstX, UINT DstY, UINT DstZ,
                             ID3D11Resource* pSrcResource, UINT SrcSubresource, const D3D11_BOX* pSrcBox) override;
  HRESULT Map(ID3D11Resource* pResource, UINT Subresource, D3D11_MAP MapType, UINT MapFlags,
              D3D11_MAPPED_SUBRESOURCE* pMappedResource) override;
  void Unmap(ID3D11Resource* pResource, UINT Subresource) override;
  void Flush() override;

  // ID3D10Multithread
  void Enter() override { core_->Enter(); }
  void Leave() override { core_->Leave(); }
  BOOL SetMultithreadProtected(BOOL bMTProtect) override { return core_->SetProtected(bMTProtect != FALSE); }
  BOOL GetMultithreadProtected() override { return core_->IsProtected(); }

 protected:
  ~DeviceContext() override;

 private:
  // The texture of this device behind `resource`, or null with `why` saying what is wrong.
  Texture2D* TextureOf(ID3D11Resource* resource, const char* role, std::string* why) const;
  // Why the copy is invalid; empty when it is valid. `box` receives the source region.
  std::string CheckCopy(Texture2D* dst, UINT dstX, UINT dstY, UINT dstZ, Texture2D* src,
                        const D3D11_BOX* srcBox, D3D11_BOX* box) const;

  const std::shared_ptr<DeviceCore> core_;
};

}  // namespace korvane::d3d11
