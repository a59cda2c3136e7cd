#include "D3D11TestHelpers.h"

#include "platform/d3d11/SoftwareTexture.h"

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

// Invalid copies change nothing, and are counted with a reason that names the bad value.
TEST_F(DeviceContextTest, CopySubresourceRegion_InvalidCopyIsRejected) {
  enum Source { kSecond, kSame, kNull, kBgra, kNarrow, kForeign, kMapped };
  const D3D11_BOX outside{0, 0, 0, 324, 242, 1}, odd{1, 0, 0, 11, 10, 1}, small{0, 0, 0, 20, 20, 1};
  const struct {
    const char* mentioned;
    Source source;
    UINT subresource, x;
    const D3D11_BOX* box;
  } cases[] = {{"formats differ", kBgra, 0, 0, nullptr},   {"320 x 242", kNarrow, 0, 0, nullptr},
               {"(2,0)", kSecond, 0, 2, nullptr},          {"324", kSecond, 0, 0, &outside},
               {"(310,0)", kSecond, 0, 310, &small},       {"even", kSecond, 0, 0, &odd},
               {"same", kSame, 0, 0, nullptr},             {"subresource 1", kSecond, 1, 0, nullptr},
               {"null source", kNull, 0, 0, nullptr},      {"another device", kForeign, 0, 0, nullptr},
               {"mapped", kMapped, 0, 0, nullptr}};
  ComPtr<ID3D11Texture2D> bgra = Make(Desc(DXGI_FORMAT_B8G8R8A8_UNORM, 322, 242), 0);
  ComPtr<ID3D11Texture2D> narrow = Make(Desc(DXGI_FORMAT_NV12, 320, 242), 0), foreign;
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  ASSERT_EQ(S_OK, MakeDevice().device->CreateTexture2D(&nv12, nullptr, &foreign));
  ID3D11Texture2D* sources[] = {second.Get(), first.Get(),   nullptr,       bgra.Get(),
                                narrow.Get(), foreign.Get(), staging.Get()};  // by Source
  D3D11_MAPPED_SUBRESOURCE mapped;
  ASSERT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  const std::vector<uint8_t> before = Read(d, first.Get()).packed;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mentioned);
    const DeviceStatistics stats = d.diagnostics->GetStatistics();
    d.context->CopySubresourceRegion(first.Get(), c.subresource, c.x, 0, 0, sources[c.source], 0, c.box);
    EXPECT_EQ(stats.rejectedCalls + 1, Rejected());
    EXPECT_TRUE(RejectionMentions(d, c.mentioned));
    EXPECT_EQ(stats.copies, d.diagnostics->GetStatistics().copies);
    EXPECT_EQ(before, Read(d, first.Get()).packed);
  }
  d.context->Unmap(staging.Get(), 0);
}

TEST_F(DeviceContextTest, MapAndUnmap_InvalidRequestFailsAndHandsOutNothing) {
  const struct {
    const char* name;
    D3D11_USAGE usage;
    UINT cpuAccess;
    D3D11_MAP type;
    UINT subresource;
    bool mapFirst;
  } cases[] = {{"DefaultTexture", D3D11_USAGE_DEFAULT, 0, D3D11_MAP_READ, 0, false},
               {"ReadWithoutReadAccess", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_WRITE, D3D11_MAP_READ, 0, false},
               {"WriteWithoutWriteAccess", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_WRITE, 0, false},
               {"ReadWriteWithReadOnly", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ_WRITE, 0, false},
               {"WriteDiscard", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_WRITE, D3D11_MAP_WRITE_DISCARD, 0, false},
               {"Subresource1", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ, 1, false},
               {"Twice", D3D11_USAGE_STAGING, D3D11_CPU_ACCESS_READ, D3D11_MAP_READ, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 322, 242, c.usage);
    desc.CPUAccessFlags = c.cpuAccess;
    ComPtr<ID3D11Texture2D> texture = Make(desc, 0);
    D3D11_MAPPED_SUBRESOURCE mapped{&desc, 1, 1};  // a failed Map must clear it
    if (c.mapFirst) {
      ASSERT_EQ(S_OK, d.context->Map(texture.Get(), 0, D3D11_MAP_READ, 0, &mapped));
    }
    const uint64_t rejected = Rejected();
    EXPECT_EQ(E_INVALIDARG, d.context->Map(texture.Get(), c.subresource, c.type, 0, &mapped));
    EXPECT_EQ(nullptr, mapped.pData);
    EXPECT_EQ(rejected + 1, Rejected());
  }
  // A null output, a null resource, and a context of another device.
  const uint64_t rejected = Rejected();
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  EXPECT_EQ(E_INVALIDARG, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, nullptr));
  D3D11_MAPPED_SUBRESOURCE mapped;
  EXPECT_EQ(E_INVALIDARG, d.context->Map(nullptr, 0, D3D11_MAP_READ, 0, &mapped));
  DeviceAndContext other = MakeDevice();
  EXPECT_EQ(E_INVALIDARG, other.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  EXPECT_EQ(rejected + 2, Rejected());
  EXPECT_EQ(1u, other.diagnostics->GetStatistics().rejectedCalls);
  EXPECT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));  // none of them mapped it
  d.context->Unmap(staging.Get(), 0);
  EXPECT_EQ(rejected + 2, Rejected());
  d.context->Unmap(staging.Get(), 0);  // not mapped any more
  EXPECT_EQ(rejected + 3, Rejected());
  EXPECT_TRUE(RejectionMentions(d, "not mapped"));
  EXPECT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));  // still usable
  d.context->Unmap(staging.Get(), 0);
}

TEST_F(DeviceContextTest, Writes_ThroughMapOrTheSoftwareTextureAreSeenByCopies) {
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  ASSERT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_WRITE, 0, &mapped));
  std::vector<uint8_t> picture = Picture(nv12, mapped.RowPitch, 9);
  ASSERT_EQ(picture.size(), mapped.DepthPitch);
  std::memcpy(mapped.pData, picture.data(), picture.size());
  d.context->Unmap(staging.Get(), 0);
  d.context->CopySubresourceRegion(first.Get(), 0, 0, 0, 0, staging.Get(), 0, nullptr);
  EXPECT_EQ(Packed(picture, nv12, mapped.RowPitch), Read(d, first.Get()).packed);

  ComPtr<ISoftwareTexture> software, none;
  ASSERT_EQ(S_OK, second.As(&software));
  EXPECT_EQ(E_NOINTERFACE, d.device.As(&none));
  EXPECT_EQ(322u, software->Desc().Width);
  EXPECT_EQ(384u, software->RowPitch());
  EXPECT_EQ(384u * 363, software->DepthPitch());
  picture = Picture(nv12, software->RowPitch(), 42);
  {
    auto lock = software->LockContents();
    std::memcpy(software->Data(), picture.data(), picture.size());
  }
  EXPECT_EQ(Packed(picture, nv12, software->RowPitch()), Read(d, second.Get()).packed);
  EXPECT_EQ(0u, Rejected()) << d.diagnostics->GetLastRejection();
}

}  // namespace
}  // namespace korvane::d3d11::test
