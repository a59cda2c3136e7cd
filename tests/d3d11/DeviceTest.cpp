#include "D3D11TestHelpers.h"

#include <string>

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

TEST(CreateTexture2D, InitialDataWithWidePitch_ReadsBackExactly) {
  const struct {
    DXGI_FORMAT format;
    UINT width, height;
    D3D11_USAGE usage;
  } cases[] = {{DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_DEFAULT},
               {DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING},
               {DXGI_FORMAT_NV12, 2, 2, D3D11_USAGE_DEFAULT},
               {DXGI_FORMAT_NV12, 1920, 1080, D3D11_USAGE_DEFAULT},
               {DXGI_FORMAT_B8G8R8A8_UNORM, 321, 241, D3D11_USAGE_DEFAULT},
               {DXGI_FORMAT_B8G8R8A8_UNORM, 321, 241, D3D11_USAGE_STAGING},
               {DXGI_FORMAT_B8G8R8A8_UNORM, 16, 1, D3D11_USAGE_IMMUTABLE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format << " " << c.width << " x " << c.height << " usage " << c.usage);
    DeviceAndContext d = MakeDevice();
    D3D11_TEXTURE2D_DESC desc = Desc(c.format, c.width, c.height, c.usage);
    const UINT sourcePitch = RowBytes(desc) + 13;  // deliberately unaligned and wider than a row
    std::vector<uint8_t> source = Picture(desc, sourcePitch, 5);
    D3D11_SUBRESOURCE_DATA data{source.data(), sourcePitch, 0};
    ComPtr<ID3D11Texture2D> texture;
    ASSERT_EQ(S_OK, d.device->CreateTexture2D(&desc, &data, &texture));
    ReadBack back = Read(d, texture.Get());
    EXPECT_EQ(Packed(source, desc, sourcePitch), back.packed);
    EXPECT_EQ(0u, back.rowPitch % 64);
    EXPECT_GE(back.rowPitch, RowBytes(desc));
    EXPECT_LT(back.rowPitch, RowBytes(desc) + 64);
    EXPECT_EQ(back.rowPitch * Rows(desc), back.depthPitch);
    EXPECT_EQ(0u, d.diagnostics->GetStatistics().rejectedCalls) << d.diagnostics->GetLastRejection();
  }
}

TEST(CreateTexture2D, Placeholder_KeepsItsGreyBytesAndNoDataMeansZeros) {
  DeviceAndContext d = MakeDevice();
  D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 2, 2);
  desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
  std::vector<uint8_t> grey(12, 0x7F);
  D3D11_SUBRESOURCE_DATA data{grey.data(), 2, 1};
  ComPtr<ID3D11Texture2D> texture;
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&desc, &data, &texture));
  EXPECT_EQ(std::vector<uint8_t>(6, 0x7F), Read(d, texture.Get()).packed);
  D3D11_TEXTURE2D_DESC got{};
  texture->GetDesc(&got);
  EXPECT_EQ(0, std::memcmp(&desc, &got, sizeof desc));

  desc = Desc(DXGI_FORMAT_NV12, 64, 32);
  const uint64_t created = d.diagnostics->GetStatistics().texturesCreated;
  EXPECT_EQ(S_FALSE, d.device->CreateTexture2D(&desc, nullptr, nullptr));  // validates only
  EXPECT_EQ(created, d.diagnostics->GetStatistics().texturesCreated);
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&desc, nullptr, &texture));
  EXPECT_EQ(std::vector<uint8_t>(64 * 48, 0), Read(d, texture.Get()).packed);
}

