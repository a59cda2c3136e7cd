// Frame timing on variable-rate and rounded-timestamp files: a picture is held back until the
// next one's time is known, and a seek or a flush throws a held picture away, so the samples
// after either are the right pictures lasting the right time. The frame-rate attribute stays
// the nominal rate the container states.
#include "ReaderHarness.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace korvane::mf::test {
namespace {

using korvane::test::ReferenceFrame;
using korvane::test::TestVideoKind;

class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reference_ = korvane::test::DecodeReference(korvane::test::TestVideo(kKind), true);
    open_ = OpenFile(korvane::test::TestVideo(kKind));
    ASSERT_EQ(open_.hr, S_OK);
  }
  // Reads one sample and checks that it is reference frame `index`, lasting until the next.
  void ExpectNextSampleIs(size_t index) {
    Completion c = ReadOne(open_);
    ASSERT_TRUE(c.sample) << "flags " << c.flags;
    EXPECT_EQ(reference_.at(index).time100ns, c.time);
    EXPECT_EQ(FrameIndexOf(open_, TextureOf(c.sample.Get()).Get()), reference_.at(index).frameIndex);
    LONGLONG duration = 0;
    EXPECT_EQ(c.sample->GetSampleDuration(&duration), S_OK);
    EXPECT_EQ(reference_.at(index + 1).time100ns - reference_.at(index).time100ns, duration) << "frame " << index;
    open_.callback->ForgetSamples();
  }
  // The first key frame at or after `index`.
  size_t KeyFrameFrom(size_t index) const {
    while (!reference_.at(index).keyFrame) ++index;
    return index;
  }

  // 30 fps for 2 s, then 67 to 100 ms apart, key frames every 30 frames.
  static constexpr TestVideoKind kKind = TestVideoKind::VfrH264Mkv;
  MfStarted started_;
  std::vector<ReferenceFrame> reference_;
  OpenReader open_;
};

// Whatever the reader held back before the seek never comes out after it.
TEST_F(TimingTest, SetCurrentPosition_FirstSamplesAreTheKeyFrameOnLastingUntilTheNext) {
  for (size_t i = 0; i < 75; ++i) ExpectNextSampleIs(i);  // into the slow part; frame 75 is held
  for (size_t target : {size_t{95}, size_t{3}, size_t{64}}) {
    SCOPED_TRACE("seek to frame " + std::to_string(target));
    ASSERT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, Position(reference_[target].time100ns)), S_OK);
    const size_t key = target / 30 * 30;  // the key frame at or before it
    ASSERT_TRUE(reference_[key].keyFrame);
    for (size_t i = key; i <= target + 2; ++i) ExpectNextSampleIs(i);
  }
}

// After a flush decoding resumes at the next key frame; the picture held before the flush
// is dropped with the rest.
TEST_F(TimingTest, Flush_NextSampleIsTheFollowingKeyFrameLastingUntilTheNext) {
  for (size_t i = 0; i < 65; ++i) ExpectNextSampleIs(i);
  const size_t before = open_.callback->Count();
  ASSERT_EQ(open_.reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM), S_OK);
  ASSERT_TRUE(open_.callback->WaitForCount(before + 1));
  ASSERT_EQ(open_.callback->At(before).kind, Completion::Kind::kFlush);
  const size_t key = KeyFrameFrom(66);
  for (size_t i = key; i < key + 3; ++i) ExpectNextSampleIs(i);
}

// The frame-rate attribute is the rate the container states (for Matroska, the nominal one it
// was told), not one measured from the frames. The presentation's duration reaches every
// picture's time (the decoder cuts requests off at it), also the last one of an MP4 whose track
// duration, counted in decode times, ends before that picture is presented; an evenly timed file
// lasts its frames.
TEST(TimingRateTest, NativeTypeAndDuration_AsTheContainerStatesCoveringEveryPicture) {
  MfStarted started;
  std::vector<TestVideoKind> kinds = korvane::test::RealWorldTestVideoKinds();
  kinds.insert(kinds.end(), {TestVideoKind::H264Mp4, TestVideoKind::Mpeg2Ts, TestVideoKind::Vp9Webm});
  for (TestVideoKind kind : kinds) {
    SCOPED_TRACE(korvane::test::TestVideoKindName(kind));
    const std::string& path = korvane::test::TestVideo(kind);
    OpenReader open = OpenFile(path);
    ASSERT_EQ(open.hr, S_OK);
    const korvane::test::VideoInfo info = korvane::test::ProbeVideo(path);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(open.reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &type), S_OK);
    UINT32 numerator = 0, denominator = 0;
    ASSERT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator), S_OK);
    EXPECT_EQ(std::pair(static_cast<UINT32>(info.frameRate.num), static_cast<UINT32>(info.frameRate.den)),
              std::pair(numerator, denominator));
    if (kind == TestVideoKind::VfrH264Mkv) {
      EXPECT_EQ(std::pair(30u, 1u), std::pair(numerator, denominator)) << "the nominal rate it was told";
    }

    const korvane::test::VideoSpec& spec = korvane::test::TestVideoSpec(kind);
    const std::vector<ReferenceFrame> reference =
        korvane::test::FramesToReach(korvane::test::DecodeReference(path, true), spec);
    ASSERT_FALSE(reference.empty());
    PROPVARIANT duration;
    ASSERT_EQ(open.reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration), S_OK);
    EXPECT_EQ(duration.vt, VT_UI8);
    const auto presented = static_cast<int64_t>(duration.uhVal.QuadPart);
    EXPECT_GE(presented, reference.back().time100ns);
    const int64_t frame = int64_t{10'000'000} * spec.frameRate.den / spec.frameRate.num;
    EXPECT_TRUE(!spec.frameTimes100ns.empty() || std::llabs(presented - frame * spec.frameCount) <= frame) << presented;
  }
}

}  // namespace
}  // namespace korvane::mf::test
