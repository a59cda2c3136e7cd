// The scan's arithmetic on its own: no reader, no caches.
#include "decoder/ScanPlan.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace korvane::test {
namespace {

constexpr int64_t kFrame = 400'000;  // 25 frames per second
constexpr int64_t kMinute = 600'000'000;

// The plan's five numbers, for readable comparisons.
std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t> Numbers(const ScanPlan& plan) {
  return {plan.ScanStep, plan.ScanBurst, plan.ScanIndex, plan.ScanPoint, plan.ScanTarget};
}

// Nothing is cached: every point's burst is still to read.
int64_t NothingCached(int64_t p) { return p; }

struct PlanCase {
  const char* name;
  int64_t span;
  int64_t frameDuration;
  int64_t step;
  int64_t burst;
};

void PrintTo(const PlanCase& c, std::ostream* out) { *out << c.name; }

class ScanPlanPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ScanPlanPlan, Plan_StepAndBurstForTheVideo) {
  const PlanCase& c = GetParam();
  ScanPlan plan;
  plan.Plan(1'000, c.span, c.frameDuration, 1'000);
  EXPECT_EQ(std::make_tuple(c.step, c.burst, int64_t{-1}, 1'000 - c.step, int64_t{1'000}), Numbers(plan));
}

INSTANTIATE_TEST_SUITE_P(
    Videos, ScanPlanPlan,
    ::testing::Values(
        // 1,500 frames: order 3; 2.4 s x 3 = 7.2 s holds 180 frames, so halve while the burst of
        // 8 / 3 = 2 stays above 0: a point every 3.6 s, 2 frames each.
        PlanCase{"OneMinuteAt25fps", kMinute, kFrame, 36'000'000, 2},
        // 250 frames: order 2; 8 s holds 20 frames: no halving; a third of 25 fps is 8 frames.
        PlanCase{"TenSecondsAt25fps", kMinute / 6, kFrame, 8'000'000, 8},
        // 3 frames: order 0 counts as 1; a burst of a third of 25 fps.
        PlanCase{"ThreeFrames", 3 * kFrame, kFrame, 48'000, 8},
        // One hour at 30 fps (333,333 per frame): 108,000 frames, order 5; 144 s x 5, halved
        // once (bursts of 10 / 5 = 2, then 0 stops it).
        PlanCase{"OneHourAt30fps", 60 * kMinute, 333'333, 3'600'000'000, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct NeedCase {
  const char* name;
  int64_t span;
  int64_t frameDuration;
  size_t cached;
  bool hasSpace;
  bool needed;
};

void PrintTo(const NeedCase& c, std::ostream* out) { *out << c.name; }

class ScanPlanIsNeeded : public ::testing::TestWithParam<NeedCase> {};

TEST_P(ScanPlanIsNeeded, IsNeeded_OnlyWhenTheCachesHoldTooFew) {
  const NeedCase& c = GetParam();
  EXPECT_EQ(c.needed, ScanPlan::IsNeeded(c.span, c.frameDuration, c.cached, c.hasSpace));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanPlanIsNeeded,
    ::testing::Values(NeedCase{"LongVideoOneFrameCached", kMinute, kFrame, 1, true, true},
                      NeedCase{"TwentyTwoOfTwentyFiveCached", kMinute, kFrame, 22, true, true},
                      NeedCase{"TwentyThreeOfTwentyFiveCached", kMinute, kFrame, 23, true, false},
                      NeedCase{"ThreeFramesOneCached", 3 * kFrame, kFrame, 1, true, false},
                      NeedCase{"FourFramesOneCached", 4 * kFrame, kFrame, 1, true, true},
                      NeedCase{"DiskWithoutSpace", kMinute, kFrame, 1, false, false},
                      NeedCase{"NoFrameDuration", kMinute, 0, 1, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

class ScanPlanMinute : public ::testing::Test {
 protected:
  // A minute at 25 fps from 0: points every 3.6 s, bursts of 2 frames.
  void SetUp() override { plan_.Plan(0, kMinute, kFrame, 0); }
  ScanPlan::Move Next(int64_t reader, const std::function<int64_t(int64_t)>& skipCached = NothingCached) {
    return plan_.Next(reader, 0, kMinute, kFrame, skipCached);
  }
  ScanPlan plan_;
};

TEST_F(ScanPlanMinute, Next_FirstPointAtTheReader_ReadsItsBurstThenJumps) {
  EXPECT_FALSE(Next(0).jump) << "point 0 lies where the reader is";
  EXPECT_EQ(std::make_tuple(int64_t{36'000'000}, int64_t{2}, int64_t{0}, int64_t{0}, 2 * kFrame), Numbers(plan_));
  EXPECT_FALSE(Next(kFrame).jump) << "inside the burst";
  const ScanPlan::Move move = Next(2 * kFrame);
  EXPECT_TRUE(move.jump);
  EXPECT_EQ(36'000'000, move.target);
  EXPECT_EQ(1, plan_.ScanIndex);
}

TEST_F(ScanPlanMinute, Next_PointWithinHalfABurst_ReadsOn) {
  plan_.ScanBurst = 10;  // half a burst: 5 frames
  ASSERT_FALSE(Next(0).jump);
  plan_.ScanTarget = 0;
  plan_.ScanStep = 5 * kFrame;  // the next point lies 5 frames ahead: not more than half
  EXPECT_FALSE(Next(0).jump);
  EXPECT_EQ(5 * kFrame, plan_.ScanPoint);
}

TEST_F(ScanPlanMinute, Next_CachedBurst_IsSkippedToTheNextPoint) {
  ASSERT_FALSE(Next(0).jump);
  // Point 1 (3.6 s) has its burst cached; point 2 (7.2 s) has not.
  auto firstPointCached = [](int64_t p) { return p == 36'000'000 ? 36'000'000 + 2 * kFrame : p; };
  const ScanPlan::Move move = Next(2 * kFrame, firstPointCached);
  EXPECT_EQ(std::make_tuple(int64_t{36'000'000}, int64_t{2}, int64_t{2}, int64_t{72'000'000}, 72'000'000 + 2 * kFrame),
            Numbers(plan_));
  EXPECT_TRUE(move.jump);
  EXPECT_EQ(72'000'000, move.target);
}

TEST_F(ScanPlanMinute, Next_EveryBurstCached_ReadsOnAtTheLastPoint) {
  ASSERT_FALSE(Next(0).jump);
  EXPECT_FALSE(Next(2 * kFrame, [](int64_t p) { return p + 2 * kFrame; }).jump);
  EXPECT_EQ(kMinute, plan_.ScanPoint) << "the last point is clamped to the end";
}

TEST_F(ScanPlanMinute, Next_ReaderPastTheEndOrNoFrameDuration_ReadsOn) {
  EXPECT_FALSE(Next(kMinute).jump);
  EXPECT_FALSE(plan_.Next(2 * kFrame, 0, kMinute, 0, NothingCached).jump);
  EXPECT_EQ(-1, plan_.ScanIndex) << "no point was taken";
}

TEST_F(ScanPlanMinute, Landed_AtOrBeforeWhereTheReaderWas_DoublesTheStepAndRetriesThePoint) {
  plan_.ScanIndex = 3;
  plan_.Landed(10'000'000, 12'000'000, kFrame, kMinute);
  EXPECT_EQ(std::make_tuple(int64_t{72'000'000}, int64_t{2}, int64_t{2}, int64_t{10'000'000}, 10'000'000 + 2 * kFrame),
            Numbers(plan_));
}

TEST_F(ScanPlanMinute, Landed_AfterWhereTheReaderWasOrNearTheEnd_KeepsTheStep) {
  plan_.Landed(20'000'000, 12'000'000, kFrame, kMinute);
  EXPECT_EQ(36'000'000, plan_.ScanStep);
  EXPECT_EQ(20'000'000 + 2 * kFrame, plan_.ScanTarget);
  plan_.Landed(kMinute - 10'000'000, 0, kFrame, kMinute);
  EXPECT_EQ(kMinute, plan_.ScanTarget) << "a burst ending within a second of the end reads to the end";
}

TEST(ScanPlanLanded, Landed_AfterSkipToEnd_LeavesThePlan) {
  ScanPlan plan;
  plan.SkipToEnd(kMinute);
  plan.ScanTarget = kMinute;
  plan.Landed(kMinute - kFrame, kMinute, kFrame, kMinute);
  EXPECT_EQ(std::make_tuple(int64_t{0}, kMinute, int64_t{0}, int64_t{0}, kMinute), Numbers(plan));
}

TEST(ScanPlanSmooth, SmoothFrameDuration_EightTenthsOldTwoTenthsNew) {
  EXPECT_EQ(420'000, ScanPlan::SmoothFrameDuration(400'000, 500'000));
  EXPECT_EQ(100'000, ScanPlan::SmoothFrameDuration(0, 500'000));
  EXPECT_EQ(333'333, ScanPlan::SmoothFrameDuration(333'333, 333'333));
}

}  // namespace
}  // namespace korvane::test