TEST(CreateTexture2D, InvalidDescription_FailsWithInvalidArgNamingTheValue) {
  using D = D3D11_TEXTURE2D_DESC;
  using S = D3D11_SUBRESOURCE_DATA;
  const struct {
    const char* name;
    void (*change)(D&, S&);
    bool withData;
    const char* mentioned;  // the bad value, as the rejection names it
  } cases[] = {
      {"OddWidth", [](D& d, S&) { d.Width = 321; }, false, "321 x 242"},
      {"OddHeight", [](D& d, S&) { d.Height = 241; }, false, "322 x 241"},
      {"ZeroWidth", [](D& d, S&) { d.Width = 0; }, false, "0 x 242"},
      {"TooTall", [](D& d, S&) { d.Height = 16386; }, false, "16386"},
      {"UnknownFormat", [](D& d, S&) { d.Format = DXGI_FORMAT(28); }, false, "28"},
      {"MipLevels0", [](D& d, S&) { d.MipLevels = 0; }, false, "MipLevels 0"},
      {"MipLevels2", [](D& d, S&) { d.MipLevels = 2; }, false, "MipLevels 2"},
      {"ArraySize2", [](D& d, S&) { d.ArraySize = 2; }, false, "ArraySize 2"},
      {"Multisampled", [](D& d, S&) { d.SampleDesc.Count = 4; }, false, "4/0"},
      {"DefaultWithCpuAccess", [](D& d, S&) { d.CPUAccessFlags = D3D11_CPU_ACCESS_READ; }, false, "0x20000"},
      {"StagingWithoutCpuAccess", [](D& d, S&) { d.Usage = D3D11_USAGE_STAGING; d.BindFlags = 0; }, false,
       "without CPUAccessFlags"},
      {"StagingWithBind", [](D& d, S&) { d.Usage = D3D11_USAGE_STAGING; d.CPUAccessFlags = D3D11_CPU_ACCESS_READ; },
       false, "BindFlags 0x8"},
      {"Dynamic", [](D& d, S&) { d.Usage = D3D11_USAGE_DYNAMIC; }, false, "dynamic"},
      {"ImmutableWithoutData", [](D& d, S&) { d.Usage = D3D11_USAGE_IMMUTABLE; }, false, "immutable"},
      {"UnknownBindFlag", [](D& d, S&) { d.BindFlags |= 0x80; }, false, "0x88"},
      {"UnknownMiscFlag", [](D& d, S&) { d.MiscFlags = 0x4; }, false, "0x4"},
      {"NarrowSysMemPitch", [](D&, S& s) { s.SysMemPitch = 320; }, true, "SysMemPitch 320"},
      {"NullSysMem", [](D&, S& s) { s.pSysMem = nullptr; }, true, "pSysMem"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceAndContext d = MakeDevice();
    D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 322, 242);
    std::vector<uint8_t> source(322 * 363);
    D3D11_SUBRESOURCE_DATA data{source.data(), 322, 0};
    c.change(desc, data);
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(E_INVALIDARG, d.device->CreateTexture2D(&desc, c.withData ? &data : nullptr, &texture));
    EXPECT_EQ(nullptr, texture.Get());
    DeviceStatistics stats = d.diagnostics->GetStatistics();
    EXPECT_EQ(0u, stats.liveTextures);
    EXPECT_EQ(1u, stats.rejectedCalls);
    EXPECT_TRUE(RejectionMentions(d, c.mentioned));
  }
}

TEST(DeviceDiagnostics, TextureCounts_RiseAndFall) {
  DeviceAndContext d = MakeDevice();
  D3D11_TEXTURE2D_DESC nv12 = Desc(DXGI_FORMAT_NV12, 322, 242);       // pitch 384, 363 rows
  D3D11_TEXTURE2D_DESC bgra = Desc(DXGI_FORMAT_B8G8R8A8_UNORM, 17, 3);  // pitch 128, 3 rows
  const uint64_t nv12Bytes = 384 * 363, bgraBytes = 128 * 3;
  ComPtr<ID3D11Texture2D> a, b, c;
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&nv12, nullptr, &a));
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&nv12, nullptr, &b));
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&bgra, nullptr, &c));
  DeviceStatistics s = d.diagnostics->GetStatistics();
  EXPECT_EQ(3u, s.liveTextures);
  EXPECT_EQ(2 * nv12Bytes + bgraBytes, s.liveBytes);

  a.Reset();
  b.Reset();
  s = d.diagnostics->GetStatistics();
  EXPECT_EQ(1u, s.liveTextures);
  EXPECT_EQ(bgraBytes, s.liveBytes);
  EXPECT_EQ(3u, s.peakTextures);
  EXPECT_EQ(2 * nv12Bytes + bgraBytes, s.peakBytes);
  EXPECT_EQ(3u, s.texturesCreated);

  // A texture that outlives its device keeps counting on the same diagnostics.
  ComPtr<IDeviceDiagnostics> diagnostics = d.diagnostics;
  d = DeviceAndContext{};
  c.Reset();
  EXPECT_EQ(0u, diagnostics->GetStatistics().liveTextures);
  EXPECT_EQ(0u, diagnostics->GetStatistics().liveBytes);
}

}  // namespace
}  // namespace korvane::d3d11::test
