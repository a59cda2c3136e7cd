// Closing, reopening and destroying a decoder while the reader is still busy with it.
#include "DecoderTestSupport.h"

#include "cache/CacheTestSupport.h"
#include "platform/mf/Mferror.h"
#include "support/TestMedia.h"

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

namespace korvane::test {
namespace {

// Passes every notification on to a recording listener, and says when it is destroyed: the
// decoder holding it is gone then.
class ForwardingListener final : public IVideoDecoderListener {
 public:
  ForwardingListener(std::shared_ptr<RecordingListener> to, std::promise<void> gone)
      : to_(std::move(to)), gone_(std::move(gone)) {}
  ~ForwardingListener() { gone_.set_value(); }
  void OnInitializationProgressChanged(double progress) override { to_->OnInitializationProgressChanged(progress); }
  void OnDecoderInitialized() override { to_->OnDecoderInitialized(); }
  void OnPositionHasChanged(int64_t position) override { to_->OnPositionHasChanged(position); }
  void OnFrameCached(int64_t position) override { to_->OnFrameCached(position); }
  void OnCachingCompleted(int64_t start, int64_t end) override { to_->OnCachingCompleted(start, end); }
  void OnError(int32_t code) override { to_->OnError(code); }

 private:
  std::shared_ptr<RecordingListener> to_;
  std::promise<void> gone_;
};

class VideoDecoderLifetime : public DecoderFixture {
 protected:
  // A 12 s scripted video whose reads pass `gate_` and fail from the moment `failReads_` is set.
  mf::ScriptedSource GatedVideo() {
    mf::ScriptedSource script = ScriptedVideo(300, 400'000, 10);
    script.beforeRead = [gate = gate_, listener = listener_] {
      gate->Pass();
      // Lets the request that holds the decoder's Lock go on only once this read is on its way
      // to the decoder.
      listener->ReleaseHold();
    };
    script.faults.errorNow = [fail = failReads_] { return fail->load(); };
    return script;
  }

  // Loads and initializes a video whose scan caches frames 0 to 2, then a read ends without
  // anything and the scan stops there with error 0. Frame 0 goes to disk (the scan's position is
  // not set yet when it arrives), frames 1 and 2 stay in memory (within 0.1 s of the start).
  void OpenUntilTheScanStopsAfterFrameTwo(size_t stopsSoFar = 0) {
    mf::ScriptedSource script = ScriptedVideo(100);
    script.faults.nothingBefore = {3};
    ASSERT_TRUE(Load(Scripted(script).Get()));
    decoder_->Initialize(Platform::String(cache_.Path()));
    ASSERT_TRUE(listener_->WaitForCount("error 0", stopsSoFar + 1));
  }

  std::shared_ptr<ReadGate> gate_ = std::make_shared<ReadGate>();
  std::shared_ptr<std::atomic<bool>> failReads_ = std::make_shared<std::atomic<bool>>(false);
};

// The reader's error arrives while Close waits for the decoder's Lock: the error callback has
// already looked at the decoder, Close takes the Lock first. Close must still return. Each round
// arranges that order as far as the threads allow it without a hook inside the decoder.
TEST_F(VideoDecoderLifetime, Close_ReaderErrorArrivesAsCloseBegins_Returns) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    decoder_ = std::make_shared<VideoDecoder>();
    listener_ = std::make_shared<RecordingListener>();
    failReads_->store(false);
    Open(GatedVideo());

    // A request far from the shown frame: it seeks and reads (the read is held at the source),
    // then shows its position, and the listener holds it there with the decoder's Lock taken.
    gate_->Close();
    listener_->HoldNext("position ");
    ComPtr<ABI::Windows::Foundation::IAsyncAction> action = decoder_->SetPositionAsync(6'000'000);
    ASSERT_TRUE(gate_->WaitUntilHeld());
    ASSERT_TRUE(listener_->WaitUntilHolding());

    failReads_->store(true);
    std::promise<void> closing;
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> closedFuture = closed->get_future();
    std::thread closer([&closing, closed, decoder = decoder_] {
      closing.set_value();
      decoder->Close();  // waits for the Lock the request holds
      closed->set_value();
    });
    closing.get_future().wait();
    gate_->Open();  // the read fails; its callback meets the Lock too

