#include "D3D11TestHelpers.h"

#include <string>

namespace korvane::d3d11::test {
namespace {

// A device with a 322 × 242 NV12 texture of known contents, and a helper to make more.
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
};

// Invalid copies change nothing, and are counted with a reason that names the bad value.
TEST_F(DeviceContextTest, CopySubresourceRegion_InvalidCopyIsRejected) {
  enum Source { kSame, kBgra, kNarrow, kForeign, kMapped };
  const struct {
    const char* mentioned;
    Source source;
  } cases[] = {{"formats differ", kBgra}, {"320 x 242", kNarrow}, {"same", kSame},
               {"another device", kForeign}, {"mapped", kMapped}};
  ComPtr<ID3D11Texture2D> bgra = Make(Desc(DXGI_FORMAT_B8G8R8A8_UNORM, 322, 242), 0);
  ComPtr<ID3D11Texture2D> narrow = Make(Desc(DXGI_FORMAT_NV12, 320, 242), 0), foreign;
  ComPtr<ID3D11Texture2D> staging = Make(Desc(DXGI_FORMAT_NV12, 322, 242, D3D11_USAGE_STAGING), 0);
  ASSERT_EQ(S_OK, MakeDevice().device->CreateTexture2D(&nv12, nullptr, &foreign));
  ID3D11Texture2D* sources[] = {first.Get(), bgra.Get(), narrow.Get(), foreign.Get(), staging.Get()};  // by Source
  D3D11_MAPPED_SUBRESOURCE mapped;
  ASSERT_EQ(S_OK, d.context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  const std::vector<uint8_t> before = Read(d, first.Get()).packed;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mentioned);
    const DeviceStatistics stats = d.diagnostics->GetStatistics();
    d.context->CopySubresourceRegion(first.Get(), 0, 0, 0, 0, sources[c.source], 0, nullptr);
    EXPECT_EQ(stats.rejectedCalls + 1, Rejected());
    EXPECT_TRUE(RejectionMentions(d, c.mentioned));
    EXPECT_EQ(stats.copies, d.diagnostics->GetStatistics().copies);
    EXPECT_EQ(before, Read(d, first.Get()).packed);
  }
  d.context->Unmap(staging.Get(), 0);
}

}  // namespace
}  // namespace korvane::d3d11::test
