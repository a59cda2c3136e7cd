#include "D3D11TestHelpers.h"

#include "platform/d3d11/SoftwareTexture.h"

#include <functional>
#include <string>

namespace korvane::d3d11::test {
namespace {

// A device with two 322 × 242 NV12 textures of known, different contents, and helpers to make
// more.
class DeviceContextTest : public ::testing::Test {
 public:
  ComPtr<ID3D11Texture2D> Make(D3D11_TEXTURE2D_DESC desc, int seed) {
    std::vector<uint8_t> source = Picture(desc, RowBytes(desc), seed);
    D3D11_SUBRESOURCE_DATA data{source.data(), RowBytes(desc), 0};
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(S_OK, d.device->CreateTexture2D(&desc, &data, &texture));
    return texture;
  }
  uint64_t Rejected() { return d.diagnostics->GetStatistics().rejectedCalls; }

  DeviceAndContext d = MakeDevice();
  D3D11_TEXTURE2D_DESC nv12 = Desc(DXGI_FORMAT_NV12, 322, 242);
  ComPtr<ID3D11Texture2D> first = Make(nv12, 1);
  ComPtr<ID3D11Texture2D> second = Make(nv12, 2);
};

TEST_F(DeviceContextTest, CopySubresourceRegion_BoxCopiesOnlyThatRegion) {
  for (DXGI_FORMAT format : {DXGI_FORMAT_NV12, DXGI_FORMAT_B8G8R8A8_UNORM}) {
    D3D11_TEXTURE2D_DESC desc = Desc(format, 40, 20);
    D3D11_TEXTURE2D_DESC big = Desc(format, 64, 30);
    ComPtr<ID3D11Texture2D> src = Make(desc, 3), dst = Make(big, 4);
    std::vector<uint8_t> expected = Read(d, dst.Get()).packed;
    const std::vector<uint8_t> source = Read(d, src.Get()).packed;
    const D3D11_BOX box{6, 4, 0, 30, 12, 1};
    const UINT dstX = 10, dstY = 8;
    const UINT bpp = format == DXGI_FORMAT_NV12 ? 1 : 4;
    for (UINT y = box.top; y < box.bottom; ++y)
      for (UINT x = box.left * bpp; x < box.right * bpp; ++x)
        expected[(dstY + y - box.top) * RowBytes(big) + dstX * bpp + x - box.left * bpp] = source[y * RowBytes(desc) + x];
    if (format == DXGI_FORMAT_NV12) {  // chroma rows at half height, U,V pairs at half width
      for (UINT y = box.top / 2; y < box.bottom / 2; ++y)
        for (UINT x = box.left; x < box.right; ++x)
          expected[(big.Height + dstY / 2 + y - box.top / 2) * big.Width + dstX + x - box.left] =
              source[(desc.Height + y) * desc.Width + x];
    }
    d.context->CopySubresourceRegion(dst.Get(), 0, dstX, dstY, 0, src.Get(), 0, &box);
    EXPECT_EQ(expected, Read(d, dst.Get()).packed) << "format " << format;
  }
  EXPECT_EQ(0u, Rejected()) << d.diagnostics->GetLastRejection();
}

TEST_F(DeviceContextTest, MapWrite_ThenCopies_CarryTheWrittenBytes) {
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  ASSERT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_WRITE, 0, &mapped));
  std::vector<uint8_t> picture = Picture(nv12, mapped.RowPitch, 9);
  ASSERT_EQ(picture.size(), mapped.DepthPitch);
  std::memcpy(mapped.pData, picture.data(), picture.size());
  d.context->Unmap(staging.Get(), 0);
  d.context->CopySubresourceRegion(first.Get(), 0, 0, 0, 0, staging.Get(), 0, nullptr);
  EXPECT_EQ(Packed(picture, nv12, mapped.RowPitch), Read(d, first.Get()).packed);
  EXPECT_EQ(0u, Rejected()) << d.diagnostics->GetLastRejection();
}

// Invalid copies leave the destination as it was and are counted with their reason.
struct CopyCase {
  const char* name;
  std::function<void(DeviceContextTest&, ID3D11DeviceContext*, ID3D11Texture2D* dst, ID3D11Texture2D* src)> copy;
  const char* mentioned;
};

