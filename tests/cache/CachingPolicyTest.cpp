// The storage cache under caching policies: where the budget stops or evicts, what stays in
// memory, and that compressed frames come back bit-exact or not at all.
#include "cache/VideoDecoderStorageCache.h"

#include "CacheTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvane::cache::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kFrame = 333'333;
// A 64 × 32 NV12 frame maps to 48 rows of a 64-byte pitch.
constexpr uint64_t kSmallFile = 64 * 48;

class CachingPolicyTest : public ::testing::Test {
 protected:
  std::unique_ptr<VideoDecoderStorageCache> MakeCache(const CachingPolicy& policy) {
    return std::make_unique<VideoDecoderStorageCache>(d_.device, d_.context, Platform::String(folder_), policy);
  }
  bool Store(VideoDecoderStorageCache& cache, int index, UINT width = 64, UINT height = 32) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, width, height, index);
    return cache.Add(texture, index * kFrame, kFrame, false);
  }
  // The picture loaded for frame `index`; empty when LoadFrame fails.
  std::vector<uint8_t> Load(VideoDecoderStorageCache& cache, int index, UINT width = 64, UINT height = 32) {
    ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, width, height, 999);
    int64_t time = 0, duration = 0;
    bool flag = false;
    if (!cache.LoadFrame(index * kFrame, target, time, duration, flag)) return {};
    return ReadPicture(d_, target.Get());
  }
  std::vector<int> StoredIndexes(const VideoDecoderStorageCache& cache) const {
    std::vector<int> indexes;
    for (const CachedFrame& frame : cache.Frames) indexes.push_back(static_cast<int>(frame.Time / kFrame));
    return indexes;
  }
  std::string FramePath(int index, const char* suffix = ".tmp") const {
    return folder_ + "/" + std::to_string(index * kFrame) + "_333333_0" + suffix;
  }

  TestDevice d_ = MakeDevice();
  korvane::test::TempFolder temp_{"korvane-policy"};
  std::string folder_ = temp_.Path("cache");
  ScopedFreeSpace space_{kPlentyOfSpace};
};

struct StopCase {
  const char* name;
  CachingPolicy policy;
  UINT width, height;
  int stored;  // stores that succeed before the budget refuses every further one
};

