#include "platform/d3d11/DeviceContext.h"

#include "platform/d3d11/Texture2D.h"

#include <cstring>

namespace korvane::d3d11 {
namespace {

std::string BoxText(const D3D11_BOX& box) {
  return "(" + std::to_string(box.left) + "," + std::to_string(box.top) + "," + std::to_string(box.front) + ")-(" +
         std::to_string(box.right) + "," + std::to_string(box.bottom) + "," + std::to_string(box.back) + ")";
}

std::string SizeText(const D3D11_TEXTURE2D_DESC& desc) {
  return std::to_string(desc.Width) + " x " + std::to_string(desc.Height);
}

// Whether a staging texture with `access` may be mapped for `type`. The discard and
// no-overwrite kinds belong to dynamic textures, which are not offered.
bool MapTypeAllowed(D3D11_MAP type, UINT access) {
  constexpr UINT kReadWrite = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
  switch (type) {
    case D3D11_MAP_READ:
      return (access & D3D11_CPU_ACCESS_READ) != 0;
    case D3D11_MAP_WRITE:
      return (access & D3D11_CPU_ACCESS_WRITE) != 0;
    case D3D11_MAP_READ_WRITE:
      return (access & kReadWrite) == kReadWrite;
    default:
      return false;
  }
}

// Copies `box` of the source to (dstX, dstY) of the destination, plane by plane; both have the
// same format, and the region was checked to lie inside both.
void CopyRegion(Texture2D& dst, UINT dstX, UINT dstY, Texture2D& src, const D3D11_BOX& box) {
  const TextureLayout& dstLayout = dst.Layout();
  const TextureLayout& srcLayout = src.Layout();
  for (int p = 0; p < srcLayout.PlaneCount(); ++p) {
    const TextureLayout::Plane& sp = srcLayout.PlaneAt(p);
    const TextureLayout::Plane& dp = dstLayout.PlaneAt(p);
    const std::size_t rowBytes = static_cast<std::size_t>(box.right - box.left) / sp.horizontalDivisor * sp.bytesPerPixel;
    const UINT rows = (box.bottom - box.top) / sp.verticalDivisor;
    const uint8_t* from = src.Data() + sp.offset + static_cast<std::size_t>(box.top / sp.verticalDivisor) * srcLayout.RowPitch() +
                          static_cast<std::size_t>(box.left / sp.horizontalDivisor) * sp.bytesPerPixel;
    uint8_t* to = dst.Data() + dp.offset + static_cast<std::size_t>(dstY / dp.verticalDivisor) * dstLayout.RowPitch() +
                  static_cast<std::size_t>(dstX / dp.horizontalDivisor) * dp.bytesPerPixel;
    for (UINT row = 0; row < rows; ++row) {
      std::memcpy(to, from, rowBytes);
      from += srcLayout.RowPitch();
      to += dstLayout.RowPitch();
    }
  }
}

}  // namespace

DeviceContext::DeviceContext(std::shared_ptr<DeviceCore> core) : core_(std::move(core)) {}

DeviceContext::~DeviceContext() = default;

Texture2D* DeviceContext::TextureOf(ID3D11Resource* resource, const char* role, std::string* why) const {
  if (resource == nullptr) {
    *why = std::string("null ") + role;
    return nullptr;
  }
  auto* texture = dynamic_cast<Texture2D*>(resource);
  if (texture == nullptr) {
    *why = std::string(role) + " is not a texture of the software device";
    return nullptr;
  }
  if (texture->Core() != core_.get()) {
    *why = std::string(role) + " belongs to another device";
    return nullptr;
  }
  return texture;
}

std::string DeviceContext::CheckCopy(Texture2D* dst, UINT dstX, UINT dstY, UINT dstZ, Texture2D* src,
                                     const D3D11_BOX* srcBox, D3D11_BOX* box) const {
  const D3D11_TEXTURE2D_DESC& d = dst->Desc();
  const D3D11_TEXTURE2D_DESC& s = src->Desc();
  if (dst == src) return "source and destination are the same subresource";
  if (d.Format != s.Format) {
    return "formats differ (destination " + std::to_string(d.Format) + ", source " + std::to_string(s.Format) + ")";
  }
  if (d.Usage == D3D11_USAGE_IMMUTABLE) return "the destination is immutable";
  if (dst->IsMapped()) return "the destination is mapped";
  if (src->IsMapped()) return "the source is mapped";
  if (dstZ != 0) return "DstZ " + std::to_string(dstZ) + " on a 2D texture";
  if (srcBox == nullptr) {
    // The whole source: in this program that is always a frame copied into a texture of its own
    // description, so a size mismatch is a bug worth refusing rather than a partial copy.
    if (d.Width != s.Width || d.Height != s.Height) {
      return "sizes differ (destination " + SizeText(d) + ", source " + SizeText(s) + ")";
    }
    if (dstX != 0 || dstY != 0) {
      return "whole-texture copy to (" + std::to_string(dstX) + "," + std::to_string(dstY) + ") does not fit";
    }
    *box = D3D11_BOX{0, 0, 0, s.Width, s.Height, 1};
    return {};
  }
  *box = *srcBox;
  if (box->front != 0 || box->back != 1 || box->left > box->right || box->top > box->bottom ||
      box->right > s.Width || box->bottom > s.Height) {
    return "box " + BoxText(*box) + " outside the source's " + SizeText(s);
  }
  const uint64_t width = box->right - box->left;
  const uint64_t height = box->bottom - box->top;
  if (uint64_t{dstX} + width > d.Width || uint64_t{dstY} + height > d.Height) {
    return "box " + BoxText(*box) + " at (" + std::to_string(dstX) + "," + std::to_string(dstY) +
           ") outside the destination's " + SizeText(d);
  }
  if (src->Layout().NeedsEvenCoordinates() &&
      ((box->left | box->top | box->right | box->bottom | dstX | dstY) & 1u) != 0) {
    return "NV12 box " + BoxText(*box) + " at (" + std::to_string(dstX) + "," + std::to_string(dstY) +
           ") is not on even coordinates";
  }
  return {};
}

void DeviceContext::CopySubresourceRegion(ID3D11Resource* pDstResource, UINT DstSubresource, UINT DstX, UINT DstY,
                                          UINT DstZ, ID3D11Resource* pSrcResource, UINT SrcSubresource,
                                          const D3D11_BOX* pSrcBox) {
  auto lock = core_->LockIfProtected();
  std::string why;
  Texture2D* dst = TextureOf(pDstResource, "destination", &why);
  Texture2D* src = dst != nullptr ? TextureOf(pSrcResource, "source", &why) : nullptr;
  D3D11_BOX box{};
  if (src != nullptr) {
    if (DstSubresource != 0 || SrcSubresource != 0) {
      why = "subresource " + std::to_string(DstSubresource != 0 ? DstSubresource : SrcSubresource) +
            " of a texture with one";
    } else {
      why = CheckCopy(dst, DstX, DstY, DstZ, src, pSrcBox, &box);
    }
  }
  if (!why.empty()) {
    core_->Reject("CopySubresourceRegion: " + why);
    return;
  }
  // An empty box is valid and copies nothing, as on the real API.
  if (box.left == box.right || box.top == box.bottom) return;
  if (pSrcBox == nullptr) {
    // Same format and size give the same layout: one block.
    std::memcpy(dst->Data(), src->Data(), src->DepthPitch());
  } else {
    CopyRegion(*dst, DstX, DstY, *src, box);
  }
  core_->OnCopy();
}

HRESULT DeviceContext::Map(ID3D11Resource* pResource, UINT Subresource, D3D11_MAP MapType, UINT MapFlags,
                           D3D11_MAPPED_SUBRESOURCE* pMappedResource) {
  auto lock = core_->LockIfProtected();
  if (pMappedResource != nullptr) *pMappedResource = D3D11_MAPPED_SUBRESOURCE{};
  std::string why;
  Texture2D* texture = TextureOf(pResource, "resource", &why);
  if (texture != nullptr) {
    const D3D11_TEXTURE2D_DESC& desc = texture->Desc();
    const UINT access = desc.CPUAccessFlags;
    if (pMappedResource == nullptr) {
      why = "null pMappedResource";
    } else if (Subresource != 0) {
      why = "subresource " + std::to_string(Subresource) + " of a texture with one";
    } else if (desc.Usage != D3D11_USAGE_STAGING) {
      why = "usage " + std::to_string(desc.Usage) + " is not staging";
    } else if ((MapFlags & ~static_cast<UINT>(D3D11_MAP_FLAG_DO_NOT_WAIT)) != 0) {
      why = "MapFlags " + std::to_string(MapFlags);
    } else if (!MapTypeAllowed(MapType, access)) {
      why = "MapType " + std::to_string(MapType) + " with CPUAccessFlags " + std::to_string(access);
    } else if (!texture->TryMap()) {
      why = "the texture is already mapped";
    }
  }
  if (!why.empty()) {
    core_->Reject("Map: " + why);
    return E_INVALIDARG;
  }
  pMappedResource->pData = texture->Data();
  pMappedResource->RowPitch = texture->RowPitch();
  pMappedResource->DepthPitch = texture->DepthPitch();
  return S_OK;
}

void DeviceContext::Unmap(ID3D11Resource* pResource, UINT Subresource) {
  auto lock = core_->LockIfProtected();
  std::string why;
  Texture2D* texture = TextureOf(pResource, "resource", &why);
  if (texture != nullptr) {
    if (Subresource != 0) {
      why = "subresource " + std::to_string(Subresource) + " of a texture with one";
    } else if (!texture->TryUnmap()) {
      why = "the texture is not mapped";
    }
  }
  if (!why.empty()) core_->Reject("Unmap: " + why);
}

void DeviceContext::Flush() {
  auto lock = core_->LockIfProtected();
  core_->OnFlush();
}

}  // namespace korvane::d3d11
