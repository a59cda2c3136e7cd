// Files as they come from the field, stepped through the decoder's own interface: every frame
// FFmpeg's decoder makes is reached by GetNextFrameTime from the first frame and by
// GetPreviousFrameTime from the last, in order and once each, and shows exactly its picture.
#include "DecoderTestSupport.h"

#include "support/TestMedia.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

// A frame: its time relative to the first frame, its index, and (when stepped on) the
// duration the decoder gives it.
struct Expected {
  int64_t time = 0;
  int index = -1;
  int64_t duration = 0;
};

enum class Direction { kForwards, kBackwards };

enum class Damaged { kIncluded, kLeftOut };

// The files from the field (the damaged one too, or not), and the odd-sized one; for random
// positions also H.264 with B-frames in MP4 and the MPEG-TS that starts at 1.4 s (the other whole
// kinds take the same paths through the decoder).
std::vector<TestVideoKind> SteppedKinds(Damaged damaged) {
  std::vector<TestVideoKind> kinds;
  for (TestVideoKind kind : RealWorldTestVideoKinds())
    if (damaged == Damaged::kIncluded || TestVideoSpec(kind).damagedPacketCount == 0) kinds.push_back(kind);
  kinds.push_back(TestVideoKind::OddSizeWebm);
  if (damaged == Damaged::kLeftOut) kinds.insert(kinds.end(), {TestVideoKind::H264Mp4, TestVideoKind::Mpeg2Ts});
  return kinds;
}

class VideoDecoderRealWorld : public DecoderFixture, public ::testing::WithParamInterface<TestVideoKind> {
 protected:
  void OpenKind(TestVideoKind kind) {
    ASSERT_TRUE(Load(FileStream(TestVideo(kind)).Get()));
    decoder_->Initialize(Platform::String(cache_.Path()));
    ASSERT_TRUE(listener_->WaitFor("cached 0")) << "the scan ends";
    ASSERT_TRUE(decoder_->IsInitialized());
  }
  // The index of the picture the decoder gives for `relative`, read at the video's own size
  // from the top-left corner of its texture; -1 when there is none.
  int IndexAt(int64_t relative) {
    ComPtr<ID3D11Texture2D> frame = decoder_->GetFrame(relative);
    if (!frame) return -1;
    const TextureBytes copy = ReadTexture(device_.Get(), frame.Get());
    const uint32_t width = decoder_->GetOutputWidth(), height = decoder_->GetOutputHeight();
    EXPECT_EQ((width + 1) & ~1u, copy.desc.Width);
    EXPECT_EQ((height + 1) & ~1u, copy.desc.Height);
    return ReadFrameIndex(copy.bytes.data(), copy.rowPitch, static_cast<int>(width), static_cast<int>(height));
  }
  // Steps from `from` with the decoder's next (or previous) frame times until there is none,
  // positioning on each frame as an application does; returns the frames stepped on, in time
  // order, with the picture and duration shown at each.
  std::vector<Expected> Step(int64_t from, Direction direction) {
    std::vector<Expected> visited;
    for (int64_t time = from; time >= 0 && visited.size() < 10'000;) {
      if (!RequestAndWait(time)) break;
      EXPECT_EQ(time, decoder_->GetCurrentFrameTime());
      visited.push_back({time, IndexAt(time), decoder_->GetCurrentFrameDuration()});
      time = direction == Direction::kForwards ? decoder_->GetNextFrameTime(time) : decoder_->GetPreviousFrameTime(time);
    }
    if (direction == Direction::kBackwards) std::reverse(visited.begin(), visited.end());
    return visited;
  }
  // The frames to reach in `kind`, relative to the first.
  static std::vector<Expected> ExpectedFrames(TestVideoKind kind) {
    std::vector<Expected> expected;
    for (const ReferenceFrame& frame : FramesToReach(DecodeReference(TestVideo(kind), true), TestVideoSpec(kind))) {
      expected.push_back({frame.time100ns, frame.frameIndex});
    }
    if (expected.empty()) return expected;
    const int64_t origin = expected.front().time;
    for (Expected& frame : expected) frame.time -= origin;
    return expected;
  }
};

