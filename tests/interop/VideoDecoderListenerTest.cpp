// VideoDecoderInterop::VideoDecoderListener, driven as the decoder drives it, observed through
// the interop's events.
#include "InteropTestSupport.h"

#include "interop/VideoDecoderListener.h"

#include <algorithm>
#include <limits>

namespace korvane::test {
namespace {

using Listener = VideoDecoderInterop::VideoDecoderListener;

class VideoDecoderListenerTest : public InteropFixture {
 protected:
  void SetUp() override {
    InteropFixture::SetUp();
    ComPtr<IWeakReference> weak;
    ASSERT_EQ(S_OK, interop_->GetWeakReference(&weak));
    listener_ = std::make_shared<Listener>(weak);
  }
  void TearDown() override {
    listener_.reset();
    InteropFixture::TearDown();
  }
  std::shared_ptr<Listener> listener_;
};

TEST_F(VideoDecoderListenerTest, Progress_RoundedToFortiethsAndRaisedOnlyWhenItGrows) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<std::vector<double>, std::vector<double>>> cases{
      {{0.10, 0.11, 0.12, 0.125}, {0.1, 0.125}},
      {{0.5, 0.3, 0.49}, {0.5}},
      {{1.0, 1.0}, {1.0}},
      {{nan, inf, -inf, 1e300, -0.5, 0.0}, {}},  // not progress
      {{0.51, 0.52}, {0.5, 0.525}},
  };
  for (const auto& [reported, raised] : cases) {
    const size_t before = log_.Size();
    listener_->ResetProgress();
    for (double p : reported) listener_->OnInitializationProgressChanged(p);
    std::vector<double> values;
    for (const RaisedEvent& e : log_.Events()) {
      EXPECT_EQ(std::this_thread::get_id(), e.thread) << "raised on the reporting thread";
      values.push_back(e.progress);
    }
    EXPECT_EQ(raised, std::vector<double>(values.begin() + static_cast<std::ptrdiff_t>(before), values.end()))
        << ::testing::PrintToString(reported);
  }
}

TEST_F(VideoDecoderListenerTest, Queued_HeldUntilDecoderInitializedThenNewestOnly_ErrorsEach) {
  // A slow first DecoderInitialized handler gives workers that ignored the hold time to raise
  // before the event is recorded.
  ComPtr<VideoDecoderInterop> interop = MakeRuntimeObject<VideoDecoderInterop>();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop->add_DecoderInitialized(Callback<ABI::Korvane::Native::DecoderInitialized>([] {
                                                    for (int i = 0; i < 20'000; ++i) std::this_thread::yield();
                                                  }).Get(),
                                                  &token));
  EventLog log;
  log.Attach(interop.Get());
  ComPtr<IWeakReference> weak;
  ASSERT_EQ(S_OK, interop->GetWeakReference(&weak));
  auto listener = std::make_shared<Listener>(weak);

  listener->OnPositionHasChanged(-1);
  listener->OnPositionHasChanged(5'000'000);
  listener->OnCachingCompleted(0, -1);
  listener->OnFrameCached(-1);
  listener->OnDecoderInitialized();
  ASSERT_TRUE(log.WaitFor("position"));
  listener->OnCachingCompleted(0, 10'000'000);
  ASSERT_TRUE(log.WaitFor("completed"));
  EXPECT_EQ((std::vector<std::string>{"initialized", "position 5000000", "completed 0 10000000"}), log.Lines());

  // Errors are never coalesced, and never raised on the reporting thread (the decoder's).
  const size_t mark = log.Size();
  listener->OnError(1);
  listener->OnError(0);
  for (int64_t code : {0, 1})
    ASSERT_TRUE(log.WaitFor([&](const RaisedEvent& e) { return e.name == "error" && e.a == code; }, mark)) << code;
  for (const RaisedEvent& e : log.Events()) EXPECT_NE(std::this_thread::get_id(), e.thread) << e.Text();
  listener.reset();
  EXPECT_EQ(S_OK, interop->Close());
}

TEST_F(VideoDecoderListenerTest, FrameCached_BurstOfTen_CoalescedNewestLast) {
  listener_->OnDecoderInitialized();
  ASSERT_TRUE(log_.WaitFor("initialized"));
  for (int64_t i = 1; i <= 10; ++i) listener_->OnFrameCached(i * 100'000);
  ASSERT_TRUE(log_.WaitFor([](const RaisedEvent& e) { return e.name == "cached" && e.a == 1'000'000; }));
  std::vector<int64_t> times;
  for (const RaisedEvent& e : log_.Events())
    if (e.name == "cached") times.push_back(e.a);
  ASSERT_LE(times.size(), 10u);
  EXPECT_EQ(1'000'000, times.back());
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "older values never follow newer ones";
}

TEST_F(VideoDecoderListenerTest, OwnerClosedOrGone_ReportsRaiseNothing) {
  listener_->OnDecoderInitialized();
  ASSERT_TRUE(log_.WaitFor("initialized"));
  ASSERT_EQ(S_OK, interop_->Close());
  listener_->OnInitializationProgressChanged(0.5);
  listener_->OnPositionHasChanged(1);
  const size_t seen = log_.Size();
  interop_.Reset();  // only the workers hold it now
  listener_->OnInitializationProgressChanged(0.9);
  listener_->OnError(1);
  listener_.reset();  // stops the workers; they still held the interop
  EXPECT_EQ(seen, log_.Size()) << ::testing::PrintToString(log_.Lines());
}

TEST_F(VideoDecoderListenerTest, Destruction_WaitsForARaiseInProgress) {
  struct Shared {
    Counter entered;
    std::atomic<bool> destroying{false}, finished{false};
  };
  auto shared = std::make_shared<Shared>();
  log_.SetHook([shared](const RaisedEvent& e) {
    if (e.name != "position") return;
    shared->entered.Add();
    // Holds the raise until destruction has begun, and a while longer, so that a destructor
    // that does not wait returns first.
    while (!shared->destroying) std::this_thread::yield();
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();
    shared->finished = true;
  });
  listener_->OnDecoderInitialized();
  listener_->OnPositionHasChanged(7);
  ASSERT_TRUE(shared->entered.WaitBeyond());
  shared->destroying = true;
  listener_.reset();
  EXPECT_TRUE(shared->finished) << "the destructor returned while a worker was still raising";
}

TEST_F(VideoDecoderListenerTest, Destruction_OnItsOwnWorkerThread_DoesNotWaitForItself) {
  struct Shared {
    Counter destroyed;
    std::shared_ptr<Listener> held;
  };
  auto shared = std::make_shared<Shared>();
  shared->held = std::move(listener_);
  Listener* listener = shared->held.get();
  log_.SetHook([shared](const RaisedEvent& e) {
    if (e.name != "position") return;
    shared->held.reset();  // the last owner lets go from inside the worker's raise
    shared->destroyed.Add();
  });
  listener->OnDecoderInitialized();
  listener->OnPositionHasChanged(3);
  EXPECT_TRUE(shared->destroyed.WaitBeyond());
}

}  // namespace
}  // namespace korvane::test
