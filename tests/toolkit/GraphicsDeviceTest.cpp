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
  // The reference count of `object`, read by adding and dropping one.
  static ULONG Refs(IUnknown* object) {
    object->AddRef();
    return object->Release();
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
};

TEST_F(GraphicsDeviceTest, GetD3DDevice_ReturnsBorrowedDeviceAndContext) {
  const ULONG deviceRefs = Refs(device.Get());
  ComPtr<IGraphicsDevice> graphics;
  ASSERT_EQ(S_OK, CreateGraphicsDevice(device.Get(), &graphics));
  EXPECT_EQ(deviceRefs + 1, Refs(device.Get()));  // the object's own reference

  UINT64 deviceAddress = 0, contextAddress = 0;
  ASSERT_EQ(S_OK, graphics->GetD3DDevice(&deviceAddress));
  ASSERT_EQ(S_OK, graphics->GetD3DContext(&contextAddress));
  EXPECT_EQ(reinterpret_cast<UINT64>(device.Get()), deviceAddress);
  EXPECT_EQ(reinterpret_cast<UINT64>(context.Get()), contextAddress);
  EXPECT_EQ(deviceRefs + 1, Refs(device.Get()));  // borrowed: no reference handed out

  graphics.Reset();
  EXPECT_EQ(deviceRefs, Refs(device.Get()));
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

TEST_F(GraphicsDeviceTest, CreateGraphicsDevice_RefusesNullArguments) {
  ComPtr<IGraphicsDevice> graphics;
  EXPECT_EQ(E_INVALIDARG, CreateGraphicsDevice(nullptr, &graphics));
  EXPECT_EQ(nullptr, graphics.Get());
  EXPECT_EQ(E_POINTER, CreateGraphicsDevice(device.Get(), nullptr));
}

}  // namespace
}  // namespace Brindle::Tamsel::SceneGraph