class StopAtBudget : public CachingPolicyTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopAtBudget, Add_BudgetReached_RefusedForGood) {
  const StopCase& c = GetParam();
  auto cache = MakeCache(c.policy);
  for (int i = 0; i < c.stored + 3; ++i) {
    ASSERT_EQ(i < c.stored, Store(*cache, i, c.width, c.height)) << "store " << i + 1;
    // The budget counts what was stored, not what is left: spare the disk.
    fs::remove(FramePath(i));
  }
  EXPECT_FALSE(cache->HasSpace);
  EXPECT_EQ(uint64_t{c.width} * c.height * 3 / 2, cache->FrameByteSize);
  if (c.policy.RamBudget == 0) {
    cache->Clear();
    EXPECT_FALSE(Store(*cache, -30, c.width, c.height)) << "cleared for good";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Policies, StopAtBudget,
    ::testing::Values(
        // 168 × 3,110,400 = 522,547,200 is below 500 MiB; 169 files reach it.
        StopCase{"Default1080p", {}, 1920, 1080, 169},
        StopCase{"StopTwoAndAHalfFrames", {.DiskBudget = kSmallFile * 5 / 2}, 64, 32, 3},
        StopCase{"StopAfterTwoInMemory", {.DiskBudget = kSmallFile * 5 / 2, .RamBudget = 2 * kSmallFile}, 64, 32, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CachingPolicyTest, Add_EvictFarthest_KeepsTheNearestWithinBudgetAndDeletesOnlyItsFiles) {
  auto cache = MakeCache({.DiskBudget = 4 * kSmallFile, .AtDiskBudget = DiskBudgetAction::EvictFarthest});
  temp_.WriteFile("beside.txt");
  cache->Position = 10 * kFrame;
  ASSERT_TRUE(Store(*cache, 0));
  std::ofstream(folder_ + "/keep.me") << "not a frame";
  for (int i = 1; i <= 20; ++i) {
    // A frame farther than every kept one is refused; a tie keeps the frame already there.
    EXPECT_EQ(i <= 11, Store(*cache, i)) << "frame " << i;
    ASSERT_LE(cache->DiskBytes, 4 * kSmallFile);
  }
  EXPECT_EQ((std::vector<int>{8, 9, 10, 11}), StoredIndexes(*cache));
  cache->Position = 0;
  ASSERT_TRUE(Store(*cache, 1)) << "the position moved: frame 11 is now the farthest";
  EXPECT_EQ((std::vector<int>{1, 8, 9, 10}), StoredIndexes(*cache));
  EXPECT_EQ((std::vector<std::string>{"2666664_333333_0.tmp", "2999997_333333_0.tmp", "3333330_333333_0.tmp",
                                      "333333_333333_0.tmp", "keep.me", "precache.data"}),
            ListFolder(folder_));
  EXPECT_EQ(4 * kSmallFile, cache->PeakDiskBytes);
  EXPECT_TRUE(temp_.Exists("beside.txt"));
  EXPECT_EQ(Nv12Picture(64, 32, 9), Load(*cache, 9));
}

TEST_F(CachingPolicyTest, Add_MemoryFull_NearerFramesPushFartherOnesToDiskAndEveryFrameStaysExact) {
  auto cache = MakeCache(
      {.DiskBudget = 3 * kSmallFile, .AtDiskBudget = DiskBudgetAction::EvictFarthest, .RamBudget = 2 * kSmallFile});
  // Each frame is nearer the position than the last: memory keeps the two nearest, and the
  // buffers of the frames it lets go are the ones the next frames are written into.
  for (int i = 9; i >= 0; --i) {
    ASSERT_TRUE(Store(*cache, i)) << "frame " << i;
    ASSERT_LE(cache->RamBytes + cache->SpareBytes, 2 * kSmallFile) << "spare buffers count against the RAM budget";
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), StoredIndexes(*cache));
  EXPECT_EQ(2 * kSmallFile, cache->RamBytes);
  EXPECT_FALSE(fs::exists(FramePath(1)));
  EXPECT_TRUE(fs::exists(FramePath(2)));
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(Nv12Picture(64, 32, i), Load(*cache, i)) << "frame " << i;

  // After a clear the freed buffers take new frames; none may still show an old picture.
  cache->Clear();
  cache->Position = 20 * kFrame;
  ASSERT_TRUE(Store(*cache, 20));
  ASSERT_TRUE(Store(*cache, 21));
  EXPECT_EQ(Nv12Picture(64, 32, 20), Load(*cache, 20));
  EXPECT_EQ(Nv12Picture(64, 32, 21), Load(*cache, 21));
}

struct RoundTripCase {
  const char* name;
  CachingPolicy policy;
  UINT width, height;
  const char* suffix;  // of the frame file; nullptr: kept in memory
};

class PolicyRoundTrip : public CachingPolicyTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(PolicyRoundTrip, LoadFrame_StoredFrame_BitExact) {
  const RoundTripCase& c = GetParam();
  auto cache = MakeCache(c.policy);
  ASSERT_TRUE(Store(*cache, 6, c.width, c.height));
  ASSERT_TRUE(Store(*cache, 7, c.width, c.height));
  EXPECT_EQ(c.suffix != nullptr, fs::exists(FramePath(6, c.suffix ? c.suffix : ".tmp")));
  EXPECT_EQ(Nv12Picture(c.width, c.height, 6), Load(*cache, 6, c.width, c.height));
  EXPECT_EQ(Nv12Picture(c.width, c.height, 7), Load(*cache, 7, c.width, c.height));
  EXPECT_TRUE(cache->Contains(6 * kFrame)) << "a loaded frame stays recorded";
}

constexpr CachingPolicy kZstdDisk{.DiskBudget = uint64_t{1} << 30, .Compression = FrameCompression::Zstd};
constexpr CachingPolicy kZstdMemory{.RamBudget = uint64_t{1} << 30, .Compression = FrameCompression::Zstd};
constexpr CachingPolicy kRawMemory{.RamBudget = uint64_t{1} << 30};

INSTANTIATE_TEST_SUITE_P(Encodings, PolicyRoundTrip,
                         // 320 and 1920 are multiples of the 64-byte pitch alignment; 322 and 2 are not.
                         ::testing::Values(RoundTripCase{"Default320x240", {}, 320, 240, ".tmp"},
                                           RoundTripCase{"Default322x180", {}, 322, 180, ".tmp"},
                                           RoundTripCase{"Default2x2", {}, 2, 2, ".tmp"},
                                           RoundTripCase{"Default1920x1080", {}, 1920, 1080, ".tmp"},
                                           RoundTripCase{"ZstdFile322x180", kZstdDisk, 322, 180, ".zst"},
                                           RoundTripCase{"ZstdFile1920x1080", kZstdDisk, 1920, 1080, ".zst"},
                                           RoundTripCase{"ZstdFile2x2", kZstdDisk, 2, 2, ".zst"},
                                           RoundTripCase{"ZstdMemory322x242", kZstdMemory, 322, 242, nullptr},
                                           RoundTripCase{"RawMemory64x32", kRawMemory, 64, 32, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Damage {
  const char* name;
  void (*apply)(std::vector<uint8_t>& bytes);
};

const Damage kDamages[] = {
    {"OneBitFlipped", [](std::vector<uint8_t>& b) { b[b.size() / 2] ^= 0x10; }},
    {"Truncated", [](std::vector<uint8_t>& b) { b.erase(b.begin() + static_cast<long>(b.size() / 2), b.end()); }},
    {"GarbageAppended", [](std::vector<uint8_t>& b) { b.insert(b.end(), {1, 2, 3}); }},
    {"Empty", [](std::vector<uint8_t>& b) { b.clear(); }},
    {"ChecksumChanged", [](std::vector<uint8_t>& b) { b.back() ^= 0xFF; }},
};

class DamagedPayload : public CachingPolicyTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedPayload, LoadFrame_DamagedFile_DroppedAndDeleted) {
  auto cache = MakeCache(kZstdDisk);
  ASSERT_TRUE(Store(*cache, 4, 322, 180));
  const std::string path = FramePath(4, ".zst");
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  GetParam().apply(bytes);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(Load(*cache, 4, 322, 180).empty());
  EXPECT_FALSE(cache->Contains(4 * kFrame));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(0u, cache->DiskBytes);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedPayload, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::cache::test
