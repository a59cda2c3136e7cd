#include "D3D11TestHelpers.h"

namespace korvane::d3d11::test {
namespace {

TEST(D3D11CreateDevice, EveryDriverType_GivesSoftwareDeviceWithItsContext) {
  for (D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP, D3D_DRIVER_TYPE_REFERENCE,
                                 D3D_DRIVER_TYPE_NULL}) {
    SCOPED_TRACE(driver);
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context, again;
    D3D_FEATURE_LEVEL level{};
    ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2,
                                      D3D11_SDK_VERSION, &device, &level, &context));
    EXPECT_EQ(D3D_FEATURE_LEVEL_11_1, level);
    ASSERT_NE(nullptr, context.Get());
    device->GetImmediateContext(&again);
    EXPECT_EQ(context.Get(), again.Get());  // one immediate context per device
  }
}

TEST(D3D11CreateDevice, InvalidArguments_FailWithInvalidArgAndNoOutputs) {
  static int module;
  const struct {
    const char* name;
    D3D_DRIVER_TYPE driver;
    HMODULE software;
    UINT flags, sdkVersion;
    D3D_FEATURE_LEVEL level;
  } cases[] = {
      {"UnknownDriverWithoutAdapter", D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, D3D11_SDK_VERSION, D3D_FEATURE_LEVEL_11_0},
      {"SoftwareRasterizer", D3D_DRIVER_TYPE_SOFTWARE, &module, 0, D3D11_SDK_VERSION, D3D_FEATURE_LEVEL_11_0},
      {"UnknownFlag", D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x4000000, D3D11_SDK_VERSION, D3D_FEATURE_LEVEL_11_0},
      {"WrongSdkVersion", D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, 6, D3D_FEATURE_LEVEL_11_0},
      {"UnknownFeatureLevel", D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, D3D11_SDK_VERSION, D3D_FEATURE_LEVEL(0xc000)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    EXPECT_EQ(E_INVALIDARG, D3D11CreateDevice(nullptr, c.driver, c.software, c.flags, &c.level, 1, c.sdkVersion,
                                              &device, nullptr, &context));
    EXPECT_EQ(nullptr, device.Get());
    EXPECT_EQ(nullptr, context.Get());
  }
}

TEST(D3D11CreateDevice, NoOutputs_ValidatesOnly) {
  D3D_FEATURE_LEVEL level{};
  EXPECT_EQ(S_FALSE, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                       nullptr, &level, nullptr));
  EXPECT_EQ(D3D_FEATURE_LEVEL_11_0, level);
}

}  // namespace
}  // namespace korvane::d3d11::test
