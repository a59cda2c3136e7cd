// The test-media helpers checked on their own, so that a failure in a reader test is known to
// be the reader's: every generated file decodes (with plain libavcodec) to its frame count with
// its indices in order, its container says what its VideoSpec asked for, and the damage, packing
// and timing each field file is made for are really in it; the index reader refuses anything
// that is not a clean pattern, and a turned picture reads the way the ffmpeg program turns it.
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace korvane::test {
namespace {

// WebM and Matroska keep times in milliseconds, so frame times there are rounded to them.
constexpr int64_t kMillisecond = 10'000;

int64_t FrameTime(const VideoSpec& spec, int frame) {
  return frame * int64_t{10'000'000} * spec.frameRate.den / spec.frameRate.num;
}

std::vector<uint8_t> Nv12Picture(int index, int width, int height, size_t pitch) {
  std::vector<uint8_t> picture(pitch * (height + (height + 1) / 2), 0xFF);  // padding stays 0xFF
  DrawFrameIndexNv12(index, picture.data(), pitch, width, height);
  return picture;
}

constexpr int kWidth = 320, kHeight = 240;
constexpr size_t kPitch = 384;  // a mapped texture's rows are padded; the padding holds 0xFF

TEST(FrameIndexNv12Test, ReadFrameIndexNv12_PaddedPictureReadDamagedRefused) {
  const std::vector<uint8_t> clean = Nv12Picture(77, kWidth, kHeight, kPitch);
  ASSERT_EQ(77, ReadFrameIndexNv12(clean.data(), kPitch, kWidth, kHeight));
  const std::vector<uint8_t> next = Nv12Picture(78, kWidth, kHeight, kPitch);
  const std::pair<const char*, std::function<void(std::vector<uint8_t>&)>> damages[] = {
      {"Placeholder", [](std::vector<uint8_t>& p) { std::fill(p.begin(), p.end(), 0x7F); }},
      {"BlendOfTwoFrames",
       [&](std::vector<uint8_t>& p) {
         for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>((p[i] + next[i]) / 2);
       }},
      // The cell in row 1, column 1 holds an index bit; its complement is elsewhere.
      {"OneCellFlipped",
       [](std::vector<uint8_t>& p) {
         for (int y = kHeight / 6; y < 2 * kHeight / 6; ++y)
           for (int x = kWidth / 6; x < 2 * kWidth / 6; ++x) p[y * kPitch + x] ^= 16 ^ 235;
       }},
      {"ChromaMissing", [](std::vector<uint8_t>& p) { std::fill(p.begin() + kPitch * kHeight, p.end(), 0); }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> picture = clean;
    damage(picture);
    EXPECT_EQ(-1, ReadFrameIndexNv12(picture.data(), kPitch, kWidth, kHeight));
  }
}

int64_t SpecTime(const VideoSpec& spec, int frame) {
  return spec.frameTimes100ns.empty() ? FrameTime(spec, frame) : spec.frameTimes100ns[frame];
}

// Every kind, the whole and evenly timed ones and those from the field: the container says what
// the writer was asked for, and the frames decode in order at their times, except where a field
// file is made to differ (damage, packing).
class TestVideoTest : public ::testing::TestWithParam<TestVideoKind> {};

TEST_P(TestVideoTest, DecodeAndProbe_MatchWhatWasWritten) {
  const VideoSpec& spec = TestVideoSpec(GetParam());
  const std::vector<ReferenceFrame> frames = DecodeReference(TestVideo(GetParam()), true);
  const VideoInfo info = ProbeVideo(TestVideo(GetParam()));
  const bool variable = !spec.frameTimes100ns.empty();
  const bool even = !variable && spec.frameRate.den == 1;  // the whole, evenly timed kinds
  EXPECT_EQ(std::tuple(spec.width, spec.height, spec.rotationDegrees, spec.withAudio),
            std::tuple(info.width, info.height, info.rotationDegrees, info.hasAudio));
  // MP4 keeps no nominal rate: libavformat averages a variable one.
  if (!variable || spec.container == "matroska") {
    EXPECT_EQ(std::pair(spec.frameRate.num, spec.frameRate.den), std::pair(info.frameRate.num, info.frameRate.den));
  }
  if (spec.damagedPacketCount > 0) {
    // Whole before the damage and from the next key frame after it; something missing or wrong
    // in between.
    ASSERT_GT(frames.size(), 60u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(i, frames[i].frameIndex);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(60 + i, frames[frames.size() - 30 + i].frameIndex);
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
    EXPECT_EQ(std::tuple(spec.width, spec.height), std::tuple(frames[i].width, frames[i].height));
    EXPECT_EQ(frames[i].rowPitch * (spec.height + (spec.height + 1) / 2), frames[i].nv12.size());
    if (!even) continue;
    EXPECT_NEAR(FrameTime(spec, 1), frames[i].duration100ns, kMillisecond);
    EXPECT_EQ(i % spec.gopSize == 0, frames[i].keyFrame);
  }
  if (!even) {
    // What these files are made for: the frames' durations in the container are not the
    // spacing of their times (nominal, rounded or missing).
    size_t differ = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
      differ += frames[i].duration100ns != frames[i + 1].time100ns - frames[i].time100ns;
    }
    EXPECT_GT(differ, 0u);
    return;
  }
  EXPECT_EQ(spec.startOffset100ns, info.startTime100ns);
  EXPECT_NEAR(FrameTime(spec, spec.frameCount), info.duration100ns, FrameTime(spec, 1));
  if (spec.sampleAspect.num > 0) {
    EXPECT_EQ(std::pair(spec.sampleAspect.num, spec.sampleAspect.den),
              std::pair(info.sampleAspect.num, info.sampleAspect.den));
  } else {
    EXPECT_TRUE(info.sampleAspect.num == 0 || info.sampleAspect.num == info.sampleAspect.den)  // unset or 1:1
        << info.sampleAspect.num << ":" << info.sampleAspect.den;
  }
}

std::vector<TestVideoKind> EveryKind() {
  std::vector<TestVideoKind> kinds = AllTestVideoKinds();
  kinds.insert(kinds.end(), RealWorldTestVideoKinds().begin(), RealWorldTestVideoKinds().end());
  return kinds;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TestVideoTest, ::testing::ValuesIn(EveryKind()),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

// An independent check of the rotation's direction: the ffmpeg program turns a tagged video
// into display orientation by itself, and a phone's 90 must come out turned clockwise.
TEST(TestVideoFeaturesTest, FfmpegDisplay_RotatedVideoIsTurnedClockwise) {
  if (std::system("ffmpeg -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg program";
  const std::string command = "ffmpeg -v error -i '" + TestVideo(TestVideoKind::Rotated90Mp4) +
                              "' -frames:v 1 -f rawvideo -pix_fmt gray -";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(nullptr, pipe);
  std::vector<uint8_t> luma(240 * 320);
  ASSERT_EQ(luma.size(), std::fread(luma.data(), 1, luma.size(), pipe.get()));
  const FrameMark mark = ReadFrameMark(luma.data(), 240, 240, 320);
  EXPECT_EQ(0, mark.index);
  EXPECT_EQ(90, mark.rotationDegrees);
}

}  // namespace
}  // namespace korvane::test
