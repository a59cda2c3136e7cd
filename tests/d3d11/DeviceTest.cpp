#include "D3D11TestHelpers.h"

#include <string>

namespace korvane::d3d11::test {
namespace {

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

  desc = Desc(DXGI_FORMAT_NV12, 64, 32);
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
      {"ZeroWidth", [](D& d, S&) { d.Width = 0; }, false, "0 x 242"},
      {"TooTall", [](D& d, S&) { d.Height = 16386; }, false, "16386"},
      {"UnknownFormat", [](D& d, S&) { d.Format = DXGI_FORMAT(28); }, false, "28"},
      {"StagingWithoutCpuAccess", [](D& d, S&) { d.Usage = D3D11_USAGE_STAGING; d.BindFlags = 0; }, false,
       "without CPUAccessFlags"},
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

}  // namespace
}  // namespace korvane::d3d11::test
