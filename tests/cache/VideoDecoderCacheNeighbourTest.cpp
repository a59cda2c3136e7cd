// The cache manager's next and previous frame times when the frame at a time sits in one
// cache and its neighbour in the other, as a variable frame rate leaves them: a frame read
// while the position was more than the memory window away went to disk.
#include "cache/VideoDecoderCacheManager.h"

#include "CacheTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace korvane::cache::test {
namespace {

constexpr int64_t kMs = 10'000;

struct Frame {
  int64_t time;
  int64_t duration;
};

struct NeighbourCase {
  const char* name;
  int64_t position;           // where the frames are added from: within 0.1 s, memory; else disk
  std::vector<Frame> frames;  // in the order they are added
  int64_t nextOf;             // GetNextFrameTime(nextOf) ...
  int64_t expectedNext;       // ... answers this
  int64_t previousOf;
  int64_t expectedPrevious;
};

void PrintTo(const NeighbourCase& c, std::ostream* out) { *out << c.name; }

class NeighbourAcrossCachesTest : public ::testing::TestWithParam<NeighbourCase> {
 protected:
  TestDevice d_ = MakeDevice();
  korvane::test::TempFolder temp_{"korvane-neighbour"};
  ScopedFreeSpace space_{kPlentyOfSpace};
  std::shared_ptr<VideoDecoderCacheManager> manager_ =
      std::make_shared<VideoDecoderCacheManager>(d_.device, d_.context, Platform::String(temp_.Path("cache")));
};

TEST_P(NeighbourAcrossCachesTest, NextAndPreviousFrameTime_JoinTheCaches) {
  const NeighbourCase& c = GetParam();
  manager_->SetPosition(c.position);
  int seed = 0;
  for (const Frame& frame : c.frames) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 64, 32, ++seed);
    ComPtr<IMFSample> sample = MakeSample(texture.Get());
    ASSERT_TRUE(manager_->AddFrame(sample, frame.time, frame.duration)) << frame.time;
  }
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
