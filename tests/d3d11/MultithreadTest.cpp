#include "D3D11TestHelpers.h"

#include "platform/d3d11/SoftwareTexture.h"

#include <algorithm>
#include <thread>

namespace korvane::d3d11::test {
namespace {

// Writers fill a shared texture through ISoftwareTexture while readers copy it to their own
// staging textures and map them, all through one protected context. Every picture a reader
// sees must be one whole picture that a writer wrote: a torn or racing copy shows as mixed
// seeds here and as a race under TSan.
TEST(Multithread, ProtectedContext_SerialisesCallsFromSeveralThreads) {
  DeviceAndContext d = MakeDevice();
  ComPtr<ID3D10Multithread> multithread;
  ASSERT_EQ(S_OK, d.context.As(&multithread));
  multithread->SetMultithreadProtected(TRUE);
  const D3D11_TEXTURE2D_DESC desc = Desc(DXGI_FORMAT_NV12, 130, 66);
  ComPtr<ID3D11Texture2D> shared;
  ASSERT_EQ(S_OK, d.device->CreateTexture2D(&desc, nullptr, &shared));
  ComPtr<ISoftwareTexture> software;
  ASSERT_EQ(S_OK, shared.As(&software));
  {
    std::vector<uint8_t> first = Picture(desc, software->RowPitch(), 0);
    std::memcpy(software->Data(), first.data(), first.size());  // not yet shared with any thread
  }

  constexpr int kWriters = 2, kReaders = 3, kRounds = 40;
  std::vector<std::vector<uint8_t>> pictures;
  for (int seed = 0; seed <= kWriters; ++seed) {
    pictures.push_back(Packed(Picture(desc, software->RowPitch(), seed), desc, software->RowPitch()));
  }
  std::vector<std::thread> threads;
  for (int w = 1; w <= kWriters; ++w) {
    threads.emplace_back([&, w] {
      const std::vector<uint8_t> picture = Picture(desc, software->RowPitch(), w);
      for (int i = 0; i < kRounds; ++i) {
        auto lock = software->LockContents();
        std::memcpy(software->Data(), picture.data(), picture.size());
      }
    });
  }
  std::vector<int> torn(kReaders, 0);
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      for (int i = 0; i < kRounds; ++i) {
        std::vector<uint8_t> seen = Read(d, shared.Get()).packed;
        if (std::find(pictures.begin(), pictures.end(), seen) == pictures.end()) ++torn[r];
        d.context->Flush();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(kReaders, 0), torn);
  DeviceStatistics stats = d.diagnostics->GetStatistics();
  EXPECT_EQ(0u, stats.rejectedCalls) << d.diagnostics->GetLastRejection();
  EXPECT_EQ(uint64_t{kReaders * kRounds}, stats.copies);
  EXPECT_EQ(uint64_t{kReaders * kRounds}, stats.flushes);
  EXPECT_EQ(1u, stats.liveTextures);
}

}  // namespace
}  // namespace korvane::d3d11::test
