#include "platform/mf/DxgiSurfaceBuffer.h"

#include "platform/mf/TextureBytes.h"

namespace korvane::mf {

DxgiSurfaceBuffer::DxgiSurfaceBuffer(ComPtr<ID3D11Texture2D> texture, ComPtr<d3d11::ISoftwareTexture> pixels)
    : texture_(std::move(texture)),
      pixels_(std::move(pixels)),
      packedSize_(static_cast<DWORD>(PackedSize(pixels_->Desc()))) {}

HRESULT DxgiSurfaceBuffer::Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) {
  if (buffer == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (locks_ == 0) {
    packed_.resize(packedSize_);
    CopyTextureToPacked(pixels_.Get(), packed_.data());
  }
  ++locks_;
  *buffer = packed_.data();
  if (maxLength != nullptr) *maxLength = packedSize_;
  if (currentLength != nullptr) *currentLength = packedSize_;
  return S_OK;
}

HRESULT DxgiSurfaceBuffer::Unlock() {
  std::lock_guard lock(mutex_);
  if (locks_ == 0) return E_UNEXPECTED;  // unbalanced Unlock
  if (--locks_ == 0) {
    CopyPackedToTexture(packed_.data(), pixels_.Get());
    std::vector<BYTE>().swap(packed_);
  }
  return S_OK;
}

HRESULT DxgiSurfaceBuffer::GetCurrentLength(DWORD* length) {
  if (length == nullptr) return E_POINTER;
  *length = packedSize_;
  return S_OK;
}

HRESULT DxgiSurfaceBuffer::SetCurrentLength(DWORD length) {
  return length == packedSize_ ? S_OK : E_INVALIDARG;
}

HRESULT DxgiSurfaceBuffer::GetMaxLength(DWORD* length) {
  if (length == nullptr) return E_POINTER;
  *length = packedSize_;
  return S_OK;
}

HRESULT DxgiSurfaceBuffer::GetResource(REFIID iid, void** object) {
  return texture_->QueryInterface(iid, object);
}

HRESULT DxgiSurfaceBuffer::GetSubresourceIndex(UINT* index) {
  if (index == nullptr) return E_POINTER;
  *index = 0;
  return S_OK;
}

}  // namespace korvane::mf
