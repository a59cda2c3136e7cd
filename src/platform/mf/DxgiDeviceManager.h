// The DXGI device manager (MFCreateDXGIDeviceManager): holds the device that media components
// decode onto. Handles are small integers cast to HANDLE; each remembers the device generation
// it was opened on, so that a ResetDevice makes older handles stale.
//
// Thread-safe: every field below `mutex_` is guarded by it. The device is handed out with its
// own reference; nothing else is called with `mutex_` held.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfobjects.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace korvane::mf {

class DxgiDeviceManager final : public ComObject<IMFDXGIDeviceManager> {
 public:
  explicit DxgiDeviceManager(UINT resetToken);

  HRESULT CloseDeviceHandle(HANDLE device) override;
  HRESULT LockDevice(HANDLE device, REFIID iid, void** object, BOOL block) override;
  HRESULT OpenDeviceHandle(HANDLE* device) override;
  HRESULT ResetDevice(IUnknown* device, UINT resetToken) override;
  HRESULT TestDevice(HANDLE device) override;
  HRESULT UnlockDevice(HANDLE device, BOOL saveState) override;

 private:
  struct Handle {
    uint64_t generation;
    int locks;
  };

  // S_OK with the handle's entry, E_HANDLE for an unknown handle, MF_E_DXGI_NEW_VIDEO_DEVICE
  // for one opened before the last ResetDevice. Called with mutex_ held.
  HRESULT Check(HANDLE device, Handle** entry);

  const UINT resetToken_;
  std::mutex mutex_;
  // -- guarded by mutex_
  ComPtr<ID3D11Device> device_;
  uint64_t generation_ = 0;
  uintptr_t nextHandle_ = 1;
  std::map<uintptr_t, Handle> handles_;
};

}  // namespace korvane::mf
