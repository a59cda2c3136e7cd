// The read loop and the initial scan, driven through the scripted source: exact sequences of
// reads, seeks and flushes, and the notifications.
#include "DecoderTestSupport.h"

#include <algorithm>

namespace korvane::test {
namespace {

class VideoDecoderScan : public DecoderFixture {
 protected:
  std::vector<std::string> Reads(int count) { return std::vector<std::string>(count, "read"); }
  // The seek positions, in order.
  std::vector<int64_t> SeekPositions() {
    std::vector<int64_t> positions;
    for (const auto& e : log_->Entries())
      if (e.kind == mf::ScriptedSourceLog::Kind::Seek) positions.push_back(e.position);
    return positions;
  }
};

TEST_F(VideoDecoderScan, ShortVideo_ReadsOnToTheEnd_ProgressThenFixedEndOrder) {
  Open(ScriptedVideo(10));
  std::vector<std::string> expected{"seek 0"};
  for (const auto& r : Reads(11)) expected.push_back(r);  // ten frames and the end of stream
  EXPECT_EQ(expected, LogLines());

  // Progress is the reader position over the duration (both absolute) for every scanned
  // sample, then exactly 1.0, then the fixed end-of-scan order.
  const std::vector<std::string> events = listener_->Events();
  ASSERT_EQ(13u, events.size());
  for (int i = 1; i <= 9; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "progress %.4g", i / 10.0);
    EXPECT_EQ(text, events[i - 1]);
  }
  EXPECT_EQ((std::vector<std::string>{"progress 1", "initialized", "position 0", "cached 0"}),
            std::vector<std::string>(events.end() - 4, events.end()));

