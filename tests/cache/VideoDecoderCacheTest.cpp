#include "cache/VideoDecoderCache.h"

#include "CacheTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

namespace korvane::cache::test {
namespace {

struct Eviction {
  ID3D11Texture2D* texture;
  int64_t time;
  int64_t duration;
  bool flag;
};

class VideoDecoderCacheTest : public ::testing::Test {
 protected:
  void AddFrame(int64_t time, int64_t duration = 333'333, bool flag = false) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, 1);
    ASSERT_TRUE(cache_.Add(texture, time, duration, flag)) << "frame at " << time;
  }
  std::vector<int64_t> EvictedTimes() const {
    std::vector<int64_t> times;
    for (const Eviction& e : evicted_) times.push_back(e.time);
    return times;
  }
  std::vector<int64_t> CachedTimes() const {
    std::vector<int64_t> times;
    for (const CachedFrame& f : cache_.Frames) times.push_back(f.Time);
    return times;
  }

  TestDevice d_ = MakeDevice();
  std::vector<Eviction> evicted_;
  // Textures the callback took out of the evicting cache's hands, as the manager does.
  std::vector<ComPtr<ID3D11Texture2D>> taken_;
  bool takeTextures_ = false;
  VideoDecoderCache cache_{d_.device, d_.context,
                           [this](ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) {
                             evicted_.push_back({texture.Get(), time, duration, flag});
                             if (takeTextures_) taken_.push_back(std::move(texture));
                           }};
};

TEST_F(VideoDecoderCacheTest, Add_EquivalentFramePresent_ReturnsFalseAndKeepsExisting) {
  ComPtr<ID3D11Texture2D> first = MakeFrameTexture(d_, 2, 2, 1);
  ComPtr<ID3D11Texture2D> second = MakeFrameTexture(d_, 2, 2, 2);
  ASSERT_TRUE(cache_.Add(first, 0, 333'333, false));
  EXPECT_FALSE(cache_.Add(second, 10'000, 333'333, false)) << "overlaps with its midpoint inside the cached frame";
  ASSERT_EQ(1u, cache_.Frames.size());
  EXPECT_EQ(first.Get(), cache_.Frames.begin()->Texture.Get());
  EXPECT_EQ(333'333, cache_.Frames.begin()->EndTime);
  EXPECT_TRUE(cache_.Add(second, 333'333, 333'333, false)) << "adjacent, not overlapping";
  EXPECT_EQ(2u, cache_.GetSize());
}

TEST_F(VideoDecoderCacheTest, Add_InsertedOrNot_FlushesContext) {
  const uint64_t before = d_.Stats().flushes;
  AddFrame(0);
  EXPECT_EQ(before + 1, d_.Stats().flushes);
  ComPtr<ID3D11Texture2D> duplicate = MakeFrameTexture(d_, 2, 2, 3);
  EXPECT_FALSE(cache_.Add(duplicate, 0, 333'333, false));
  EXPECT_EQ(before + 2, d_.Stats().flushes);
}

TEST_F(VideoDecoderCacheTest, Add_FlagGiven_RecordsFalse) {
  AddFrame(0, 333'333, true);
  EXPECT_FALSE(cache_.Frames.begin()->Flag);
  cache_.Clear();
  ASSERT_EQ(1u, evicted_.size());
  EXPECT_FALSE(evicted_[0].flag);
}

TEST_F(VideoDecoderCacheTest, Clear_EvictsEveryFrameEarliestFirst) {
  for (int64_t t : {666'666, 0, 333'333}) AddFrame(t);
  ASSERT_TRUE(cache_.MoveCursor(400'000));
  cache_.Clear();
  EXPECT_EQ((std::vector<int64_t>{0, 333'333, 666'666}), EvictedTimes());
  EXPECT_TRUE(cache_.Frames.empty());
  EXPECT_EQ(-1, cache_.GetCursorTime());
  for (const Eviction& e : evicted_) {
    EXPECT_NE(nullptr, e.texture);
    EXPECT_EQ(333'333, e.duration);
  }
}

using BoundaryCase = std::tuple<bool /*before*/, int64_t /*bound*/, std::vector<int64_t> /*evicted*/,
                                std::vector<int64_t> /*kept*/>;

class RemoveTest : public VideoDecoderCacheTest, public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(RemoveTest, Remove_FrameAtBound_Stays) {
  const auto& [before, bound, evicted, kept] = GetParam();
  for (int64_t t : {0, 333'333, 666'666, 999'999}) AddFrame(t);
  if (before) {
    cache_.RemoveBefore(bound);
  } else {
    cache_.RemoveAfter(bound);
  }
  EXPECT_EQ(evicted, EvictedTimes());
  EXPECT_EQ(kept, CachedTimes());
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, RemoveTest,
    ::testing::Values(BoundaryCase{true, 666'666, {0, 333'333}, {666'666, 999'999}},
                      BoundaryCase{true, 666'667, {0, 333'333, 666'666}, {999'999}},
                      BoundaryCase{true, 0, {}, {0, 333'333, 666'666, 999'999}},
                      // Latest first when removing after.
                      BoundaryCase{false, 333'333, {999'999, 666'666}, {0, 333'333}},
                      BoundaryCase{false, 333'332, {999'999, 666'666, 333'333}, {0}},
                      BoundaryCase{false, 999'999, {}, {0, 333'333, 666'666, 999'999}}));

TEST_F(VideoDecoderCacheTest, Evict_CursorFrame_CursorBecomesEnd) {
  for (int64_t t : {0, 333'333, 666'666}) AddFrame(t);
  ASSERT_TRUE(cache_.MoveCursor(0));
  cache_.RemoveAfter(333'333);
  EXPECT_EQ(0, cache_.GetCursorTime()) << "the cursor frame stayed";
  cache_.RemoveBefore(333'333);
  EXPECT_EQ(-1, cache_.GetCursorTime());
  EXPECT_EQ(-1, cache_.GetCursorDuration());
}

TEST_F(VideoDecoderCacheTest, Evict_CallbackTakesTexture_TextureOutlivesRecord) {
  takeTextures_ = true;
  AddFrame(0);
  AddFrame(333'333);
  const uint64_t live = d_.Stats().liveTextures;
  cache_.Clear();
  ASSERT_EQ(2u, taken_.size());
  EXPECT_EQ(evicted_[0].texture, taken_[0].Get());
  EXPECT_EQ(live, d_.Stats().liveTextures) << "the taken textures are still alive";
  taken_.clear();
  EXPECT_EQ(live - 2, d_.Stats().liveTextures);
}

TEST_F(VideoDecoderCacheTest, Evict_CallbackLeavesTexture_TextureReleased) {
  AddFrame(0);
  const uint64_t live = d_.Stats().liveTextures;
  cache_.Clear();
  EXPECT_EQ(live - 1, d_.Stats().liveTextures);
}

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

TEST_F(VideoDecoderCacheTest, Evict_EmptyCallback_Throws) {
  VideoDecoderCache cache(d_.device, d_.context, nullptr);
  ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, 1);
  ASSERT_TRUE(cache.Add(texture, 0, 333'333, false));
  EXPECT_THROW(cache.Clear(), std::bad_function_call);
  EXPECT_EQ(1u, cache.Frames.size()) << "a failed eviction leaves the record";
}

}  // namespace
}  // namespace korvane::cache::test
