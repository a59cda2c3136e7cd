#include "platform/d3d11/TextureLayout.h"

namespace korvane::d3d11 {

std::optional<TextureLayout> TextureLayout::For(DXGI_FORMAT format, UINT width, UINT height) {
  if (width == 0 || height == 0 || width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
      height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION) {
    return std::nullopt;
  }
  TextureLayout layout;
  switch (format) {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
      layout.planeCount_ = 1;
      layout.planes_[0] = Plane{0, height, width * 4, 4, 1, 1};
      break;
    case DXGI_FORMAT_NV12:
      if (width % 2 != 0 || height % 2 != 0) return std::nullopt;
      layout.planeCount_ = 2;
      layout.planes_[0] = Plane{0, height, width, 1, 1, 1};
      // Each chroma row holds width / 2 U,V pairs, so it is as wide in bytes as a luma row.
      layout.planes_[1] = Plane{0, height / 2, width, 2, 2, 2};
      break;
    default:
      return std::nullopt;
  }
  // At most 16384 × 4 bytes a row and 24576 rows: the pitch and the total fit in 32 bits.
  layout.rowPitch_ = (layout.planes_[0].rowBytes + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment;
  if (layout.planeCount_ == 2) layout.planes_[1].offset = static_cast<std::size_t>(layout.rowPitch_) * height;
  for (int i = 0; i < layout.planeCount_; ++i) layout.rows_ += layout.planes_[i].rows;
  return layout;
}

}  // namespace korvane::d3d11
