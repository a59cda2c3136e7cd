#include "platform/d3d11/Texture2D.h"

namespace korvane::d3d11 {

Texture2D::Texture2D(std::shared_ptr<DeviceCore> core, const D3D11_TEXTURE2D_DESC& desc,
                     const TextureLayout& layout, Bytes bytes)
    : core_(std::move(core)), desc_(desc), layout_(layout), bytes_(std::move(bytes)) {
  core_->OnTextureCreated(layout_.DepthPitch());
}

Texture2D::~Texture2D() { core_->OnTextureDestroyed(layout_.DepthPitch()); }

void Texture2D::GetDesc(D3D11_TEXTURE2D_DESC* pDesc) {
  if (pDesc != nullptr) *pDesc = desc_;
}

}  // namespace korvane::d3d11
