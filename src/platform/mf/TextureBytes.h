// Moving pixels in and out of software textures: packed copies (for IMFMediaBuffer::Lock) and
// texture-to-texture copies (IMFSample::CopyToBuffer). Every function takes the textures'
// content locks itself (ISoftwareTexture::LockContents), so callers hold none.
#pragma once

#include "platform/d3d11/SoftwareTexture.h"

#include <cstdint>

namespace korvane::mf {

// Bytes of one row as packed (no padding) and the number of rows: NV12 has Height luma rows
// and Height / 2 chroma rows of Width bytes; B8G8R8A8 Height rows of Width × 4 bytes.
uint32_t PackedRowBytes(const D3D11_TEXTURE2D_DESC& desc);
uint32_t PackedRowCount(const D3D11_TEXTURE2D_DESC& desc);
uint64_t PackedSize(const D3D11_TEXTURE2D_DESC& desc);

// `packed` holds PackedSize bytes.
void CopyTextureToPacked(d3d11::ISoftwareTexture* texture, uint8_t* packed);
void CopyPackedToTexture(const uint8_t* packed, d3d11::ISoftwareTexture* texture);

// Same format and size, else MF_E_INVALIDMEDIATYPE (nothing copied). The same texture: S_OK.
HRESULT CopyTexture(d3d11::ISoftwareTexture* source, d3d11::ISoftwareTexture* destination);

}  // namespace korvane::mf