class CopySubresourceRegionInvalid : public DeviceContextTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopySubresourceRegionInvalid, Copy_IsRejected) {
  std::vector<uint8_t> before = Read(d, first.Get()).packed;
  const uint64_t copies = d.diagnostics->GetStatistics().copies;
  GetParam().copy(*this, d.context.Get(), first.Get(), second.Get());
  EXPECT_EQ(1u, Rejected());
  EXPECT_NE(std::string::npos, d.diagnostics->GetLastRejection().find(GetParam().mentioned))
      << d.diagnostics->GetLastRejection();
  EXPECT_EQ(copies, d.diagnostics->GetStatistics().copies);
  EXPECT_EQ(before, Read(d, first.Get()).packed);
}

using T = ID3D11Texture2D;
using C = ID3D11DeviceContext;
using F = DeviceContextTest;
constexpr D3D11_BOX kOutside{0, 0, 0, 324, 242, 1};
constexpr D3D11_BOX kOdd{1, 0, 0, 11, 10, 1};
INSTANTIATE_TEST_SUITE_P(
    Cases, CopySubresourceRegionInvalid,
    ::testing::Values(
        CopyCase{"OtherFormat",
                 [](F& f, C* c, T* dst, T*) {
                   c->CopySubresourceRegion(dst, 0, 0, 0, 0, f.Make(Desc(DXGI_FORMAT_B8G8R8A8_UNORM, 322, 242), 0).Get(), 0, nullptr);
                 },
                 "formats differ"},
        CopyCase{"OtherSize",
                 [](F& f, C* c, T* dst, T*) {
                   c->CopySubresourceRegion(dst, 0, 0, 0, 0, f.Make(Desc(DXGI_FORMAT_NV12, 320, 242), 0).Get(), 0, nullptr);
                 },
                 "320 x 242"},
        CopyCase{"WholeAtOffset", [](F&, C* c, T* dst, T* src) { c->CopySubresourceRegion(dst, 0, 2, 0, 0, src, 0, nullptr); }, "(2,0)"},
        CopyCase{"BoxOutside", [](F&, C* c, T* dst, T* src) { c->CopySubresourceRegion(dst, 0, 0, 0, 0, src, 0, &kOutside); }, "324"},
        CopyCase{"BoxPastDestination",
                 [](F&, C* c, T* dst, T* src) {
                   D3D11_BOX box{0, 0, 0, 20, 20, 1};
                   c->CopySubresourceRegion(dst, 0, 310, 0, 0, src, 0, &box);
                 },
                 "(310,0)"},
        CopyCase{"OddNv12Box", [](F&, C* c, T* dst, T* src) { c->CopySubresourceRegion(dst, 0, 0, 0, 0, src, 0, &kOdd); }, "even"},
        CopyCase{"SameTexture", [](F&, C* c, T* dst, T*) { c->CopySubresourceRegion(dst, 0, 0, 0, 0, dst, 0, nullptr); }, "same"},
        CopyCase{"Subresource1", [](F&, C* c, T* dst, T* src) { c->CopySubresourceRegion(dst, 1, 0, 0, 0, src, 0, nullptr); }, "subresource 1"},
        CopyCase{"NullSource", [](F&, C* c, T* dst, T*) { c->CopySubresourceRegion(dst, 0, 0, 0, 0, nullptr, 0, nullptr); }, "null source"},
        CopyCase{"OtherDevice",
                 [](F&, C* c, T* dst, T*) {
                   D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 322, 242);
                   ComPtr<ID3D11Texture2D> foreign;
                   ASSERT_EQ(S_OK, MakeDevice().device->CreateTexture2D(&desc, nullptr, &foreign));
                   c->CopySubresourceRegion(dst, 0, 0, 0, 0, foreign.Get(), 0, nullptr);
                 },
                 "another device"},
        CopyCase{"MappedSource",
                 [](F& f, C* c, T* dst, T*) {
                   ComPtr<ID3D11Texture2D> staging = f.Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
                   D3D11_MAPPED_SUBRESOURCE mapped;
                   ASSERT_EQ(S_OK, c->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
                   c->CopySubresourceRegion(dst, 0, 0, 0, 0, staging.Get(), 0, nullptr);
                   c->Unmap(staging.Get(), 0);
                 },
                 "mapped"}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return std::string(info.param.name); });

