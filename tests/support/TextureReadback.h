// The one way the tests read a texture back to the CPU: a staging copy of it, mapped. Header-only
// so that every test binary can use it, including those of the device itself.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/d3d11/D3D11.h"

#include <cstdint>
#include <vector>

namespace korvane::test {

// Rows of a packed picture and its bytes per row: NV12 has the luma rows, then half as many
// rows of interleaved chroma; B8G8R8A8 has four bytes a pixel.
inline UINT PictureRows(DXGI_FORMAT format, UINT height) {
  return format == DXGI_FORMAT_NV12 ? height + height / 2 : height;
}
inline UINT PictureRowBytes(DXGI_FORMAT format, UINT width) { return format == DXGI_FORMAT_NV12 ? width : width * 4; }

// A CPU copy of a texture.
struct TextureBytes {
  D3D11_TEXTURE2D_DESC desc{};
  UINT rowPitch = 0;
  UINT depthPitch = 0;
  // The mapped subresource as it is, padding included: depthPitch bytes; empty when the texture
  // could not be read.
  std::vector<uint8_t> bytes;

  // The picture's rows without their padding.
  std::vector<uint8_t> Packed() const {
    std::vector<uint8_t> packed;
    if (bytes.empty()) return packed;
    const UINT rowBytes = PictureRowBytes(desc.Format, desc.Width);
    for (UINT row = 0; row < PictureRows(desc.Format, desc.Height); ++row) {
      const auto line = bytes.begin() + static_cast<std::ptrdiff_t>(row) * rowPitch;
      packed.insert(packed.end(), line, line + rowBytes);
    }
    return packed;
  }
};

// Copies `texture` into a staging texture of the same format and size on `device` and maps it.
inline TextureBytes ReadTexture(ID3D11Device* device, ID3D11Texture2D* texture) {
  TextureBytes result;
  texture->GetDesc(&result.desc);
  D3D11_TEXTURE2D_DESC desc = result.desc;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.MiscFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return result;
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return result;
  const auto* data = static_cast<const uint8_t*>(mapped.pData);
  result.bytes.assign(data, data + mapped.DepthPitch);
  result.rowPitch = mapped.RowPitch;
  result.depthPitch = mapped.DepthPitch;
  context->Unmap(staging.Get(), 0);
  return result;
}

}  // namespace korvane::test
