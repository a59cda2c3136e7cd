#include "platform/mf/TextureBytes.h"

#include "platform/mf/Mferror.h"

#include <cstring>
#include <vector>

namespace korvane::mf {

uint32_t PackedRowBytes(const D3D11_TEXTURE2D_DESC& desc) {
  return desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM ? desc.Width * 4 : desc.Width;
}

uint32_t PackedRowCount(const D3D11_TEXTURE2D_DESC& desc) {
  return desc.Format == DXGI_FORMAT_NV12 ? desc.Height + desc.Height / 2 : desc.Height;
}

uint64_t PackedSize(const D3D11_TEXTURE2D_DESC& desc) {
  return static_cast<uint64_t>(PackedRowBytes(desc)) * PackedRowCount(desc);
}

void CopyTextureToPacked(d3d11::ISoftwareTexture* texture, uint8_t* packed) {
  const D3D11_TEXTURE2D_DESC& desc = texture->Desc();
  const uint32_t rowBytes = PackedRowBytes(desc);
  const uint32_t rows = PackedRowCount(desc);
  const uint32_t pitch = texture->RowPitch();
  auto lock = texture->LockContents();
  const uint8_t* source = texture->Data();
  for (uint32_t row = 0; row < rows; ++row) std::memcpy(packed + size_t{row} * rowBytes, source + size_t{row} * pitch, rowBytes);
}

void CopyPackedToTexture(const uint8_t* packed, d3d11::ISoftwareTexture* texture) {
  const D3D11_TEXTURE2D_DESC& desc = texture->Desc();
  const uint32_t rowBytes = PackedRowBytes(desc);
  const uint32_t rows = PackedRowCount(desc);
  const uint32_t pitch = texture->RowPitch();
  auto lock = texture->LockContents();
  uint8_t* target = texture->Data();
  for (uint32_t row = 0; row < rows; ++row) std::memcpy(target + size_t{row} * pitch, packed + size_t{row} * rowBytes, rowBytes);
}

HRESULT CopyTexture(d3d11::ISoftwareTexture* source, d3d11::ISoftwareTexture* destination) {
  if (source == destination) return S_OK;
  const D3D11_TEXTURE2D_DESC& from = source->Desc();
  const D3D11_TEXTURE2D_DESC& to = destination->Desc();
  if (from.Format != to.Format || from.Width != to.Width || from.Height != to.Height) return MF_E_INVALIDMEDIATYPE;
  const uint32_t rowBytes = PackedRowBytes(from);
  const uint32_t rows = PackedRowCount(from);

  // Two textures of one device share its (recursive) lock, and an unprotected device has none;
  // then both are held for a direct copy. Textures of two different protected devices could
  // deadlock against a copy the other way round, so that case goes through a packed copy, one
  // lock at a time. Which lock a texture has is found by taking and leaving it.
  const auto lockOf = [](d3d11::ISoftwareTexture* texture) {
    auto lock = texture->LockContents();
    return lock.mutex();
  };
  const std::recursive_mutex* sourceMutex = lockOf(source);
  const std::recursive_mutex* destinationMutex = lockOf(destination);
  if (sourceMutex != nullptr && destinationMutex != nullptr && sourceMutex != destinationMutex) {
    std::vector<uint8_t> packed(PackedSize(from));
    CopyTextureToPacked(source, packed.data());
    CopyPackedToTexture(packed.data(), destination);
    return S_OK;
  }
  auto sourceLock = source->LockContents();
  auto destinationLock = destination->LockContents();
  const uint8_t* in = source->Data();
  uint8_t* out = destination->Data();
  const uint32_t inPitch = source->RowPitch();
  const uint32_t outPitch = destination->RowPitch();
  for (uint32_t row = 0; row < rows; ++row) std::memcpy(out + size_t{row} * outPitch, in + size_t{row} * inPitch, rowBytes);
  return S_OK;
}

}  // namespace korvane::mf