    if (closedFuture.wait_for(kWaitBound) != std::future_status::ready) {
      closer.detach();
      new std::shared_ptr<VideoDecoder>(decoder_);  // Close never returns: keep what it uses alive
      FAIL() << "Close did not return";
    }
    closer.join();
    EXPECT_EQ(S_OK, korvane::winrt::WaitForCompletion(action.Get(), kWaitBound));
    EXPECT_EQ(DecoderState::Closed, VideoDecoderTestAccess::State(*decoder_)) << "Closed is final";
  }
}

TEST_F(VideoDecoderLifetime, Reopen_StreamCannotBeOpened_RequestsRefusedAndCloseBalancesEveryStart) {
  while (SUCCEEDED(MFShutdown())) {
  }
  // Each Load starts the media platform once more (the second replaces the first reader).
  ASSERT_TRUE(Load(Scripted(ScriptedVideo(10)).Get()));
  Open(ScriptedVideo(10));
  const int64_t duration = decoder_->GetDuration();
  decoder_->Close();
  decoder_->Close();  // a second Close returns at once
  listener_->Clear();

  EXPECT_FALSE(decoder_->Reopen(FileStream(BadMediaFile(BadMediaKind::Text)).Get(), MFVideoFormat_NV12));
  EXPECT_EQ(std::vector<std::string>{"error 0"}, listener_->Events());
  try {
    decoder_->SetPositionAsync(0);
    ADD_FAILURE() << "a request after the failed Reopen was accepted";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(kNotReady, e.HResult());
  }
  EXPECT_NE(nullptr, decoder_->GetFrame(0).Get()) << "the caches stay";

  decoder_->Close();
  EXPECT_EQ(MF_E_SHUTDOWN, MFShutdown()) << "every start-up was balanced";
  // A later Reopen on a good stream still works, with the times the scan found; not twice.
  EXPECT_TRUE(decoder_->Reopen(Scripted(ScriptedVideo(10)).Get(), MFVideoFormat_NV12));
  EXPECT_EQ(duration, decoder_->GetDuration());
  EXPECT_FALSE(decoder_->Reopen(Scripted(ScriptedVideo(10)).Get(), MFVideoFormat_NV12)) << "still open";
  Request(400'000);
  EXPECT_EQ(400'000, decoder_->GetCurrentFrameTime());
}

TEST_F(VideoDecoderLifetime, Initialize_AfterCloseDuringTheScan_OldFramesStayOutOfTheFreshFolder) {
  OpenUntilTheScanStopsAfterFrameTwo();
  decoder_->Close();

  // The video is opened again: the new cache manager wipes the folder, and the old one must not
  // write its memory frames into it afterwards.
  OpenUntilTheScanStopsAfterFrameTwo(1);
  EXPECT_EQ((std::vector<std::string>{"0_400000_0.tmp", "precache.data"}), cache::test::ListFolder(cache_.Path()))
      << "only what the new scan stored, none of the old memory frames 1 and 2";
}

TEST_F(VideoDecoderLifetime, GetPlaceholderTexture_WhileLoadReplacesTheDevice_AlwaysGivesATexture) {
  ComPtr<ID3D11Device> otherDevice;
  ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &otherDevice, nullptr, nullptr));
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> otherGraphics;
  ASSERT_EQ(S_OK, CreateGraphicsDevice(otherDevice.Get(), &otherGraphics));
  ASSERT_TRUE(Load(Scripted(ScriptedVideo(3)).Get()));
  std::atomic<bool> done{false};
  std::thread renderer([&] {
    while (!done) EXPECT_TRUE(decoder_->GetPlaceholderTexture());
  });
  for (int i = 0; i < 20; ++i) {
    auto* graphics = i % 2 == 0 ? otherGraphics.Get() : graphics_.Get();
    EXPECT_TRUE(decoder_->Load(listener_, Scripted(ScriptedVideo(3)).Get(), MFVideoFormat_NV12, graphics));
  }
  done = true;
  renderer.join();
}

// The owner retires the decoder while a request on the thread pool still holds it: the frames in
// memory reach the folder at once, and nothing is written there once Retire has returned, however
// late the decoder goes — the application may be emptying the folder by then.
TEST_F(VideoDecoderLifetime, Retire_WhileARequestStillHoldsTheDecoder_NothingWrittenAfterwards) {
  OpenUntilTheScanStopsAfterFrameTwo();
  std::shared_ptr<VideoDecoder> request = decoder_;
  decoder_->Retire();
  decoder_.reset();
  EXPECT_EQ((std::vector<std::string>{"0_400000_0.tmp", "400000_400000_0.tmp", "800000_400000_0.tmp", "precache.data"}),
            cache::test::ListFolder(cache_.Path()))
      << "the memory frames 1 and 2 are on disk once Retire has returned";
  for (const auto& entry : std::filesystem::directory_iterator(cache_.Path())) std::filesystem::remove(entry.path());
  EXPECT_FALSE(request->Load(listener_, Scripted(ScriptedVideo(3)).Get(), MFVideoFormat_NV12, graphics_.Get()));
  EXPECT_EQ(nullptr, request->GetFrame(0));

  request.reset();
  EXPECT_TRUE(std::filesystem::is_empty(cache_.Path())) << "the last holder wrote to the folder";
}

// The owner lets its last reference go while a reader callback is inside the decoder: letting go
// never waits for the reader's thread, and the decoder goes as soon as that callback is done.
TEST_F(VideoDecoderLifetime, LastReferenceDroppedDuringACallback_ReturnsAtOnceAndTheDecoderGoesAfterIt) {
  std::promise<void> gone;
  std::future<void> goneFuture = gone.get_future();
  auto forwarding = std::make_shared<ForwardingListener>(listener_, std::move(gone));
  ASSERT_TRUE(decoder_->Load(forwarding, Scripted(ScriptedVideo(1500, 400'000, 10)).Get(), MFVideoFormat_NV12,
                             graphics_.Get()));
  forwarding.reset();
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("cached 0"));

  // A frame cached for a request is reported from the reader's thread, with the decoder's Lock
  // held: the listener keeps that callback inside the decoder.
  listener_->HoldNext("cached ");
  Request(20'000'000);
  ASSERT_TRUE(listener_->WaitUntilHolding());

  std::future<void> released =
      std::async(std::launch::async, [decoder = std::move(decoder_)]() mutable { decoder.reset(); });
  const bool returned = released.wait_for(kWaitBound) == std::future_status::ready;
  listener_->ReleaseHold();
  EXPECT_TRUE(returned) << "letting the decoder go waited for the callback";
  EXPECT_EQ(std::future_status::ready, goneFuture.wait_for(kWaitBound)) << "the decoder outlived its callback";
}

}  // namespace
}  // namespace korvane::test
