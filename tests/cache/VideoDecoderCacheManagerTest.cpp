#include "cache/VideoDecoderCacheManager.h"

#include "CacheTestSupport.h"
#include "platform/com/Exceptions.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace korvane::cache::test {
namespace {

namespace fs = std::filesystem;
using korvane::test::TempFolder;

struct Span {
  int64_t time;
  int64_t duration = 333'333;
};

class VideoDecoderCacheManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeManager(); }

  void MakeManager() {
    manager_ = std::make_shared<VideoDecoderCacheManager>(d_.device, d_.context, Platform::String(folder_));
  }
  // A sample of a width × height frame showing the picture of `seed`, in a DXGI buffer as the
  // source reader delivers frames.
  ComPtr<IMFSample> Sample(int seed) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, width_, height_, seed);
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(S_OK, MFCreateDXGISurfaceBuffer(uuidof<ID3D11Texture2D>(), texture.Get(), 0, FALSE, &buffer));
    ComPtr<IMFSample> sample;
    EXPECT_EQ(S_OK, MFCreateSample(&sample));
    EXPECT_EQ(S_OK, sample->AddBuffer(buffer.Get()));
    return sample;
  }
  bool AddFrame(int64_t time, int64_t duration = 333'333, int seed = 1) {
    ComPtr<IMFSample> sample = Sample(seed);
    return manager_->AddFrame(sample, time, duration);
  }
  std::vector<int64_t> MemoryTimes() { return VideoDecoderCacheManagerTestAccess::MemoryTimes(*manager_); }
  std::vector<int64_t> StorageTimes() { return VideoDecoderCacheManagerTestAccess::StorageTimes(*manager_); }
  size_t PoolSize() { return VideoDecoderCacheManagerTestAccess::PoolSize(*manager_); }
  std::string FramePath(int64_t time, int64_t duration = 333'333) const {
    return folder_ + "/" + std::to_string(time) + "_" + std::to_string(duration) + "_0.tmp";
  }

  TestDevice d_ = MakeDevice();
  TempFolder temp_{"korvane-manager"};
  std::string folder_ = temp_.Path("cache");
  ScopedFreeSpace space_{kPlentyOfSpace};
  UINT width_ = 64;
  UINT height_ = 32;
  std::shared_ptr<VideoDecoderCacheManager> manager_;
};

class MemoryWindowTest : public VideoDecoderCacheManagerTest, public ::testing::WithParamInterface<std::tuple<int64_t, bool>> {};

TEST_P(MemoryWindowTest, AddFrame_PositionZero_WindowBoundsInclusive) {
  const auto [time, inMemory] = GetParam();
  ASSERT_TRUE(AddFrame(time));
  EXPECT_EQ(inMemory ? std::vector<int64_t>{time} : std::vector<int64_t>{}, MemoryTimes());
  EXPECT_EQ(inMemory ? std::vector<int64_t>{} : std::vector<int64_t>{time}, StorageTimes());
  EXPECT_EQ(!inMemory, fs::exists(FramePath(time)));
  EXPECT_TRUE(manager_->IsFrameCached(time));
}

INSTANTIATE_TEST_SUITE_P(Bounds, MemoryWindowTest,
                         ::testing::Values(std::tuple<int64_t, bool>{1'000'000, true},
                                           std::tuple<int64_t, bool>{1'000'001, false},
                                           std::tuple<int64_t, bool>{-1'000'000, true},
                                           std::tuple<int64_t, bool>{-1'000'001, false}),
                         [](const auto& info) {
                           const int64_t time = std::get<0>(info.param);
                           return (time < 0 ? "Minus" : "") + std::to_string(time < 0 ? -time : time) +
                                  (std::get<1>(info.param) ? "_InMemory" : "_OnDisk");
                         });