std::string Describe(const std::vector<Expected>& frames) {
  std::string text;
  for (const Expected& frame : frames) text += std::to_string(frame.index) + "@" + std::to_string(frame.time) + " ";
  return text;
}

// Every expected frame is among the visited ones, with its picture; the visited times rise and
// each frame lasts until the next. Only on a damaged file may frames inside the damage be
// visited too.
void ExpectReached(const std::vector<Expected>& expected, const std::vector<Expected>& visited, bool damaged,
                   const char* how) {
  SCOPED_TRACE(how);
  for (size_t i = 1; i < visited.size(); ++i) {
    ASSERT_LT(visited[i - 1].time, visited[i].time) << Describe(visited);
    EXPECT_EQ(visited[i].time - visited[i - 1].time, visited[i - 1].duration) << "at " << visited[i - 1].time;
  }
  if (!damaged) {
    EXPECT_EQ(expected.size(), visited.size()) << Describe(visited);
  }
  for (const Expected& frame : expected) {
    const auto found = std::find_if(visited.begin(), visited.end(), [&](const Expected& v) { return v.time == frame.time; });
    ASSERT_NE(found, visited.end()) << "frame " << frame.index << " at " << frame.time << " never reached; visited "
                                    << Describe(visited);
    EXPECT_EQ(frame.index, found->index) << "at " << frame.time;
  }
}

TEST_P(VideoDecoderRealWorld, StepForwardsAndBackwards_ReachesEveryFrameExactly) {
  const VideoSpec& spec = TestVideoSpec(GetParam());
  const std::vector<Expected> expected = ExpectedFrames(GetParam());
  ASSERT_GT(expected.size(), 10u);
  ASSERT_NO_FATAL_FAILURE(OpenKind(GetParam()));
  const bool sideways = spec.rotationDegrees == 90 || spec.rotationDegrees == 270;
  EXPECT_EQ(static_cast<uint32_t>(sideways ? spec.height : spec.width), decoder_->GetOutputWidth());
  EXPECT_EQ(static_cast<uint32_t>(sideways ? spec.width : spec.height), decoder_->GetOutputHeight());

  const bool damaged = spec.damagedPacketCount > 0;
  ExpectReached(expected, Step(0, Direction::kForwards), damaged, "forwards");
  ExpectReached(expected, Step(expected.back().time, Direction::kBackwards), damaged, "backwards");
  EXPECT_EQ(0u, listener_->Count("error "));
}

// A position anywhere shows the frame whose presentation interval (from its time to the next
// frame's) holds it, also where the frames are unevenly spaced.
class VideoDecoderAnywhere : public VideoDecoderRealWorld {};

TEST_P(VideoDecoderAnywhere, Request_ShowsTheFrameWhoseIntervalHoldsIt) {
  const std::vector<Expected> expected = ExpectedFrames(GetParam());
  ASSERT_GT(expected.size(), 10u);
  ASSERT_NO_FATAL_FAILURE(OpenKind(GetParam()));
  uint32_t state = 12345;  // the same positions on every run
  for (int i = 0; i < 40; ++i) {
    state = state * 1103515245u + 12345u;
    const int64_t position = static_cast<int64_t>(state % static_cast<uint32_t>(expected.back().time + 1));
    const auto frame = std::prev(std::upper_bound(expected.begin(), expected.end(), position,
                                                  [](int64_t t, const Expected& e) { return t < e.time; }));
    ASSERT_TRUE(RequestAndWait(position));
    EXPECT_EQ(frame->time, decoder_->GetCurrentFrameTime()) << "at " << position;
    EXPECT_EQ(frame->index, IndexAt(position)) << "at " << position;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, VideoDecoderRealWorld, ::testing::ValuesIn(SteppedKinds(Damaged::kIncluded)),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

// Which frames lie inside a damaged stretch differs between decodes, so the damaged file is
// left out here.
INSTANTIATE_TEST_SUITE_P(Files, VideoDecoderAnywhere, ::testing::ValuesIn(SteppedKinds(Damaged::kLeftOut)),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

}  // namespace
}  // namespace korvane::test