struct MapCase {
  const char* name;
  D3D11_USAGE usage;
  UINT cpuAccess;
  D3D11_MAP type;
  UINT subresource;
  bool mapFirst;
};

class MapInvalid : public DeviceContextTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(MapInvalid, Map_FailsWithInvalidArg) {
  const MapCase& c = GetParam();
  D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 322, 242, c.usage);
  desc.CPUAccessFlags = c.cpuAccess;
  ComPtr<ID3D11Texture2D> texture = Make(desc, 0);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (c.mapFirst) {
    ASSERT_EQ(S_OK, d.context->Map(texture.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  }
  EXPECT_EQ(E_INVALIDARG, d.context->Map(texture.Get(), c.subresource, c.type, 0, &mapped));
  EXPECT_EQ(nullptr, mapped.pData);  // a failed Map hands out nothing
  EXPECT_EQ(1u, Rejected());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MapInvalid,
    ::testing::Values(MapCase{"DefaultTexture", D3D11_USAGE_DEFAULT, 0, D3D11_MAP_READ, 0, false},
                      MapCase{"ReadWithoutReadAccess", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_WRITE, D3D11_MAP_READ, 0, false},
                      MapCase{"WriteWithoutWriteAccess", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_WRITE, 0, false},
                      MapCase{"ReadWriteWithReadOnly", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ_WRITE, 0, false},
                      MapCase{"WriteDiscard", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_WRITE, D3D11_MAP_WRITE_DISCARD, 0, false},
                      MapCase{"Subresource1", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ, 1, false},
                      MapCase{"Twice", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ, 0, true}),
    [](const ::testing::TestParamInfo<MapCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceContextTest, Map_NullOutputOrForeignResourceFails) {
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  EXPECT_EQ(E_INVALIDARG, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, nullptr));
  D3D11_MAPPED_SUBRESOURCE mapped;
  EXPECT_EQ(E_INVALIDARG, d.context->Map(nullptr, 0, D3D11_MAP_READ, 0, &mapped));
  DeviceAndContext other = MakeDevice();
  EXPECT_EQ(E_INVALIDARG, other.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  EXPECT_EQ(2u, Rejected());
  EXPECT_EQ(1u, other.diagnostics->GetStatistics().rejectedCalls);
  EXPECT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));  // none of them mapped it
  d.context->Unmap(staging.Get(), 0);
}

TEST_F(DeviceContextTest, Unmap_WithoutMapIsRejected) {
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  D3D11_MAPPED_SUBRESOURCE mapped;
  ASSERT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  d.context->Unmap(staging.Get(), 0);
  EXPECT_EQ(0u, Rejected());
  d.context->Unmap(staging.Get(), 0);
  EXPECT_EQ(1u, Rejected());
  EXPECT_NE(std::string::npos, d.diagnostics->GetLastRejection().find("not mapped"));
  EXPECT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));  // still usable
  d.context->Unmap(staging.Get(), 0);
}

TEST_F(DeviceContextTest, SoftwareTexture_WritesAreSeenByCopies) {
  ComPtr<ISoftwareTexture> software;
  ASSERT_EQ(S_OK, first.As(&software));
  ComPtr<ISoftwareTexture> none;
  EXPECT_EQ(E_NOINTERFACE, d.device.As(&none));
  EXPECT_EQ(322u, software->Desc().Width);
  EXPECT_EQ(384u, software->RowPitch());
  EXPECT_EQ(384u * 363, software->DepthPitch());
  std::vector<uint8_t> picture = Picture(nv12, software->RowPitch(), 42);
  {
    auto lock = software->LockContents();
    std::memcpy(software->Data(), picture.data(), picture.size());
  }
  EXPECT_EQ(Packed(picture, nv12, software->RowPitch()), Read(d, first.Get()).packed);
}

}  // namespace
}  // namespace korvane::d3d11::test
