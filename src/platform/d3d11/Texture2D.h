// A software texture: its description, its layout and its bytes in ordinary memory.
//
// Created only by Device::CreateTexture2D. The description and layout never change; the bytes
// are touched by the device's immediate context (under the device's lock while protected), by
// the holder of a Map between Map and Unmap, and by platform writers through ISoftwareTexture.
// The mapped flag is atomic so that two Maps can never both succeed, whatever the protection.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/DeviceCore.h"
#include "platform/d3d11/SoftwareTexture.h"
#include "platform/d3d11/TextureLayout.h"

#include <atomic>
#include <cstdlib>
#include <memory>

namespace korvane::d3d11 {

class Texture2D final : public ComObject<ID3D11Texture2D, ISoftwareTexture> {
 public:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using Bytes = std::unique_ptr<uint8_t, FreeDeleter>;

  // `bytes` holds layout.DepthPitch() bytes; counted in `core` until destruction.
  Texture2D(std::shared_ptr<DeviceCore> core, const D3D11_TEXTURE2D_DESC& desc, const TextureLayout& layout,
            Bytes bytes);

  // ID3D11Texture2D
  void GetDesc(D3D11_TEXTURE2D_DESC* pDesc) override;

  // ISoftwareTexture
  uint8_t* Data() override { return bytes_.get(); }
  UINT RowPitch() override { return layout_.RowPitch(); }
  UINT DepthPitch() override { return layout_.DepthPitch(); }
  const D3D11_TEXTURE2D_DESC& Desc() override { return desc_; }
  std::unique_lock<std::recursive_mutex> LockContents() override { return core_->LockIfProtected(); }

  const TextureLayout& Layout() const { return layout_; }
  const DeviceCore* Core() const { return core_.get(); }
  // Sets the mapped flag; false when it was already set.
  bool TryMap() { return !mapped_.exchange(true, std::memory_order_acq_rel); }
  // Clears the mapped flag; false when it was not set.
  bool TryUnmap() { return mapped_.exchange(false, std::memory_order_acq_rel); }
  bool IsMapped() const { return mapped_.load(std::memory_order_acquire); }

 protected:
  ~Texture2D() override;

 private:
  const std::shared_ptr<DeviceCore> core_;
  const D3D11_TEXTURE2D_DESC desc_;
  const TextureLayout layout_;
  const Bytes bytes_;
  std::atomic<bool> mapped_{false};
};

}  // namespace korvane::d3d11
