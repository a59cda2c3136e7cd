// The times the reader gives pictures whose container timestamps are missing, repeated or
// before the start.
#include "platform/mf/FrameTimeline.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace korvane::mf {
namespace {

constexpr int64_t kFrame = 400'000;  // 25 fps
constexpr std::nullopt_t kNone = std::nullopt;

struct Picture {
  std::optional<int64_t> stamp;
  std::optional<int64_t> duration;
  int64_t expected;
};

struct TimelineCase {
  const char* name;
  std::optional<int64_t> nominal;
  std::optional<int64_t> origin;  // of the run
  std::vector<Picture> pictures;
};

void PrintTo(const TimelineCase& c, std::ostream* out) { *out << c.name; }

class FrameTimelineTest : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(FrameTimelineTest, Place_EveryPictureItsOwnTimeNoneNegative) {
  FrameTimeline timeline(GetParam().nominal);
  timeline.Restart(GetParam().origin);
  int index = 0;
  for (const Picture& picture : GetParam().pictures) {
    EXPECT_EQ(picture.expected, timeline.Place(picture.stamp, picture.duration)) << "picture " << index++;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FrameTimelineTest,
    ::testing::Values(
        TimelineCase{"StampsKept", kFrame, kNone, {{0, kFrame, 0}, {kFrame, kNone, kFrame}, {3 * kFrame, kNone, 3 * kFrame}}},
        // The last picture of an AVI with packed B-frames.
        TimelineCase{"MissingStampFollowsByOwnDuration",
                     kFrame,
                     kNone,
                     {{kFrame, kFrame, kFrame}, {2 * kFrame, kFrame, 2 * kFrame}, {kNone, 300'000, 2 * kFrame + 300'000}}},
        TimelineCase{"MissingStampFollowsByLastSpacing",
                     kFrame,
                     kNone,
                     {{0, kNone, 0}, {500'000, kNone, 500'000}, {kNone, kNone, 1'000'000}, {kNone, kNone, 1'500'000}}},
        TimelineCase{"NoStampsAtAllFollowNominalSpacing",
                     kFrame,
                     kNone,
                     {{kNone, kNone, 0}, {kNone, kNone, kFrame}, {kNone, kNone, 2 * kFrame}}},
        TimelineCase{"NoStampNoRateStillDistinct", kNone, kNone, {{kNone, kNone, 0}, {kNone, kNone, 1}, {kNone, kNone, 2}}},
        TimelineCase{"FirstWithoutStampTakesTheRunsOrigin",
                     kFrame,
                     12 * kFrame,
                     {{kNone, kNone, 12 * kFrame}, {13 * kFrame, kNone, 13 * kFrame}}},
        TimelineCase{"RepeatedStampSqueezedInAfterThePrevious",
                     kFrame,
                     kNone,
                     {{0, kFrame, 0}, {kFrame, kFrame, kFrame}, {kFrame, kFrame, kFrame + 1}, {2 * kFrame, kFrame, 2 * kFrame}}},
        // Before the stream's start: moved up to 0, never near the -1 of "no frame".
        TimelineCase{"BeforeStartNeverNegative",
                     kFrame,
                     kNone,
                     {{-2 * kFrame, kFrame, 0}, {-kFrame, kFrame, 1}, {0, kFrame, 2}, {kFrame, kFrame, kFrame}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameTimelineSpacingTest, LastSpacing_OwnDurationElseLastSpacingElseNominal) {
  FrameTimeline timeline(kFrame);
  EXPECT_EQ(kFrame, timeline.LastSpacing(kNone));
  EXPECT_EQ(123, timeline.LastSpacing(123));
  timeline.Place(0, kNone);
  timeline.Place(670'000, kNone);
  EXPECT_EQ(670'000, timeline.LastSpacing(kNone));
  EXPECT_EQ(123, timeline.LastSpacing(123));
  timeline.Restart();
  EXPECT_EQ(kFrame, timeline.LastSpacing(kNone)) << "a seek forgets the spacing";
  EXPECT_EQ(std::nullopt, FrameTimeline(kNone).LastSpacing(kNone));
}

}  // namespace
}  // namespace korvane::mf
