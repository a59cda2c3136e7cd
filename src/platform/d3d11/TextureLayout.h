// Where a software texture's bytes lie: a fixed row pitch (the row's width in bytes rounded up
// to kPitchAlignment) and one plane (B8G8R8A8) or two (NV12: luma, then interleaved chroma at
// half height). A value type computed from a format and a size; the device, the context and the
// media reader agree on it through this one place.
#pragma once

#include "platform/d3d11/D3D11.h"

#include <cstddef>
#include <optional>

namespace korvane::d3d11 {

class TextureLayout {
 public:
  static constexpr UINT kPitchAlignment = 64;

  struct Plane {
    std::size_t offset;      // from the start of the texture's bytes
    UINT rows;
    UINT rowBytes;           // bytes of picture data in a row
    UINT bytesPerPixel;      // bytes per horizontal texel step (1 luma, 2 chroma pair, 4 BGRA)
    UINT verticalDivisor;    // 2 for NV12 chroma: picture row y lies in plane row y / 2
    UINT horizontalDivisor;  // 2 for NV12 chroma: picture column x lies in pair x / 2
  };

  // Null for an unsupported format, a zero or too large size, or an odd NV12 size.
  static std::optional<TextureLayout> For(DXGI_FORMAT format, UINT width, UINT height);

  UINT RowPitch() const { return rowPitch_; }
  UINT Rows() const { return rows_; }  // over all planes
  UINT DepthPitch() const { return rowPitch_ * rows_; }
  // Bytes of picture data in a row of the first plane (the source's minimum SysMemPitch).
  UINT RowBytes() const { return planes_[0].rowBytes; }
  // Whether boxes and points must be even (subsampled chroma).
  bool NeedsEvenCoordinates() const { return planeCount_ == 2; }
  int PlaneCount() const { return planeCount_; }
  const Plane& PlaneAt(int index) const { return planes_[index]; }

 private:
  UINT rowPitch_ = 0;
  UINT rows_ = 0;
  int planeCount_ = 0;
  Plane planes_[2]{};
};

}  // namespace korvane::d3d11
