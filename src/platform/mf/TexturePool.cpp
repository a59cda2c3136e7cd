#include "platform/mf/TexturePool.h"

#include <algorithm>

namespace korvane::mf {

namespace {

// True when `texture` is referenced by the pool's slot alone. Nobody can take a new reference
// meanwhile: only the pool knows a texture nobody else holds.
bool HeldByPoolOnly(ID3D11Texture2D* texture) {
  texture->AddRef();
  return texture->Release() == 1;
}

bool Matches(ID3D11Texture2D* texture, DXGI_FORMAT format, UINT width, UINT height) {
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  return desc.Format == format && desc.Width == width && desc.Height == height;
}

}  // namespace

TexturePool::TexturePool(ComPtr<ID3D11Device> device) : device_(std::move(device)) {}

HRESULT TexturePool::Acquire(DXGI_FORMAT format, UINT width, UINT height, ComPtr<ID3D11Texture2D>& texture) {
  std::vector<ComPtr<ID3D11Texture2D>> dropped;  // released after the lock is left
  {
    std::lock_guard lock(mutex_);
    for (auto it = textures_.begin(); it != textures_.end();) {
      if (!HeldByPoolOnly(it->Get())) {
        ++it;
        continue;
      }
      if (Matches(it->Get(), format, width, height)) {
        texture = *it;
        return S_OK;
      }
      // A free texture of an older output type will not be asked for again.
      dropped.push_back(std::move(*it));
      it = textures_.erase(it);
    }
  }

  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  ComPtr<ID3D11Texture2D> created;
  HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &created);
  if (FAILED(hr)) return hr;
  {
    std::lock_guard lock(mutex_);
    if (textures_.size() < kMaxPooled) textures_.push_back(created);
  }
  texture = std::move(created);
  return S_OK;
}

}  // namespace korvane::mf
