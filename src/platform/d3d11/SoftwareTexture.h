// Platform-internal access to a software texture's memory, for the media reader, which writes
// decoded pictures straight into textures instead of going through a staging copy and Map.
// Every texture made by the software device answers it; nothing else does.
//
// Layout: DepthPitch() bytes at Data(), rows of RowPitch() bytes (a multiple of 64, at least
// the row's width in bytes). NV12: Height luma rows, then Height / 2 rows of interleaved U,V.
// B8G8R8A8: Height rows of 4-byte pixels. Data() is fixed for the texture's life.
//
// Threads: the bytes belong to the device's immediate context. A writer that is not the
// texture's only user holds LockContents() while it touches them, so that its writes are
// serialised with the context's copies and maps; the lock is the device's lock, which is also
// the one ID3D10Multithread::Enter takes, and it is recursive. Hold it briefly and take no
// other lock while holding it.
#pragma once

#include "platform/d3d11/D3D11.h"

#include <mutex>

namespace korvane::d3d11 {

struct ISoftwareTexture : IUnknown {
  static constexpr GUID kIid{0x8E3F6C21, 0x5A7B, 0x4D19, {0xB2, 0x0E, 0x93, 0x5C, 0x1F, 0x6D, 0x27, 0x8A}};
  using BaseInterface = IUnknown;

  virtual uint8_t* Data() = 0;
  virtual UINT RowPitch() = 0;
  // Total bytes at Data(): RowPitch() × rows (Height, or Height + Height / 2 for NV12).
  virtual UINT DepthPitch() = 0;
  virtual const D3D11_TEXTURE2D_DESC& Desc() = 0;
  // The device's lock while the device is multithread protected; an empty lock otherwise, since
  // the context does not serialise its own calls then either (and a race stays visible to
  // thread checkers instead of being hidden).
  virtual std::unique_lock<std::recursive_mutex> LockContents() = 0;
};

}  // namespace korvane::d3d11