  // The duration is corrected to the last frame reached.
  EXPECT_EQ(3'600'000, decoder_->GetDuration());
  EXPECT_TRUE(decoder_->IsInitialized());
  EXPECT_EQ(DecoderState::Ready, VideoDecoderTestAccess::State(*decoder_));
  EXPECT_EQ(0, decoder_->GetCurrentFrameTime());
}

TEST_F(VideoDecoderScan, SixtySecondsAt25fps_PlansStep36sBurst2AndJumpsAcrossTheVideo) {
  Open(ScriptedVideo(1500));
  std::vector<int64_t> expected{0};
  for (int64_t point = 36'000'000; point < 600'000'000; point += 36'000'000) expected.push_back(point);
  expected.push_back(600'000'000);  // the last point is clamped to the duration
  EXPECT_EQ(expected, SeekPositions());
  EXPECT_EQ(expected.size() - 1, log_->Count(mf::ScriptedSourceLog::Kind::Flush)) << "every jump flushes first";
  EXPECT_EQ(599'600'000, decoder_->GetDuration());
  // Frames from all over the video are cached: three per point.
  auto manager = VideoDecoderTestAccess::CacheManager(*decoder_);
  for (int64_t point = 36'000'000; point < 600'000'000; point += 36'000'000) {
    EXPECT_TRUE(manager->IsFrameCached(point + 400'000)) << point;
    EXPECT_TRUE(manager->IsFrameCached(point + 800'000)) << point;
  }
  for (const std::string& e : listener_->Events()) {
    const double progress = e.rfind("progress ", 0) == 0 ? std::stod(e.substr(9)) : 1.0;
    EXPECT_TRUE(progress > 0 && progress <= 1.0) << e;
  }
  EXPECT_EQ(1u, listener_->Count("progress 1"));
}

// Videos that need no scan: the first sample is followed by a flush and a seek to the end.
struct NoScanCase {
  const char* name;
  int frames;
  uint64_t freeBytes;
};

void PrintTo(const NoScanCase& c, std::ostream* out) { *out << c.name; }

class VideoDecoderNoScan : public VideoDecoderScan, public ::testing::WithParamInterface<NoScanCase> {};

TEST_P(VideoDecoderNoScan, JumpsToTheEndAndEndsThere) {
  const NoScanCase& c = GetParam();
  SetDiskFreeSpaceForTesting(c.freeBytes);
  Open(ScriptedVideo(c.frames));
  const int64_t duration = c.frames * 400'000;
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{"seek 0", "read", "flush", "seek " + std::to_string(duration)}),
            std::vector<std::string>(lines.begin(), lines.begin() + 4));
  EXPECT_EQ("read", lines.back());
  EXPECT_EQ((c.frames - 1) * 400'000, decoder_->GetDuration());
  EXPECT_EQ(0u, listener_->Count("error "));
}

constexpr uint64_t kTwoGiB = uint64_t{2} << 30;

// 2 frames: too short to scan; 3 frames: the one cached frame is already enough; a disk a byte
// short of the 1 GiB the storage cache needs: nothing could be cached.
INSTANTIATE_TEST_SUITE_P(Cases, VideoDecoderNoScan,
                         ::testing::Values(NoScanCase{"1Frame", 1, kTwoGiB}, NoScanCase{"2Frames", 2, kTwoGiB},
                                           NoScanCase{"3Frames", 3, kTwoGiB},
                                           NoScanCase{"StorageWithoutSpace", 100, (uint64_t{1} << 30) - 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoDecoderScan, StreamTick_OnlyReadsAgain) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.faults.streamTickBefore = {3};
  Open(script);
  std::vector<std::string> expected{"seek 0"};
  for (const auto& r : Reads(12)) expected.push_back(r);
  EXPECT_EQ(expected, LogLines());
  EXPECT_EQ(0u, listener_->Count("error "));
}

TEST_F(VideoDecoderScan, ReaderError_Failed_NotInitialized_RequestsDoNothing) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.faults.errorAfterFrames = 5;
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("error 1"));
  EXPECT_EQ(DecoderState::Failed, VideoDecoderTestAccess::State(*decoder_));
  EXPECT_FALSE(decoder_->IsInitialized());
  EXPECT_EQ(0u, listener_->Count("initialized"));
  const size_t entries = log_->Entries().size();
  Request(2'000'000);  // does nothing, and does not fail
  EXPECT_EQ(entries, log_->Entries().size());
}

TEST_F(VideoDecoderScan, SamplesWithoutDuration_ScanEndsSoundly) {
  mf::ScriptedSource script = ScriptedVideo(50);
  for (auto& frame : script.frames) frame.duration.reset();
  Open(script);
  EXPECT_TRUE(decoder_->IsInitialized());
  EXPECT_EQ(0u, listener_->Count("error "));
}

// Sources the scan cannot go through: one error 0 and nothing else, not initialized, and what the
// source was asked until Close (which flushes a reader that has one).
struct StopCase {
  const char* name;
  void (*fault)(mf::ScriptedSource&);
  std::vector<std::string> log;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class VideoDecoderScanStop : public VideoDecoderScan, public ::testing::WithParamInterface<StopCase> {};

TEST_P(VideoDecoderScanStop, Initialize_ReportsError0AndStops) {
  mf::ScriptedSource script = ScriptedVideo(10);
  GetParam().fault(script);
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("error 0"));
  decoder_->Close();
  EXPECT_EQ(GetParam().log, LogLines());
  EXPECT_FALSE(decoder_->IsInitialized());
  std::vector<std::string> events = listener_->Events();
  std::erase_if(events, [](const std::string& e) { return e.rfind("progress ", 0) == 0; });
  EXPECT_EQ(std::vector<std::string>{"error 0"}, events);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, VideoDecoderScanStop,
    ::testing::Values(
        StopCase{"ReadWithoutAnyFlag", [](mf::ScriptedSource& s) { s.faults.nothingBefore = {3}; },
                 {"seek 0", "read", "read", "read", "read", "flush"}},
        StopCase{"NoDurationAttribute", [](mf::ScriptedSource& s) { s.info.duration.reset(); }, {"flush"}},
        // One flush for the failed seek, one for Close: no flush loop.
        StopCase{"SeekToStartRefused", [](mf::ScriptedSource& s) { s.faults.refuseAllSeeks = true; },
                 {"seek 0", "flush", "seek 0", "flush"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::test
