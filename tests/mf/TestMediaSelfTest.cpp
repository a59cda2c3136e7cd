// The test-media helpers checked on their own, so that a failure in a reader test is known to
// be the reader's: every generated kind decodes (with plain libavcodec) to its frame count with
// its indices in order, the container says what its VideoSpec asked for, and the index reader
// copes with turns and scaling but refuses anything that is not a clean pattern.
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t k100nsPerSecond = 10'000'000;
// WebM and Matroska keep times in milliseconds, so frame times there are rounded to them.
constexpr int64_t kMillisecond = 10'000;

int64_t FrameTime(const VideoSpec& spec, int frame) {
  return frame * k100nsPerSecond * spec.frameRate.den / spec.frameRate.num;
}

std::vector<uint8_t> Nv12Picture(int index, int width, int height, size_t pitch) {
  std::vector<uint8_t> picture(pitch * (height + (height + 1) / 2), 0xFF);  // padding stays 0xFF
  DrawFrameIndexNv12(index, picture.data(), pitch, width, height);
  return picture;
}

// The luma plane turned clockwise by quarterTurns × 90°.
std::vector<uint8_t> TurnClockwise(const std::vector<uint8_t>& luma, int& width, int& height,
                                   int quarterTurns) {
  std::vector<uint8_t> turned = luma;
  for (int turn = 0; turn < quarterTurns; ++turn) {
    std::vector<uint8_t> next(turned.size());
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x)
        next[static_cast<size_t>(x) * height + (height - 1 - y)] = turned[y * width + x];
    }
    turned.swap(next);
    std::swap(width, height);
  }
  return turned;
}

// Area-average shrink, as a scaler asked for a smaller output does.
std::vector<uint8_t> Shrink(const std::vector<uint8_t>& luma, int width, int height, int toWidth,
                            int toHeight) {
  std::vector<uint8_t> small(static_cast<size_t>(toWidth) * toHeight);
  for (int y = 0; y < toHeight; ++y) {
    for (int x = 0; x < toWidth; ++x) {
      int sum = 0, count = 0;
      for (int sy = y * height / toHeight; sy < (y + 1) * height / toHeight; ++sy) {
        for (int sx = x * width / toWidth; sx < (x + 1) * width / toWidth; ++sx, ++count)
          sum += luma[sy * width + sx];
      }
      small[static_cast<size_t>(y) * toWidth + x] = static_cast<uint8_t>(sum / count);
    }
  }
  return small;
}

// ---- the frame-index pattern -------------------------------------------------------------

// (width, height, clockwise quarter turns, resolution divisor)
using TurnAndScale = std::tuple<int, int, int, int>;
class FrameIndexPatternTest : public ::testing::TestWithParam<TurnAndScale> {};

