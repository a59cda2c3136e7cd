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
  EXPECT_EQ(1.0, listener_->Progress().back());

  // The duration is corrected to the last frame reached.
  EXPECT_EQ(3'600'000, decoder_->GetDuration());
  EXPECT_TRUE(decoder_->IsInitialized());
  EXPECT_EQ(DecoderState::Ready, VideoDecoderTestAccess::State(*decoder_));
  EXPECT_EQ(0, decoder_->GetCurrentFrameTime());
}

TEST_F(VideoDecoderScan, SixtySecondsAt25fps_PlansStep36sBurst2AndJumpsAcrossTheVideo) {
  Open(ScriptedVideo(1500));
  EXPECT_EQ(36'000'000, VideoDecoderTestAccess::ScanStep(*decoder_));
  EXPECT_EQ(2, VideoDecoderTestAccess::ScanBurst(*decoder_));
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
  const std::vector<double> progress = listener_->Progress();
  EXPECT_TRUE(std::all_of(progress.begin(), progress.end(), [](double p) { return p > 0 && p <= 1.0; }));
  EXPECT_EQ(1.0, progress.back());
}

// Videos that need no scan: the first sample is followed by a flush and a seek to the end.
class VideoDecoderNoScan : public VideoDecoderScan, public ::testing::WithParamInterface<int> {};

TEST_P(VideoDecoderNoScan, JumpsToTheEndAndEndsThere) {
  const int frames = GetParam();
  Open(ScriptedVideo(frames));
  const int64_t duration = frames * 400'000;
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{"seek 0", "read", "flush", "seek " + std::to_string(duration)}),
            std::vector<std::string>(lines.begin(), lines.begin() + 4));
  EXPECT_EQ("read", lines.back());
  EXPECT_EQ((frames - 1) * 400'000, decoder_->GetDuration());
  EXPECT_EQ(0u, listener_->Count("error "));
}

// 2 frames: too short to scan; 3 frames: the one cached frame is already enough.
INSTANTIATE_TEST_SUITE_P(Short, VideoDecoderNoScan, ::testing::Values(1, 2, 3),
                         [](const auto& info) { return std::to_string(info.param) + "Frames"; });

TEST_F(VideoDecoderScan, StorageWithoutSpace_SkipsTheScan) {
  SetDiskFreeSpaceForTesting((uint64_t{1} << 30) - 1);
  Open(ScriptedVideo(100));
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ("flush", lines[2]);
  EXPECT_EQ("seek 40000000", lines[3]);
  EXPECT_EQ(39'600'000, decoder_->GetDuration());
}

TEST_F(VideoDecoderScan, StreamTick_OnlyReadsAgain) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.faults.streamTickBefore = {3};
  Open(script);
  std::vector<std::string> expected{"seek 0"};
  for (const auto& r : Reads(12)) expected.push_back(r);
  EXPECT_EQ(expected, LogLines());
  EXPECT_EQ(0u, listener_->Count("error "));
}

TEST_F(VideoDecoderScan, ReadWithoutAnyFlag_ReportsError0AndStops) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.faults.nothingBefore = {3};
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("error 0"));
  decoder_->Close();
  std::vector<std::string> expected{"seek 0"};
  for (const auto& r : Reads(4)) expected.push_back(r);
  expected.push_back("flush");
  EXPECT_EQ(expected, LogLines());
  EXPECT_FALSE(decoder_->IsInitialized());
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

TEST_F(VideoDecoderScan, NoDurationAttribute_InitializeReportsError0) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.info.duration.reset();
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  EXPECT_EQ(std::vector<std::string>{"error 0"}, listener_->Events());
  EXPECT_TRUE(log_->Entries().empty()) << "no scan started";
  EXPECT_FALSE(decoder_->IsInitialized());
}

TEST_F(VideoDecoderScan, SamplesWithoutDuration_ScanEndsSoundly) {
  mf::ScriptedSource script = ScriptedVideo(50);
  for (auto& frame : script.frames) frame.duration.reset();
  Open(script);
  EXPECT_TRUE(decoder_->IsInitialized());
  EXPECT_EQ(0u, listener_->Count("error "));
}

TEST_F(VideoDecoderScan, SeekToStartRefused_EndsWithError0AndNoFlushLoop) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.faults.refuseAllSeeks = true;
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("error 0"));
  decoder_->Close();
  EXPECT_EQ((std::vector<std::string>{"seek 0", "flush", "seek 0", "flush"}), LogLines())
      << "one flush for the failed seek, one for Close";
  EXPECT_FALSE(decoder_->IsInitialized());
  EXPECT_EQ(std::vector<std::string>{"error 0"}, listener_->Events());
}

}  // namespace
}  // namespace korvane::test
