#include "platform/mf/DxgiDeviceManager.h"

namespace korvane::mf {

DxgiDeviceManager::DxgiDeviceManager(UINT resetToken) : resetToken_(resetToken) {}

HRESULT DxgiDeviceManager::Check(HANDLE device, Handle** entry) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(device));
  if (it == handles_.end()) return E_HANDLE;
  if (it->second.generation != generation_) return MF_E_DXGI_NEW_VIDEO_DEVICE;
  *entry = &it->second;
  return S_OK;
}

HRESULT DxgiDeviceManager::CloseDeviceHandle(HANDLE device) {
  std::lock_guard lock(mutex_);
  return handles_.erase(reinterpret_cast<uintptr_t>(device)) == 1 ? S_OK : E_HANDLE;
}

HRESULT DxgiDeviceManager::LockDevice(HANDLE device, REFIID iid, void** object, BOOL /*block*/) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComPtr<ID3D11Device> held;
  {
    std::lock_guard lock(mutex_);
    Handle* entry = nullptr;
    HRESULT hr = Check(device, &entry);
    if (FAILED(hr)) return hr;
    ++entry->locks;
    held = device_;
  }
  HRESULT hr = held->QueryInterface(iid, object);
  if (FAILED(hr)) UnlockDevice(device, FALSE);
  return hr;
}

HRESULT DxgiDeviceManager::OpenDeviceHandle(HANDLE* device) {
  if (device == nullptr) return E_POINTER;
  *device = nullptr;
  std::lock_guard lock(mutex_);
  if (!device_) return MF_E_DXGI_DEVICE_NOT_INITIALIZED;
  uintptr_t id = nextHandle_++;
  handles_.emplace(id, Handle{generation_, 0});
  *device = reinterpret_cast<HANDLE>(id);
  return S_OK;
}

HRESULT DxgiDeviceManager::ResetDevice(IUnknown* device, UINT resetToken) {
  if (device == nullptr) return E_POINTER;
  if (resetToken != resetToken_) return E_INVALIDARG;
  ComPtr<ID3D11Device> d3d;
  HRESULT hr = device->QueryInterface(IID_PPV_ARGS(&d3d));
  if (FAILED(hr)) return hr;
  ComPtr<ID3D11Device> previous;
  std::lock_guard lock(mutex_);
  previous = std::move(device_);  // released after the lock is left (declared before it)
  device_ = std::move(d3d);
  ++generation_;
  return S_OK;
}

HRESULT DxgiDeviceManager::TestDevice(HANDLE device) {
  std::lock_guard lock(mutex_);
  Handle* entry = nullptr;
  return Check(device, &entry);
}

HRESULT DxgiDeviceManager::UnlockDevice(HANDLE device, BOOL /*saveState*/) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(reinterpret_cast<uintptr_t>(device));
  if (it == handles_.end()) return E_HANDLE;
  if (it->second.locks == 0) return E_INVALIDARG;
  --it->second.locks;
  return S_OK;
}

}  // namespace korvane::mf