TEST_P(FrameIndexPatternTest, ReadFrameMark_SurvivesTurnAndScale) {
  auto [width, height, quarterTurns, divisor] = GetParam();
  for (int index : {0, 1, 0x5A5A, kMaxFrameIndex}) {
    int w = width, h = height;
    const size_t pitch = (w + 1) & ~1;  // odd widths still need whole chroma pairs
    const std::vector<uint8_t> picture = Nv12Picture(index, w, h, pitch);
    std::vector<uint8_t> luma;
    for (int y = 0; y < h; ++y) luma.insert(luma.end(), &picture[y * pitch], &picture[y * pitch + w]);
    luma = TurnClockwise(luma, w, h, quarterTurns);
    const int outWidth = (w / divisor) & ~1, outHeight = (h / divisor) & ~1;
    luma = Shrink(luma, w, h, outWidth, outHeight);
    const FrameMark mark = ReadFrameMark(luma.data(), outWidth, outWidth, outHeight);
    EXPECT_EQ(index, mark.index) << outWidth << "x" << outHeight;
    EXPECT_EQ(quarterTurns * 90, mark.rotationDegrees);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameIndexPatternTest,
                         ::testing::Combine(::testing::Values(320, 321), ::testing::Values(240, 241),
                                            ::testing::Values(0, 1, 2, 3), ::testing::Values(1, 2, 4)));

TEST(FrameIndexNv12Test, ReadFrameIndexNv12_ReadsAPaddedTexture) {
  const size_t pitch = 384;  // a mapped texture's rows are padded; the padding holds 0xFF
  const std::vector<uint8_t> picture = Nv12Picture(4321, 320, 240, pitch);
  EXPECT_EQ(4321, ReadFrameIndexNv12(picture.data(), pitch, 320, 240));
}

struct Damage {
  const char* name;
  std::function<void(std::vector<uint8_t>& nv12, int width, int height)> apply;
};
class FrameIndexDamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(FrameIndexDamageTest, ReadFrameIndexNv12_RefusesDamagedPicture) {
  const int width = 320, height = 240;
  std::vector<uint8_t> picture = Nv12Picture(77, width, height, width);
  ASSERT_EQ(77, ReadFrameIndexNv12(picture.data(), width, width, height));
  GetParam().apply(picture, width, height);
  EXPECT_EQ(-1, ReadFrameIndexNv12(picture.data(), width, width, height));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, FrameIndexDamageTest,
    ::testing::Values(Damage{"Placeholder",
                             [](std::vector<uint8_t>& p, int, int) { std::fill(p.begin(), p.end(), 0x7F); }},
                      Damage{"BlendOfTwoFrames",
                             [](std::vector<uint8_t>& p, int w, int h) {
                               const std::vector<uint8_t> other = Nv12Picture(78, w, h, w);
                               for (size_t i = 0; i < p.size(); ++i)
                                 p[i] = static_cast<uint8_t>((p[i] + other[i]) / 2);
                             }},
                      Damage{"OneCellFlipped",
                             [](std::vector<uint8_t>& p, int w, int h) {
                               // The cell in row 1, column 1 holds an index bit; its complement is elsewhere.
                               for (int y = h / 6; y < 2 * h / 6; ++y) {
                                 for (int x = w / 6; x < 2 * w / 6; ++x)
                                   p[y * w + x] = p[y * w + x] > 128 ? 16 : 235;
                               }
                             }},
                      Damage{"ChromaMissing", [](std::vector<uint8_t>& p, int w,
                                                 int h) { std::fill(p.begin() + w * h, p.end(), 0); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameIndexNv12Test, ReadFrameIndex_RefusesBadArguments) {
  const std::vector<uint8_t> picture = Nv12Picture(1, 320, 240, 320);
  EXPECT_THROW(ReadFrameIndex(nullptr, 320, 320, 240), std::invalid_argument);
  EXPECT_THROW(ReadFrameIndex(picture.data(), 320, 0, 240), std::invalid_argument);
  try {
    ReadFrameIndexNv12(picture.data(), 319, 320, 240);
    FAIL() << "a pitch below the width was accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("319")) << error.what();
  }
  std::vector<uint8_t> buffer(320 * 360);
  EXPECT_THROW(DrawFrameIndexNv12(kMaxFrameIndex + 1, buffer.data(), 320, 320, 240), std::invalid_argument);
  EXPECT_EQ(-1, ReadFrameIndex(picture.data(), 320, 11, 11));  // too small to hold the grid
}

// ---- the generated videos ----------------------------------------------------------------

class TestVideoTest : public ::testing::TestWithParam<TestVideoKind> {};

TEST_P(TestVideoTest, DecodeReference_ReadsEveryIndexInPresentationOrder) {
  const VideoSpec& spec = TestVideoSpec(GetParam());
  const std::vector<ReferenceFrame> frames = DecodeReference(TestVideo(GetParam()), true);
  ASSERT_EQ(static_cast<size_t>(spec.frameCount), frames.size());
  for (int i = 0; i < spec.frameCount; ++i) {
    const ReferenceFrame& frame = frames[i];
    EXPECT_EQ(i, frame.frameIndex) << "frame " << i;
    EXPECT_NEAR(FrameTime(spec, i), frame.time100ns, kMillisecond) << "frame " << i;
    EXPECT_NEAR(FrameTime(spec, 1), frame.duration100ns, kMillisecond) << "frame " << i;
    EXPECT_EQ(i % spec.gopSize == 0, frame.keyFrame) << "frame " << i;
    EXPECT_EQ(spec.width, frame.width);
    EXPECT_EQ(spec.height, frame.height);
    EXPECT_EQ(frame.rowPitch * (spec.height + (spec.height + 1) / 2), frame.nv12.size());
  }
}

TEST_P(TestVideoTest, ProbeVideo_ReportsTheSpec) {
  const VideoSpec& spec = TestVideoSpec(GetParam());
  const VideoInfo info = ProbeVideo(TestVideo(GetParam()));
  EXPECT_EQ(spec.width, info.width);
  EXPECT_EQ(spec.height, info.height);
  EXPECT_EQ(spec.rotationDegrees, info.rotationDegrees);
  EXPECT_EQ(spec.frameRate.num, info.frameRate.num);
  EXPECT_EQ(spec.frameRate.den, info.frameRate.den);
  EXPECT_EQ(spec.withAudio, info.hasAudio);
  EXPECT_EQ(spec.startOffset100ns, info.startTime100ns);
  EXPECT_NEAR(FrameTime(spec, spec.frameCount), info.duration100ns, FrameTime(spec, 1));
  if (spec.sampleAspect.num > 0) {
    EXPECT_EQ(spec.sampleAspect.num, info.sampleAspect.num);
    EXPECT_EQ(spec.sampleAspect.den, info.sampleAspect.den);
  } else {
    EXPECT_TRUE(info.sampleAspect.num == 0 || info.sampleAspect.num == info.sampleAspect.den)  // unset or 1:1
        << info.sampleAspect.num << ":" << info.sampleAspect.den;
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TestVideoTest, ::testing::ValuesIn(AllTestVideoKinds()),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

TEST(TestVideoFeaturesTest, Probe_TransportStreamStartsLate) {
  EXPECT_GT(ProbeVideo(TestVideo(TestVideoKind::Mpeg2Ts)).startTime100ns, 0);
  EXPECT_EQ(0, DecodeReference(TestVideo(TestVideoKind::Mpeg2Ts), false).front().time100ns);
}

TEST(TestVideoFeaturesTest, Probe_OddSizeIsStoredExactly) {
  const VideoInfo info = ProbeVideo(TestVideo(TestVideoKind::OddSizeWebm));
  EXPECT_EQ(321, info.width);
  EXPECT_EQ(241, info.height);
}

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

TEST(TestVideoFeaturesTest, TestVideo_ConcurrentCallersShareOneFile) {
  std::vector<std::future<const std::string*>> callers;
  for (int i = 0; i < 4; ++i) {
    callers.push_back(std::async(std::launch::async, [] { return &TestVideo(TestVideoKind::NonSquareMp4); }));
  }
  const std::string* first = callers.front().get();
  for (size_t i = 1; i < callers.size(); ++i) EXPECT_EQ(first, callers[i].get());
  EXPECT_TRUE(fs::is_regular_file(*first));
}

TEST(TestVideoFeaturesTest, BenchmarkVideo_IsFullHd) {
  const std::vector<ReferenceFrame> frames = DecodeReference(BenchmarkVideo(3), true);
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(1920, frames[2].width);
  EXPECT_EQ(1080, frames[2].height);
  EXPECT_EQ(2, frames[2].frameIndex);
}

// ---- writing ------------------------------------------------------------------------------

struct BadSpec {
  const char* name;
  std::function<void(VideoSpec&)> change;
  const char* inMessage;  // the bad value the error must name
};
class WriteTestVideoTest : public ::testing::TestWithParam<BadSpec> {};

TEST_P(WriteTestVideoTest, WriteTestVideo_RefusesBadSpec) {
  TempFolder folder;
  const std::string path = folder.File("bad.out");
  VideoSpec spec;
  spec.frameCount = 2;
  GetParam().change(spec);
  try {
    WriteTestVideo(spec, path);
    FAIL() << "the bad VideoSpec was accepted";
  } catch (const std::exception& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find(GetParam().inMessage)) << error.what();
  }
  EXPECT_FALSE(fs::exists(path)) << "a half-written file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    BadSpecs, WriteTestVideoTest,
    ::testing::Values(
        BadSpec{"UnknownContainer", [](VideoSpec& s) { s.container = "nosuchmux"; }, "nosuchmux"},
        BadSpec{"UnknownEncoder", [](VideoSpec& s) { s.encoder = "nosuchcodec"; }, "nosuchcodec"},
        BadSpec{"NoFrames", [](VideoSpec& s) { s.frameCount = 0; }, "frameCount = 0"},
        BadSpec{"OddRotation", [](VideoSpec& s) { s.rotationDegrees = 45; }, "45"},
        BadSpec{"RotationInWebm",
                [](VideoSpec& s) {
                  s.container = "webm";
                  s.encoder = "libvpx-vp9";
                  s.rotationDegrees = 90;
                },
                "webm"},
        BadSpec{"RgbPixels", [](VideoSpec& s) { s.pixelFormat = "rgb24"; }, "rgb24"},
        // MPEG-2 has a fixed list of frame rates: the encoder itself refuses.
        BadSpec{"FrameRateMpeg2Lacks",
                [](VideoSpec& s) {
                  s.container = "mpegts";
                  s.encoder = "mpeg2video";
                  s.frameRate = {7, 1};
                },
                "'mpeg2video'"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- files a reader must refuse or survive --------------------------------------------------

TEST(BadMediaFileTest, Probe_FilesWithoutVideoAreRefused) {
  for (BadMediaKind kind : {BadMediaKind::AudioOnly, BadMediaKind::Text, BadMediaKind::Empty,
                            BadMediaKind::TruncatedMp4NoIndex}) {
    const std::string& path = BadMediaFile(kind);
    ASSERT_TRUE(fs::exists(path)) << path;
    EXPECT_THROW(ProbeVideo(path), std::runtime_error) << path;
  }
  EXPECT_EQ(0u, fs::file_size(BadMediaFile(BadMediaKind::Empty)));
}

TEST(BadMediaFileTest, DecodeReference_TruncatedMp4EndsEarly) {
  const std::vector<ReferenceFrame> frames = DecodeReference(BadMediaFile(BadMediaKind::TruncatedMp4), true);
  const int whole = TestVideoSpec(TestVideoKind::H264Mp4).frameCount;
  ASSERT_GT(frames.size(), 0u);
  EXPECT_LT(frames.size(), static_cast<size_t>(whole));
  EXPECT_EQ(0, frames.front().frameIndex);
}

// ---- the temp folder ------------------------------------------------------------------------

TEST(TempFolderTest, Destruction_RemovesContentButNotLinkTargets) {
  TempFolder outside;
  std::ofstream(outside.File("keep.txt")) << "kept";
  std::string path;
  {
    TempFolder folder;
    path = folder.Path();
    ASSERT_EQ('/', path.back());
    ASSERT_TRUE(fs::is_directory(path));
    fs::create_directories(path + "a/b");
    std::ofstream(path + "a/b/file.bin") << "data";
    fs::create_directory_symlink(outside.Path(), path + "a/link");
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::exists(outside.File("keep.txt")));
}

}  // namespace
}  // namespace korvane::test
