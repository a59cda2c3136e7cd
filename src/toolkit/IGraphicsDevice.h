// The scene-graph toolkit's graphics device as the component sees it: a runtime object that
// gives the Direct3D device the application renders with and that device's immediate context.
#pragma once

#include "platform/com/WinRtInterfaces.h"

namespace Brindle::Tamsel::SceneGraph {

struct IGraphicsDevice : IInspectable {
  static constexpr GUID kIid{0x3A9C52E4, 0x7B1D, 0x4C8E, {0x95, 0x2F, 0x0D, 0x6B, 0x8A, 0x41, 0xE3, 0x17}};
  using BaseInterface = IInspectable;

  // The address of the ID3D11Device, as a borrowed pointer: no reference is added, and it stays
  // valid as long as this object is alive. A caller that keeps it takes its own reference.
  virtual HRESULT GetD3DDevice(UINT64* device) = 0;
  // The address of that device's immediate ID3D11DeviceContext, borrowed likewise.
  virtual HRESULT GetD3DContext(UINT64* context) = 0;
};

}  // namespace Brindle::Tamsel::SceneGraph
