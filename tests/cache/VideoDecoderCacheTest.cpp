#include "cache/VideoDecoderCache.h"

#include "CacheTestSupport.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace korvane::cache::test {
namespace {

class VideoDecoderCacheTest : public ::testing::Test {
 protected:
  void AddFrames(std::initializer_list<int64_t> times) {
    for (int64_t t : times) {
      ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, 1);
      ASSERT_TRUE(cache_.Add(texture, t, 333'333, true)) << "frame at " << t;
    }
  }
  std::vector<int64_t> CachedTimes() const {
    std::vector<int64_t> times;
    for (const CachedFrame& f : cache_.Frames) times.push_back(f.Time);
    return times;
  }

  TestDevice d_ = MakeDevice();
  std::vector<int64_t> evicted_;
  std::vector<ComPtr<ID3D11Texture2D>> taken_;  // textures the callback took, as the manager does
  VideoDecoderCache cache_{d_.device, d_.context,
                           [this](ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) {
                             EXPECT_EQ(333'333, duration);
                             EXPECT_FALSE(flag) << "the memory cache records every flag as false";
                             evicted_.push_back(time);
                             taken_.push_back(std::move(texture));
                           }};
};

TEST_F(VideoDecoderCacheTest, Add_EquivalentFramePresent_KeepsExistingAndStillFlushes) {
  ComPtr<ID3D11Texture2D> first = MakeFrameTexture(d_, 2, 2, 1);
  ComPtr<ID3D11Texture2D> second = MakeFrameTexture(d_, 2, 2, 2);
  const uint64_t flushes = d_.Stats().flushes;
  ASSERT_TRUE(cache_.Add(first, 0, 333'333, false));
  EXPECT_FALSE(cache_.Add(second, 10'000, 333'333, false)) << "overlaps, midpoint inside the cached frame";
  EXPECT_EQ(flushes + 2, d_.Stats().flushes) << "one flush per Add, inserted or not";
  EXPECT_EQ(first.Get(), cache_.Frames.begin()->Texture.Get());
  EXPECT_TRUE(cache_.Add(second, 333'333, 333'333, false)) << "adjacent";
  EXPECT_EQ(2u, cache_.GetSize());
}

TEST_F(VideoDecoderCacheTest, Clear_EvictsEarliestFirstAndHandsTexturesOver) {
  AddFrames({666'666, 0, 333'333});
  ASSERT_TRUE(cache_.MoveCursor(400'000));
  const uint64_t live = d_.Stats().liveTextures;
  cache_.Clear();
  EXPECT_EQ((std::vector<int64_t>{0, 333'333, 666'666}), evicted_);
  EXPECT_TRUE(cache_.Frames.empty());
  EXPECT_EQ(-1, cache_.GetCursorTime());
  EXPECT_EQ(live, d_.Stats().liveTextures) << "the callback holds them now";
  taken_.clear();
  EXPECT_EQ(live - 3, d_.Stats().liveTextures);
}

using RemoveCase = std::tuple<bool /*before*/, int64_t /*bound*/, std::vector<int64_t> /*evicted*/>;
class RemoveTest : public VideoDecoderCacheTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveTest, Remove_FrameAtBound_Stays) {
  const auto& [before, bound, evicted] = GetParam();
  AddFrames({0, 333'333, 666'666, 999'999});
  ASSERT_TRUE(cache_.MoveCursor(0));
  before ? cache_.RemoveBefore(bound) : cache_.RemoveAfter(bound);
  EXPECT_EQ(evicted, evicted_);
  EXPECT_EQ(4u, cache_.Frames.size() + evicted_.size());
  EXPECT_EQ(before && bound > 0 ? -1 : 0, cache_.GetCursorTime()) << "evicting the cursor frame resets the cursor";
}

INSTANTIATE_TEST_SUITE_P(Bounds, RemoveTest,
                         ::testing::Values(RemoveCase{true, 666'666, {0, 333'333}},
                                           RemoveCase{true, 666'667, {0, 333'333, 666'666}},
                                           RemoveCase{true, 0, {}},
                                           RemoveCase{false, 333'333, {999'999, 666'666}},
                                           RemoveCase{false, 333'332, {999'999, 666'666, 333'333}},
                                           RemoveCase{false, 999'999, {}}),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "RemoveBefore" : "RemoveAfter") +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST_F(VideoDecoderCacheTest, Destructor_DropsFramesWithoutEviction) {
  int calls = 0;
  const uint64_t live = d_.Stats().liveTextures;
  {
    VideoDecoderCache cache(d_.device, d_.context, [&](ComPtr<ID3D11Texture2D>&, int64_t, int64_t, bool) { ++calls; });
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, 1);
    ASSERT_TRUE(cache.Add(texture, 0, 333'333, false));
  }
  EXPECT_EQ(0, calls);
  EXPECT_EQ(live, d_.Stats().liveTextures);
}

}  // namespace
}  // namespace korvane::cache::test
