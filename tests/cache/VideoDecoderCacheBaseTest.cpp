// The time queries shared by both caches, exercised through the memory cache (the storage
// cache inherits them unchanged).
#include "cache/VideoDecoderCache.h"

#include "CacheTestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

namespace korvane::cache::test {
namespace {

struct Span {
  int64_t time;
  int64_t duration;
};

class CacheBaseFixture : public ::testing::Test {
 protected:
  void Fill(const std::vector<Span>& frames) {
    for (const Span& f : frames) {
      ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 2, 2, static_cast<int>(f.time % 251));
      ASSERT_TRUE(cache_.Add(texture, f.time, f.duration, false)) << "frame at " << f.time;
      textures_.emplace_back(f.time, texture);
    }
  }
  ID3D11Texture2D* TextureAt(int64_t time) const {
    for (const auto& [t, texture] : textures_)
      if (t == time) return texture.Get();
    return nullptr;
  }

  TestDevice d_ = MakeDevice();
  VideoDecoderCache cache_{d_.device, d_.context, [](ComPtr<ID3D11Texture2D>&, int64_t, int64_t, bool) {}};
  std::vector<std::pair<int64_t, ComPtr<ID3D11Texture2D>>> textures_;
};

const std::vector<Span> kTwoAdjacent = {{0, 333'333}, {333'333, 333'333}};
const std::vector<Span> kGapOfTwoFrames = {{0, 333'333}, {1'000'000, 333'333}};
const std::vector<Span> kRunThenGap = {{0, 333'333}, {333'333, 333'333}, {900'000, 333'333}};

// --- one parameterised table per query ------------------------------------------------------

struct TimeQueryCase {
  const char* name;
  std::vector<Span> frames;
  int64_t t;
  int64_t expected;
};

class ContainsTest : public CacheBaseFixture, public ::testing::WithParamInterface<TimeQueryCase> {};

TEST_P(ContainsTest, Contains_MatchesLookupRule) {
  Fill(GetParam().frames);
  EXPECT_EQ(GetParam().expected != 0, cache_.Contains(GetParam().t));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContainsTest,
    ::testing::Values(TimeQueryCase{"ProbeMidpointInsideFirstFrame", kTwoAdjacent, -12'500, 1},
                      TimeQueryCase{"ProbeMidpointJustBeforeFirstFrame", kTwoAdjacent, -12'501, 0},
                      TimeQueryCase{"InsideSecondFrame", kTwoAdjacent, 400'000, 1},
                      TimeQueryCase{"ProbeMidpointInLastFrame", kTwoAdjacent, 654'165, 1},
                      // The probe's midpoint lies past the frame's end and no frame follows:
                      // the lower bound is the end, so nothing matches.
                      TimeQueryCase{"LastUnitOfLastFrame", kTwoAdjacent, 666'665, 0},
                      TimeQueryCase{"EndOfLastFrame", kTwoAdjacent, 666'666, 0},
                      TimeQueryCase{"InGap", kGapOfTwoFrames, 500'000, 0},
                      TimeQueryCase{"EmptyCache", {}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class PreviousTimeTest : public CacheBaseFixture, public ::testing::WithParamInterface<TimeQueryCase> {};

TEST_P(PreviousTimeTest, GetPreviousTime_ReturnsAdjacentEarlierFrame) {
  Fill(GetParam().frames);
  EXPECT_EQ(GetParam().expected, cache_.GetPreviousTime(GetParam().t));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreviousTimeTest,
    ::testing::Values(TimeQueryCase{"InSecondFrame", kTwoAdjacent, 400'000, 0},
                      TimeQueryCase{"InFirstFrame", kTwoAdjacent, 100'000, -1},
                      TimeQueryCase{"GapOfTwoFramesBefore", kGapOfTwoFrames, 1'100'000, -1},
                      TimeQueryCase{"NotInAnyFrame", kGapOfTwoFrames, 600'000, -1},
                      // Gap 200,000 before a 333,333 frame: the limit 777,778 lies before the
                      // first frame's end only when the gap is under two thirds of a frame.
                      TimeQueryCase{"GapUnderTwoThirds", {{0, 333'333}, {533'333, 333'333}}, 600'000, 0},
                      TimeQueryCase{"GapOfTwoThirds", {{0, 333'333}, {555'555, 333'333}}, 600'000, -1},
                      TimeQueryCase{"EmptyCache", {}, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

class NextTimeTest : public CacheBaseFixture, public ::testing::WithParamInterface<TimeQueryCase> {};

TEST_P(NextTimeTest, GetNextTime_ReturnsFollowingFrameWithoutGap) {
  Fill(GetParam().frames);
  EXPECT_EQ(GetParam().expected, cache_.GetNextTime(GetParam().t));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextTimeTest,
    ::testing::Values(TimeQueryCase{"InFirstOfTwoAdjacent", kTwoAdjacent, 100'000, 333'333},
                      TimeQueryCase{"NoFrameAfter", kTwoAdjacent, 400'000, -1},
                      TimeQueryCase{"GapOfTwoFrames", kGapOfTwoFrames, 100'000, -1},
                      TimeQueryCase{"InGapWithinOneAndAQuarterFrames", kGapOfTwoFrames, 600'000, 1'000'000},
                      TimeQueryCase{"InGapTooFarBefore", kGapOfTwoFrames, 500'000, -1},
                      TimeQueryCase{"BeforeFirstFrame", kTwoAdjacent, -100'000, -1},
                      TimeQueryCase{"EmptyCache", {}, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

struct RunCase {
  const char* name;
  std::vector<Span> frames;
  int64_t t;
  int64_t limit;
  int64_t expected;
};

class ContiguousEndTest : public CacheBaseFixture, public ::testing::WithParamInterface<RunCase> {};

TEST_P(ContiguousEndTest, GetContiguousEnd_StopsAtGapOrLimit) {
  Fill(GetParam().frames);
  EXPECT_EQ(GetParam().expected, cache_.GetContiguousEnd(GetParam().t, GetParam().limit));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContiguousEndTest,
    ::testing::Values(RunCase{"GapBeyondHalfAFrame", kRunThenGap, 0, 10'000'000, 666'666},
                      RunCase{"CappedByLimit", kRunThenGap, 0, 500'000, 500'000},
                      RunCase{"GapWithinHalfAFrameJoins", {{0, 333'333}, {333'333, 333'333}, {800'000, 333'333}}, 0,
                              10'000'000, 1'133'333},
                      RunCase{"NothingMatches", kRunThenGap, 750'000, 10'000'000, 750'000},
                      RunCase{"NothingMatchesLimitBelowT", kRunThenGap, 750'000, 700'000, 700'000},
                      RunCase{"EmptyCache", {}, 5, 3, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// --- cursor -----------------------------------------------------------------------------------

TEST_F(CacheBaseFixture, MoveCursor_EqualDistancePrefersLater) {
  Fill(kGapOfTwoFrames);
  EXPECT_TRUE(cache_.MoveCursor(500'000));
  EXPECT_EQ(1'000'000, cache_.GetCursorTime());
  EXPECT_EQ(333'333, cache_.GetCursorDuration());
}

TEST_F(CacheBaseFixture, MoveCursor_NearerEarlierFrameWins) {
  Fill(kGapOfTwoFrames);
  EXPECT_TRUE(cache_.MoveCursor(499'999));
  EXPECT_EQ(0, cache_.GetCursorTime());
}

TEST_F(CacheBaseFixture, MoveCursor_PastLastFrame_GoesToLast) {
  Fill(kGapOfTwoFrames);
  EXPECT_TRUE(cache_.MoveCursor(50'000'000));
  EXPECT_EQ(1'000'000, cache_.GetCursorTime());
  EXPECT_FALSE(cache_.MoveCursor(60'000'000)) << "same frame again: the cursor's time did not change";
}

TEST_F(CacheBaseFixture, MoveCursor_CursorFrameContainsTime_ReturnsFalseAndStays) {
  Fill(kTwoAdjacent);
  ASSERT_TRUE(cache_.MoveCursor(400'000));
  EXPECT_FALSE(cache_.MoveCursor(333'333));
  EXPECT_FALSE(cache_.MoveCursor(666'665));
  EXPECT_EQ(333'333, cache_.GetCursorTime());
}

TEST_F(CacheBaseFixture, CursorReads_EmptyCache) {
  EXPECT_FALSE(cache_.MoveCursor(0));
  EXPECT_EQ(-1, cache_.GetCursorTime());
  EXPECT_EQ(-1, cache_.GetCursorDuration());
  EXPECT_EQ(nullptr, cache_.FindTexture(0).Get());
  EXPECT_EQ(0, cache_.GetDuration(0));
}

TEST_F(CacheBaseFixture, FindTexture_CursorFrameContainsTime_PrefersCursorFrame) {
  Fill(kTwoAdjacent);
  // 333,332 lies in the first frame, but its probe's midpoint falls in the second: the lookup
  // rule alone answers the second frame.
  EXPECT_EQ(TextureAt(333'333), cache_.FindTexture(333'332).Get());
  ASSERT_TRUE(cache_.MoveCursor(100'000));
  EXPECT_EQ(TextureAt(0), cache_.FindTexture(333'332).Get());
  EXPECT_EQ(TextureAt(333'333), cache_.FindTexture(400'000).Get());
}

TEST_F(CacheBaseFixture, GetDuration_CursorFrameContainsTime_PrefersCursorFrame) {
  Fill({{0, 300'000}, {300'000, 400'000}});
  EXPECT_EQ(400'000, cache_.GetDuration(299'999));
  ASSERT_TRUE(cache_.MoveCursor(100'000));
  EXPECT_EQ(300'000, cache_.GetDuration(299'999));
}

// Times at the ends of the 64-bit range give answers, never undefined arithmetic.
TEST_F(CacheBaseFixture, Queries_ExtremeTimes_DoNotOverflow) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  Fill({{max - 10, 1'000'000}, {min, 333'333}});
  EXPECT_TRUE(cache_.Contains(max - 5));
  EXPECT_TRUE(cache_.Contains(min));
  EXPECT_EQ(max, cache_.GetContiguousEnd(max - 10, max));
  EXPECT_EQ(-1, cache_.GetNextTime(max));
  EXPECT_EQ(-1, cache_.GetPreviousTime(min));
  EXPECT_TRUE(cache_.MoveCursor(0));
}

}  // namespace
}  // namespace korvane::cache::test
