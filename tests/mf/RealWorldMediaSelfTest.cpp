// The field-like test media checked on their own (as TestMediaSelfTest does for the whole, evenly
// timed files): the damage, packing and timing each file is made for are really in it, seen
// through a plain libavcodec decode.
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

constexpr int64_t kMillisecond = 10'000;

int64_t SpecTime(const VideoSpec& spec, int frame) {
  if (!spec.frameTimes100ns.empty()) return spec.frameTimes100ns[frame];
  return frame * int64_t{10'000'000} * spec.frameRate.den / spec.frameRate.num;
}

class RealWorldMediaTest : public ::testing::TestWithParam<TestVideoKind> {};

TEST_P(RealWorldMediaTest, DecodeAndProbe_MatchTheSpec) {
  const VideoSpec& spec = TestVideoSpec(GetParam());
  const std::vector<ReferenceFrame> frames = DecodeReference(TestVideo(GetParam()), true);
  const VideoInfo info = ProbeVideo(TestVideo(GetParam()));
  EXPECT_EQ(std::tuple(spec.width, spec.height, spec.rotationDegrees, spec.withAudio),
            std::tuple(info.width, info.height, info.rotationDegrees, info.hasAudio));
  // MP4 keeps no nominal rate: libavformat averages a variable one.
  if (spec.frameTimes100ns.empty() || spec.container == "matroska") {
    EXPECT_EQ(std::pair(spec.frameRate.num, spec.frameRate.den), std::pair(info.frameRate.num, info.frameRate.den));
  }

  if (spec.damagedPacketCount > 0) {
    // Whole before the damage and from the next key frame after it; something missing or wrong
    // in between.
    ASSERT_GT(frames.size(), 60u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(i, frames[i].frameIndex);
    const std::vector<ReferenceFrame> tail(frames.end() - 30, frames.end());
    for (int i = 0; i < 30; ++i) EXPECT_EQ(60 + i, tail[i].frameIndex);
    int whole = 0;
    for (const ReferenceFrame& frame : frames) whole += frame.frameIndex >= 0 && frame.frameIndex == &frame - &frames[0];
    EXPECT_LT(whole, spec.frameCount - 4) << "the damage must cost frames";
    return;
  }

  if (GetParam() == TestVideoKind::PackedBFramesAvi) {
    // Packing delays the pictures: libavformat times them by their chunks, the last one comes
    // out of the decoder with no time at all, and the decoder loses the picture packed into
    // the last key frame's chunk (frame 49).
    ASSERT_EQ(static_cast<size_t>(spec.frameCount - 1), frames.size());
    for (int i = 0; i < spec.frameCount - 1; ++i) EXPECT_EQ(i, frames[i].frameIndex);
    EXPECT_EQ(-1, frames.back().time100ns);
    for (size_t i = 1; i + 1 < frames.size(); ++i) EXPECT_GT(frames[i].time100ns, frames[i - 1].time100ns);
    return;
  }
  ASSERT_EQ(static_cast<size_t>(spec.frameCount), frames.size());
  for (int i = 0; i < spec.frameCount; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(i, frames[i].frameIndex);
    EXPECT_NEAR(SpecTime(spec, i), frames[i].time100ns, kMillisecond);
  }
  if (!spec.frameTimes100ns.empty() || spec.frameRate.den != 1) {
    // What these files are made for: the frames' durations in the container are not the
    // spacing of their times (nominal, rounded or missing).
    size_t differ = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
      differ += frames[i].duration100ns != frames[i + 1].time100ns - frames[i].time100ns;
    }
    EXPECT_GT(differ, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(RealWorld, RealWorldMediaTest, ::testing::ValuesIn(RealWorldTestVideoKinds()),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

}  // namespace
}  // namespace korvane::test
