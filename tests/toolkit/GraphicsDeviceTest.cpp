#include "toolkit/GraphicsDevice.h"
// Declarations only; included so that this folder's build checks them.
#include "toolkit/IVideoDecoder.h"

#include <gtest/gtest.h>

namespace Brindle::Tamsel::SceneGraph {
namespace {

class GraphicsDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                      &device, nullptr, &context));
  }
  // The reference count of the device, read by adding and dropping one.
  ULONG DeviceRefs() {
    device->AddRef();
    return device->Release();
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
};

TEST_F(GraphicsDeviceTest, GetD3DDevice_ReturnsBorrowedDeviceAndContext) {
  const ULONG refs = DeviceRefs();
  ComPtr<IGraphicsDevice> graphics;
  EXPECT_EQ(E_INVALIDARG, CreateGraphicsDevice(nullptr, &graphics));
  EXPECT_EQ(nullptr, graphics.Get());
  EXPECT_EQ(E_POINTER, CreateGraphicsDevice(device.Get(), nullptr));
  EXPECT_EQ(refs, DeviceRefs());
  ASSERT_EQ(S_OK, CreateGraphicsDevice(device.Get(), &graphics));
  EXPECT_EQ(refs + 1, DeviceRefs());  // the object's own reference

  UINT64 deviceAddress = 0, contextAddress = 0;
  ASSERT_EQ(S_OK, graphics->GetD3DDevice(&deviceAddress));
  ASSERT_EQ(S_OK, graphics->GetD3DContext(&contextAddress));
  EXPECT_EQ(reinterpret_cast<UINT64>(device.Get()), deviceAddress);
  EXPECT_EQ(reinterpret_cast<UINT64>(context.Get()), contextAddress);
  EXPECT_EQ(refs + 1, DeviceRefs());  // borrowed: no reference handed out
  graphics.Reset();
  EXPECT_EQ(refs, DeviceRefs());
}

TEST_F(GraphicsDeviceTest, Device_StaysUsableWhileTheObjectLives) {
  ComPtr<IGraphicsDevice> graphics;
  ASSERT_EQ(S_OK, CreateGraphicsDevice(device.Get(), &graphics));
  device.Reset();
  context.Reset();
  UINT64 address = 0;
  ASSERT_EQ(S_OK, graphics->GetD3DDevice(&address));
  D3D11_TEXTURE2D_DESC desc{4, 4, 1, 1, DXGI_FORMAT_NV12, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, 0};
  ComPtr<ID3D11Texture2D> texture;
  EXPECT_EQ(S_OK, reinterpret_cast<ID3D11Device*>(address)->CreateTexture2D(&desc, nullptr, &texture));
}

}  // namespace
}  // namespace Brindle::Tamsel::SceneGraph
