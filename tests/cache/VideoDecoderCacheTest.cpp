// The memory cache: the time queries both caches share (the storage cache inherits them
// unchanged), adding, and evicting.
#include "cache/VideoDecoderCache.h"

#include "CacheTestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

namespace korvane::cache::test {
namespace {

struct Span {
  int64_t time;
  int64_t duration = 333'333;
};

// A memory cache whose evictions are recorded; the textures it hands over are kept, as the
// manager keeps them.
class VideoDecoderCacheTest : public ::testing::Test {
 protected:
  void Fill(const std::vector<Span>& frames) {
    for (const Span& f : frames) {
      ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, 1);
      ASSERT_TRUE(cache_.Add(texture, f.time, f.duration, true)) << "frame at " << f.time;
    }
  }
  ID3D11Texture2D* TextureAt(int64_t time) const {
    for (const CachedFrame& f : cache_.Frames)
      if (f.Time == time) return f.Texture.Get();
    return nullptr;
  }

  TestDevice d_ = MakeDevice();
  std::vector<int64_t> evicted_;
  std::vector<ComPtr<ID3D11Texture2D>> taken_;
  VideoDecoderCache cache_{d_.device, d_.context,
                           [this](ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) {
                             EXPECT_EQ(333'333, duration);
                             EXPECT_FALSE(flag) << "the memory cache records every flag as false";
                             evicted_.push_back(time);
                             taken_.push_back(std::move(texture));
                           }};
};

const std::vector<Span> kAdjacent = {{0}, {333'333}};
const std::vector<Span> kGap = {{0}, {1'000'000}};
const std::vector<Span> kRunThenGap = {{0}, {333'333}, {900'000}};

enum class Query { Contains, Previous, Next, ContiguousEnd };

struct QueryCase {
  const char* name;
  Query query;
  std::vector<Span> frames;
  int64_t t;
  int64_t expected;  // Contains: 1 or 0
  int64_t limit = 0;
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.name; }

class QueryTest : public VideoDecoderCacheTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryTest, Query_ReturnsDocumentedValue) {
  const QueryCase& c = GetParam();
  Fill(c.frames);
  switch (c.query) {
    case Query::Contains: EXPECT_EQ(c.expected != 0, cache_.Contains(c.t)); break;
    case Query::Previous: EXPECT_EQ(c.expected, cache_.GetPreviousTime(c.t)); break;
    case Query::Next: EXPECT_EQ(c.expected, cache_.GetNextTime(c.t)); break;
    case Query::ContiguousEnd: EXPECT_EQ(c.expected, cache_.GetContiguousEnd(c.t, c.limit)); break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryTest,
    ::testing::Values(
        QueryCase{"Contains_ProbeMidpointInFirstFrame", Query::Contains, kAdjacent, -12'500, 1},
        QueryCase{"Contains_ProbeMidpointBeforeFirstFrame", Query::Contains, kAdjacent, -12'501, 0},
        // The probe's midpoint lies past the last frame's end: the lower bound is the end.
        QueryCase{"Contains_LastUnitOfLastFrame", Query::Contains, kAdjacent, 666'665, 0},
        QueryCase{"Contains_InGap", Query::Contains, kGap, 500'000, 0},
        QueryCase{"Contains_Empty", Query::Contains, {}, 0, 0},
        QueryCase{"Previous_InSecondFrame", Query::Previous, kAdjacent, 400'000, 0},
        QueryCase{"Previous_InFirstFrame", Query::Previous, kAdjacent, 100'000, -1},
        QueryCase{"Previous_GapUnderTwoThirds", Query::Previous, {{0}, {533'333}}, 600'000, 0},
        QueryCase{"Previous_GapOfTwoThirds", Query::Previous, {{0}, {555'555}}, 600'000, -1},
        // Matches the second frame by its probe, yet lies in no frame.
        QueryCase{"Previous_JustBeforeFrame", Query::Previous, {{0}, {340'000}}, 335'000, -1},
        QueryCase{"Previous_Empty", Query::Previous, {}, 0, -1},
        QueryCase{"Next_InFirstOfAdjacent", Query::Next, kAdjacent, 100'000, 333'333},
        QueryCase{"Next_NoFrameAfter", Query::Next, kAdjacent, 400'000, -1},
        QueryCase{"Next_GapOfTwoFrames", Query::Next, kGap, 100'000, -1},
        QueryCase{"Next_GapUnderHalfAFrame", Query::Next, {{0}, {499'998}}, 100'000, 499'998},
        QueryCase{"Next_GapOfHalfAFrame", Query::Next, {{0}, {499'999}}, 100'000, -1},
        // One frame missing between times rounded to 100 ns: the first duration was rounded
        // up, so the gap is a unit short of a whole frame.
        QueryCase{"Next_MissingFrameAfterRoundedUpDuration", Query::Next, {{0, 333'334}, {666'667}}, 100'000, -1},
        // A missing 67 ms frame after a 100 ms one.
        QueryCase{"Next_MissingShorterFrame", Query::Next, {{0, 1'000'000}, {1'670'000}}, 100'000, -1},
        QueryCase{"Next_InGapWithinOneAndAQuarterFrames", Query::Next, kGap, 600'000, 1'000'000},
        QueryCase{"Next_InGapTooFarBefore", Query::Next, kGap, 500'000, -1},
        QueryCase{"Next_BeforeFirstFrame", Query::Next, kAdjacent, -100'000, -1},
        QueryCase{"Next_Empty", Query::Next, {}, 0, -1},
        QueryCase{"Run_GapBeyondHalfAFrame", Query::ContiguousEnd, kRunThenGap, 0, 666'666, 10'000'000},
        QueryCase{"Run_CappedByLimit", Query::ContiguousEnd, kRunThenGap, 0, 500'000, 500'000},
        QueryCase{"Run_GapWithinHalfAFrame", Query::ContiguousEnd, {{0}, {333'333}, {800'000}}, 0, 1'133'333, 10'000'000},
        QueryCase{"Run_NothingMatches", Query::ContiguousEnd, kRunThenGap, 750'000, 700'000, 700'000},
        QueryCase{"Run_Empty", Query::ContiguousEnd, {}, 5, 3, 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct CursorCase {
  const char* name;
  std::vector<Span> frames;
  int64_t from;  // -1: no MoveCursor before
  int64_t t;
  bool moved;
  int64_t cursorTime;
};

void PrintTo(const CursorCase& c, std::ostream* out) { *out << c.name; }

class MoveCursorTest : public VideoDecoderCacheTest, public ::testing::WithParamInterface<CursorCase> {};

TEST_P(MoveCursorTest, MoveCursor_GoesToContainingOrNearestFrame) {
  const CursorCase& c = GetParam();
  Fill(c.frames);
  if (c.from >= 0) cache_.MoveCursor(c.from);
  EXPECT_EQ(c.moved, cache_.MoveCursor(c.t));
  EXPECT_EQ(c.cursorTime, cache_.GetCursorTime());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveCursorTest,
    ::testing::Values(CursorCase{"EqualDistancePrefersLater", kGap, -1, 500'000, true, 1'000'000},
                      CursorCase{"NearerEarlierFrame", kGap, -1, 499'999, true, 0},
                      CursorCase{"PastLastFrameSameFrameAgain", kGap, 50'000'000, 60'000'000, false, 1'000'000},
                      CursorCase{"CursorFrameContainsTime", kAdjacent, 400'000, 666'665, false, 333'333},
                      CursorCase{"Empty", {}, -1, 0, false, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoDecoderCacheTest, FindTextureAndDuration_CursorFrameContainsTime_PreferCursorFrame) {
  Fill({{0, 333'333}, {333'333, 400'000}});
  // 333,332 lies in the first frame, but its probe's midpoint falls in the second.
  EXPECT_EQ(TextureAt(333'333), cache_.FindTexture(333'332).Get());
  EXPECT_EQ(400'000, cache_.GetDuration(333'332));
  ASSERT_TRUE(cache_.MoveCursor(100'000));
  EXPECT_EQ(TextureAt(0), cache_.FindTexture(333'332).Get());
  EXPECT_EQ(333'333, cache_.GetDuration(333'332));
  EXPECT_EQ(nullptr, cache_.FindTexture(5'000'000).Get());
  EXPECT_EQ(0, cache_.GetDuration(5'000'000));
}

TEST_F(VideoDecoderCacheTest, Queries_ExtremeTimes_DoNotOverflow) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  Fill({{max - 10, 1'000'000}, {min}});
  EXPECT_TRUE(cache_.Contains(max - 5));
  EXPECT_TRUE(cache_.Contains(min));
  EXPECT_EQ(max, cache_.GetContiguousEnd(max - 10, max));
  EXPECT_EQ(-1, cache_.GetNextTime(max));
  EXPECT_TRUE(cache_.MoveCursor(0));
  EXPECT_EQ(max - 10, cache_.GetCursorTime());
}

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
  Fill({{666'666}, {0}, {333'333}});
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
  Fill({{0}, {333'333}, {666'666}, {999'999}});
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