TEST_F(VideoDecoderCacheManagerTest, AddFrame_SameTimeTwice_ReturnsFalseWithoutTouchingPool) {
  ASSERT_TRUE(AddFrame(-1'000'000));
  ASSERT_TRUE(AddFrame(1'000'000));
  ASSERT_TRUE(manager_->SetPosition(1'100'000)) << "evicts -1,000,000 to disk; its texture goes to the pool";
  ASSERT_EQ(1u, PoolSize());
  const auto before = d_.Stats();
  EXPECT_FALSE(AddFrame(1'000'000, 333'333, 2)) << "memory already has it";
  EXPECT_FALSE(AddFrame(-1'000'000, 333'333, 2)) << "disk already has it";
  const auto after = d_.Stats();
  EXPECT_EQ(1u, PoolSize());
  EXPECT_EQ(before.texturesCreated + 2, after.texturesCreated) << "only the two test sources were created";
  EXPECT_EQ(before.copies, after.copies) << "nothing was copied";
}

// --- SetPosition: when it reads from disk ------------------------------------------------------

struct PositionCase {
  const char* name;
  std::vector<Span> memory;  // added after a SetPosition to the first of them
  std::vector<Span> disk;    // added at that same position, so more than 0.1 s away from it
  int64_t t;
  bool result;
  std::vector<int64_t> memoryAfter;
};

void PrintTo(const PositionCase& c, std::ostream* out) { *out << c.name; }

class SetPositionTest : public VideoDecoderCacheManagerTest, public ::testing::WithParamInterface<PositionCase> {};

TEST_P(SetPositionTest, SetPosition_LoadsOnlyWhenDiskFrameServesBetter) {
  const PositionCase& c = GetParam();
  if (!c.memory.empty()) manager_->SetPosition(c.memory.front().time);
  for (const Span& s : c.memory) ASSERT_TRUE(AddFrame(s.time, s.duration));
  for (const Span& s : c.disk) ASSERT_TRUE(AddFrame(s.time, s.duration));
  ASSERT_EQ(c.disk.size(), StorageTimes().size());

  EXPECT_EQ(c.result, manager_->SetPosition(c.t));
  EXPECT_EQ(c.memoryAfter, MemoryTimes());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetPositionTest,
    ::testing::Values(
        PositionCase{"MemoryFrameContainsTime", {{0}}, {{2'000'000}}, 100'000, true, {0}},
        // The disk frame contains t although the memory frame starts nearer.
        PositionCase{"DiskFrameContainsTime", {{3'000'000}}, {{1'900'000, 1'100'000}}, 2'950'000, true, {1'900'000}},
        PositionCase{"MemoryEmpty", {}, {{5'000'000}}, 0, true, {5'000'000}},
        // Loaded, but the memory cursor stays on the negative frame and the loaded one is
        // trimmed straight back to disk.
        PositionCase{"MemoryFrameNegative", {{-500'000}}, {{5'000'000}}, 0, false, {-500'000}},
        PositionCase{"DiskFrameStrictlyNearer", {{0}}, {{2'000'000}}, 1'000'001, true, {2'000'000}},
        PositionCase{"EqualDistanceKeepsMemory", {{0}}, {{2'000'000}}, 1'000'000, false, {0}},
        PositionCase{"MemoryFrameNearer", {{0}}, {{2'000'000}}, 900'000, false, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoDecoderCacheManagerTest, SetPosition_CursorFrameContainsTime_TrimsAroundIt) {
  for (int64_t t : {-1'000'000, 0, 333'333}) ASSERT_TRUE(AddFrame(t));
  EXPECT_TRUE(manager_->SetPosition(400'000));
  EXPECT_EQ((std::vector<int64_t>{0, 333'333}), MemoryTimes());
  EXPECT_EQ((std::vector<int64_t>{-1'000'000}), StorageTimes());
  EXPECT_TRUE(fs::exists(FramePath(-1'000'000)));
  EXPECT_EQ(333'333, manager_->GetCurrentFrameTime());
  EXPECT_EQ(333'333, manager_->GetCurrentFrameDuration());
}

TEST_F(VideoDecoderCacheManagerTest, SetPosition_BothCachesEmpty_ReturnsFalseAndTextureBackInPool) {
  EXPECT_FALSE(manager_->SetPosition(0)) << "before any sample: nothing to load into";
  ScopedFreeSpace full(0);
  MakeManager();  // a disk too full to write to: the first frame goes nowhere
  ASSERT_FALSE(AddFrame(5'000'000));
  ASSERT_EQ(1u, PoolSize());
  EXPECT_FALSE(manager_->SetPosition(0));
  EXPECT_EQ(1u, PoolSize());
  EXPECT_EQ(-1, manager_->GetCurrentFrameTime());
  EXPECT_EQ(-1, manager_->GetCurrentFrameDuration());
}

// --- frames and times ----------------------------------------------------------------------

TEST_F(VideoDecoderCacheManagerTest, GetFrame_OnlyOnDisk_LoadsIntoMemoryWithoutTrimming) {
  ASSERT_TRUE(AddFrame(0, 333'333, 1));
  ASSERT_TRUE(AddFrame(5'000'000, 333'333, 2));
  EXPECT_EQ(nullptr, manager_->GetFrame(9'000'000).Get());
  ComPtr<ID3D11Texture2D> frame;
  manager_->GetFrame(frame, 5'000'000);
  ASSERT_NE(nullptr, frame.Get());
  EXPECT_EQ(Nv12Picture(width_, height_, 2), ReadPicture(d_, frame.Get()));
  EXPECT_EQ((std::vector<int64_t>{0, 5'000'000}), MemoryTimes());
  EXPECT_EQ(frame.Get(), manager_->GetFrame(5'100'000).Get()) << "now answered from memory";
}

TEST_F(VideoDecoderCacheManagerTest, SetPosition_EvictsAFrameStillHeld_ItsTextureIsNeverReused) {
  ASSERT_TRUE(AddFrame(0, 333'333, 1));
  ComPtr<ID3D11Texture2D> held = manager_->GetFrame(0);
  ASSERT_TRUE(held);
  manager_->SetPosition(5'000'000);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(AddFrame(5'000'000 + i * 333'333, 333'333, 2 + i));
  ASSERT_TRUE(manager_->SetPosition(5'000'000));
  ASSERT_EQ((std::vector<int64_t>{5'000'000, 5'333'333, 5'666'666}), MemoryTimes()) << "frame 0 was evicted";
  EXPECT_EQ(0u, PoolSize()) << "a texture someone holds is let go, not pooled";
  ASSERT_TRUE(AddFrame(6'000'000, 333'333, 9)) << "copied into a new texture";
  EXPECT_EQ(Nv12Picture(width_, height_, 1), ReadPicture(d_, held.Get()));
}

TEST_F(VideoDecoderCacheManagerTest, GetCachedRangeEnd_SplitAcrossCaches_LongerSingleRun) {
  for (int64_t t : {0, 333'333, 666'666}) ASSERT_TRUE(AddFrame(t));
  ASSERT_TRUE(AddFrame(1'000'001)) << "continues the run, but on disk";
  EXPECT_EQ(999'999, manager_->GetCachedRangeEnd(0, 10'000'000));
  EXPECT_EQ(1'333'334, manager_->GetCachedRangeEnd(1'000'001, 10'000'000));
  EXPECT_EQ(500'000, manager_->GetCachedRangeEnd(0, 500'000));
}

TEST_F(VideoDecoderCacheManagerTest, GetFrameEndTime_FrameInEitherCache_EndOfTheFrameContainingIt) {
  ASSERT_TRUE(AddFrame(0, 1'000'000)) << "in memory";
  ASSERT_TRUE(AddFrame(1'000'001, 1'500'000)) << "on disk";
  EXPECT_EQ(1'000'000, manager_->GetFrameEndTime(0));
  EXPECT_EQ(1'000'000, manager_->GetFrameEndTime(999'999));
  EXPECT_EQ(2'500'001, manager_->GetFrameEndTime(2'000'000));
  EXPECT_EQ(-1, manager_->GetFrameEndTime(1'000'000)) << "between the two frames";
  EXPECT_EQ(-1, manager_->GetFrameEndTime(3'000'000));
}

// --- resources -------------------------------------------------------------------------------

TEST_F(VideoDecoderCacheManagerTest, AddFrameAndSetPosition_10000Cycles_TexturesReused) {
  width_ = 16;
  height_ = 16;
  MakeManager();
  ComPtr<IMFSample> sample = Sample(1);
  const uint64_t baseline = d_.Stats().liveTextures;
  const uint64_t createdBefore = d_.Stats().texturesCreated;
  uint64_t peak = 0;
  for (int i = 0; i < 10'000; ++i) {
    const int64_t time = i * int64_t{333'333};
    ASSERT_TRUE(manager_->AddFrame(sample, time, 333'333)) << "cycle " << i;
    ASSERT_TRUE(manager_->SetPosition(time)) << "cycle " << i;
    peak = std::max(peak, d_.Stats().liveTextures - baseline);
  }
  // Up to five frames around the cursor at 30 fps (or four and a pooled one), and the staging
  // texture: never one texture per frame.
  EXPECT_LE(peak, 8u);
  EXPECT_LE(d_.Stats().texturesCreated - createdBefore, 8u) << "textures are reused, not made per frame";
  EXPECT_EQ(10'000u, StorageTimes().size() + MemoryTimes().size());
}

TEST_F(VideoDecoderCacheManagerTest, Destroy_WritesMemoryFramesToDiskAndReleasesTextures) {
  const uint64_t baseline = d_.Stats().liveTextures;
  ASSERT_TRUE(AddFrame(0));
  ASSERT_TRUE(AddFrame(333'333));
  EXPECT_FALSE(fs::exists(FramePath(0)));
  manager_.reset();
  EXPECT_TRUE(fs::exists(FramePath(0)));
  EXPECT_TRUE(fs::exists(FramePath(333'333)));
  EXPECT_EQ(baseline, d_.Stats().liveTextures);
}

// Two threads through one manager: every operation takes the lock (run under TSan).
TEST_F(VideoDecoderCacheManagerTest, Operations_FromTwoThreads_Serialised) {
  constexpr int64_t kFrame = 333'333;
  std::thread writer([&] {
    ComPtr<IMFSample> sample = Sample(1);
    for (int i = 0; i < 300; ++i) {
      manager_->AddFrame(sample, (i % 60) * kFrame, kFrame);
      manager_->SetPosition((i * 7 % 60) * kFrame);
    }
  });
  for (int i = 0; i < 300; ++i) {
    manager_->GetFrame((i % 60) * kFrame);
    manager_->GetCachedRangeEnd((i % 60) * kFrame, 20'000'000);
  }
  writer.join();
  // Every time reached a cache, and nothing ever leaves both.
  for (int i = 0; i < 60; ++i) EXPECT_TRUE(manager_->IsFrameCached(i * kFrame)) << i;
}

// --- next and previous frame times across the caches --------------------------------------
// The frame at a time may sit in one cache and its neighbour in the other, as a variable frame
// rate leaves them: a frame read while the position was more than the memory window away went
// to disk.

constexpr int64_t kMs = 10'000;

struct NeighbourCase {
  const char* name;
  int64_t position;           // where the frames are added from: within 0.1 s, memory; else disk
  std::vector<Span> frames;  // in the order they are added
  int64_t nextOf;             // GetNextFrameTime(nextOf) ...
  int64_t expectedNext;       // ... answers this
  int64_t previousOf;
  int64_t expectedPrevious;
};

void PrintTo(const NeighbourCase& c, std::ostream* out) { *out << c.name; }

class NeighbourAcrossCachesTest : public VideoDecoderCacheManagerTest,
                                  public ::testing::WithParamInterface<NeighbourCase> {};

TEST_P(NeighbourAcrossCachesTest, NextAndPreviousFrameTime_JoinTheCaches) {
  const NeighbourCase& c = GetParam();
  manager_->SetPosition(c.position);
  int seed = 0;
  for (const Span& frame : c.frames) ASSERT_TRUE(AddFrame(frame.time, frame.duration, ++seed)) << frame.time;
  EXPECT_EQ(c.expectedNext, manager_->GetNextFrameTime(c.nextOf));
  EXPECT_EQ(c.expectedPrevious, manager_->GetPreviousFrameTime(c.previousOf));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, NeighbourAcrossCachesTest,
    ::testing::Values(
        // Position 0: the first frame in memory, the one after it (1.5 s away) on disk.
        NeighbourCase{"AtPositionInMemoryNeighbourOnDisk", 0, {{0, 1500 * kMs}, {1500 * kMs, 700 * kMs}},
                      0, 1500 * kMs, 1500 * kMs, 0},
        // Position 1.5 s: the first frame on disk, the one after it in memory.
        NeighbourCase{"AtPositionOnDiskNeighbourInMemory", 1500 * kMs, {{0, 1500 * kMs}, {1500 * kMs, 700 * kMs}},
                      0, 1500 * kMs, 1500 * kMs, 0},
        // A whole frame's gap stays a gap, whichever cache holds which frame.
        NeighbourCase{"GapOfAWholeFrameStaysAGap", 0, {{0, 200 * kMs}, {500 * kMs, 200 * kMs}},
                      0, -1, 500 * kMs, -1},
        // Milliseconds of a 30000/1001 stream: 34 ms, then a missing 33 ms frame.
        NeighbourCase{"MissingFrameOfRoundedTimesIsAGap", 0, {{0, 340 * kMs}, {670 * kMs, 330 * kMs}},
                      0, -1, 670 * kMs, -1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::cache::test
