// Caching around a requested position, through the scripted source.
#include "DecoderTestSupport.h"

#include <atomic>
#include <thread>

namespace korvane::test {
namespace {

class VideoDecoderPositioning : public DecoderFixture {
 protected:
  // 1500 frames of 0.04 s (60 s), a key frame every 10 frames by default. The scan leaves
  // gaps of 3.6 s between the points it caches.
  void OpenVideo(int keyEvery = 10) {
    mf::ScriptedSource script = ScriptedVideo(1500, 400'000, keyEvery);
    script.beforeRead = [gate = gate_] { gate->Pass(); };
    Open(script);
  }
  int CursorFrameValue() { return FirstByteAt(decoder_->GetCurrentFrameTime()); }

  std::shared_ptr<ReadGate> gate_ = std::make_shared<ReadGate>();
};

TEST_F(VideoDecoderPositioning, Request_CachesTheWindowAndShowsTheFrame_ARepeatOnlyCompletes) {
  OpenVideo();
  EXPECT_FALSE(decoder_->HasPreviousFrame());
  EXPECT_TRUE(decoder_->HasNextFrame());
  listener_->Clear();
  RequestAndWait(2'000'000);  // frame 5
  EXPECT_EQ(5, CursorFrameValue()) << "frame 5 is shown";
  EXPECT_EQ(2'000'000, decoder_->GetCurrentFrameTime());
  // The shown frame is reported (as its middle) each time a caching step finds it shown.
  EXPECT_GE(listener_->Count("position 2200000"), 1u);
  EXPECT_EQ(listener_->Count("position "), listener_->Count("position 2200000"));
  // Every frame within 0.1 s on either side is cached.
  auto manager = VideoDecoderTestAccess::CacheManager(*decoder_);
  for (int64_t t = 1'200'000; t <= 2'800'000; t += 400'000) EXPECT_TRUE(manager->IsFrameCached(t)) << t;
  EXPECT_EQ(DecoderState::Ready, VideoDecoderTestAccess::State(*decoder_));
  EXPECT_TRUE(decoder_->HasPreviousFrame());
  EXPECT_EQ(1'600'000, decoder_->GetPreviousFrameTime(2'000'000));
  EXPECT_EQ(2'400'000, decoder_->GetNextFrameTime(2'000'000));
  EXPECT_EQ(400'000, decoder_->GetCurrentFrameDuration());
  EXPECT_EQ(400'000, decoder_->GetFrameDuration(2'000'000));

  listener_->Clear();
  log_->Clear();
  RequestAndWait(2'000'000);
  const std::vector<std::string> events = listener_->Events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(0u, events[0].rfind("completed ", 0));
  EXPECT_TRUE(log_->Entries().empty()) << "no read";
}

TEST_F(VideoDecoderPositioning, RequestsAtTheEdges_ClampedToTheVideoAndTheWindowCutAtTheFirstSample) {
  OpenVideo();
  RequestAndWait(-5'000'000);
  EXPECT_EQ(0, decoder_->GetCurrentFrameTime());
  RequestAndWait(1'000'000'000'000);
  EXPECT_EQ(decoder_->GetDuration(), decoder_->GetCurrentFrameTime());
  EXPECT_EQ(1499 % 256, CursorFrameValue());
  listener_->Clear();
  RequestAndWait(400'000);
  const std::vector<std::string> events = listener_->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(0u, events.back().rfind("completed 0 ", 0)) << events.back();
}

TEST_F(VideoDecoderPositioning, RequestsWhileAReadIsOutstanding_OnlyTheLastIsServed) {
  OpenVideo();
  listener_->Clear();
  gate_->Close();
  Request(100'000'000);  // a jump: the read after the seek is held
  ASSERT_TRUE(gate_->WaitUntilHeld());
  log_->Clear();
  Request(150'000'000);  // parked
  Request(200'000'000);  // replaces the parked request
  EXPECT_EQ(DecoderState::CachingJump, VideoDecoderTestAccess::State(*decoder_));
  gate_->Open();
  ASSERT_TRUE(listener_->WaitFor("position 200200000"));
  ASSERT_TRUE(listener_->WaitFor("completed "));
  EXPECT_EQ(200'000'000, decoder_->GetCurrentFrameTime());
  EXPECT_EQ(500 % 256, CursorFrameValue()) << "frame 500 is shown";
  for (const auto& e : log_->Entries()) {
    if (e.kind == mf::ScriptedSourceLog::Kind::Seek) {
      EXPECT_NE(e.position / 10'000'000, 15) << "15 s never sought";
    }
  }
  EXPECT_EQ(0u, listener_->Count("position 150200000"));
}

TEST_F(VideoDecoderPositioning, RequestJustAheadOfTheReader_ReadsOnBeforeAnyJump) {
  OpenVideo();
  RequestAndWait(20'000'000);  // the scan cached nothing here: this one jumps
  log_->Clear();
  RequestAndWait(21'200'000);
  // The missing part after the position lies within 1 s of the reader: it reads on. (The part
  // before may still jump: the frames behind the reader are split between memory and disk, and
  // a cached run is measured in one cache at a time.)
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(5, "read"), std::vector<std::string>(lines.begin(), lines.begin() + 5))
      << ::testing::PrintToString(lines);
  EXPECT_EQ(21'200'000, decoder_->GetCurrentFrameTime());
}

TEST_F(VideoDecoderPositioning, GettersAndClose_BeforeAnyLoad) {
  EXPECT_FALSE(decoder_->HasPreviousFrame());
  EXPECT_FALSE(decoder_->HasNextFrame());
  EXPECT_EQ(nullptr, decoder_->GetFrame(0).Get());
  EXPECT_THROW(decoder_->GetDuration(), Platform::Exception);
  decoder_->Close();
  EXPECT_EQ(DecoderState::Closed, VideoDecoderTestAccess::State(*decoder_));
  EXPECT_THROW(decoder_->SetPositionAsync(0), Platform::Exception);
}

TEST_F(VideoDecoderPositioning, GetFrame_HeldWhileThePositionMovesFarAway_PixelsNeverChange) {
  OpenVideo();
  RequestAndWait(2'000'000);
  ComPtr<ID3D11Texture2D> held = decoder_->GetFrame(2'000'000);
  ASSERT_TRUE(held);
  const std::vector<uint8_t> before = ReadTexture(device_.Get(), held.Get()).bytes;
  ASSERT_EQ(5, before.at(0));
  // Each request evicts what the previous one cached and decodes new frames into pooled textures.
  for (int64_t position : {20'000'000, 40'000'000, 10'000'000, 30'000'000}) RequestAndWait(position);
  EXPECT_EQ(before, ReadTexture(device_.Get(), held.Get()).bytes);
}

TEST_F(VideoDecoderPositioning, Placeholder_IsOneGreyTextureEvenWhenRacedFor) {
  OpenVideo();
  std::vector<ComPtr<ID3D11Texture2D>> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results) threads.emplace_back([&] { result = decoder_->GetPlaceholderTexture(); });
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(results[0].Get(), result.Get());
  D3D11_TEXTURE2D_DESC desc;
  results[0]->GetDesc(&desc);
  EXPECT_EQ(2u, desc.Width);
  EXPECT_EQ(DXGI_FORMAT_NV12, desc.Format);
  EXPECT_EQ(0x7F, ReadTexture(device_.Get(), results[0].Get()).bytes.at(0));
}

TEST_F(VideoDecoderPositioning, RequestDuringTheScan_FailsTheActionWith668Only) {
  mf::ScriptedSource script = ScriptedVideo(100);
  script.beforeRead = [gate = gate_] { gate->Pass(); };
  ASSERT_TRUE(Load(Scripted(script).Get()));
  gate_->Close();
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(gate_->WaitUntilHeld());  // the scan's first read is outstanding
  ComPtr<ABI::Windows::Foundation::IAsyncAction> action = decoder_->SetPositionAsync(2'000'000);
  EXPECT_EQ(kNotReady, korvane::winrt::WaitForCompletion(action.Get(), kWaitBound));
  gate_->Open();
  ASSERT_TRUE(listener_->WaitFor("cached 0"));
  action = decoder_->SetPositionAsync(2'000'000);
  EXPECT_EQ(S_OK, korvane::winrt::WaitForCompletion(action.Get(), kWaitBound));
}

}  // namespace
}  // namespace korvane::test
