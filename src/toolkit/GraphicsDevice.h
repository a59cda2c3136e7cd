// The toolkit's graphics-device runtime class over a Direct3D device. Applications (and tests)
// make one from a device with CreateGraphicsDevice and hand it to the component's Open.
//
// The object holds a reference on the device and on its immediate context for its whole life,
// so the borrowed addresses it hands out stay valid while it is alive. Immutable after
// construction, therefore callable from any thread.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/d3d11/D3D11.h"
#include "toolkit/IGraphicsDevice.h"

namespace Brindle::Tamsel::SceneGraph {

class GraphicsDevice final : public RuntimeClass<korvane::com::kPlainRuntimeClass, IGraphicsDevice> {
 public:
  // `device` must not be null; the context is the device's immediate context.
  explicit GraphicsDevice(ID3D11Device* device);

  HRESULT GetD3DDevice(UINT64* device) override;
  HRESULT GetD3DContext(UINT64* context) override;

 protected:
  const char* RuntimeClassNameText() const override { return "Brindle.Tamsel.SceneGraph.GraphicsDevice"; }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
};

}  // namespace Brindle::Tamsel::SceneGraph

// Makes a graphics device over `device`. E_INVALIDARG for a null device, E_POINTER for a null
// `graphicsDevice`; on success *graphicsDevice holds the one reference.
HRESULT CreateGraphicsDevice(ID3D11Device* device, Brindle::Tamsel::SceneGraph::IGraphicsDevice** graphicsDevice);
