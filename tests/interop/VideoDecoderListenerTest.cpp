// VideoDecoderInterop::VideoDecoderListener, driven as the decoder drives it, observed through
// the interop's events.
#include "InteropTestSupport.h"

#include "interop/VideoDecoderListener.h"
#include "platform/winrt/Callback.h"

#include <algorithm>
#include <cmath>
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
  std::vector<double> Progress() const {
    std::vector<double> values;
    for (const RaisedEvent& e : log_.Events())
      if (e.name == "progress") values.push_back(e.progress);
    return values;
  }
  // Starts the workers and waits until DecoderInitialized has been raised.
  void Initialize() {
    listener_->OnDecoderInitialized();
    ASSERT_TRUE(log_.WaitFor("initialized"));
  }

  std::shared_ptr<Listener> listener_;
};

struct ProgressCase {
  const char* name;
  std::vector<double> reported;
  std::vector<double> raised;
};

TEST_F(VideoDecoderListenerTest, Progress_RoundedToFortiethsAndRaisedOnlyWhenItGrows) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<ProgressCase> cases{
      {"rounding", {0.10, 0.11, 0.12, 0.125}, {0.1, 0.125}},
      {"smaller", {0.5, 0.3, 0.49}, {0.5}},
      {"end twice", {1.0, 1.0}, {1.0}},
      {"not progress", {nan, inf, -inf, 1e300, -0.5, 0.0}, {}},
      {"half steps", {0.51, 0.52}, {0.5, 0.525}},
  };
  for (const ProgressCase& c : cases) {
    const size_t before = Progress().size();
    listener_->ResetProgress();
    for (double p : c.reported) listener_->OnInitializationProgressChanged(p);
    const std::vector<double> all = Progress();
    EXPECT_EQ(c.raised, std::vector<double>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end())) << c.name;
  }
  // Raised synchronously, on the reporting thread.
  for (const RaisedEvent& e : log_.Events()) EXPECT_EQ(std::this_thread::get_id(), e.thread);
}

TEST_F(VideoDecoderListenerTest, Queued_HeldUntilDecoderInitializedThenNewestOnly) {
  // A slow first DecoderInitialized handler gives workers that ignored the gate time to raise
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
  listener.reset();
  EXPECT_EQ(S_OK, interop->Close());
}

TEST_F(VideoDecoderListenerTest, FrameCached_BurstOfTen_CoalescedNewestLast) {
  Initialize();
  for (int64_t i = 1; i <= 10; ++i) listener_->OnFrameCached(i * 100'000);
  ASSERT_TRUE(log_.WaitFor([](const RaisedEvent& e) { return e.name == "cached" && e.a == 1'000'000; }));
  std::vector<int64_t> times;
  for (const RaisedEvent& e : log_.Events())
    if (e.name == "cached") times.push_back(e.a);
  ASSERT_GE(times.size(), 1u);
  ASSERT_LE(times.size(), 10u);
  EXPECT_EQ(1'000'000, times.back());
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "older values never follow newer ones";
}

TEST_F(VideoDecoderListenerTest, Error_RaisedOnAPoolThreadEachTime) {
  listener_->OnError(1);
  listener_->OnError(0);
  ASSERT_TRUE(log_.WaitForCount("error", 2));
  std::vector<int64_t> codes;
  for (const RaisedEvent& e : log_.Events()) {
    EXPECT_NE(std::this_thread::get_id(), e.thread);
    codes.push_back(e.a);
  }
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ((std::vector<int64_t>{0, 1}), codes) << "one event per report, none coalesced";
}

TEST_F(VideoDecoderListenerTest, OwnerClosedOrGone_ReportsRaiseNothing) {
  Initialize();
  ASSERT_EQ(S_OK, interop_->Close());
  listener_->OnInitializationProgressChanged(0.5);
  listener_->OnPositionHasChanged(1);
  const size_t seen = log_.Size();
  interop_.Reset();  // only the workers hold it now
  listener_->OnInitializationProgressChanged(0.9);
  listener_->OnError(1);
  listener_.reset();  // stops the workers; they still held the interop
  EXPECT_EQ(seen, log_.Size()) << ::testing::PrintToString(log_.Lines());
  EXPECT_EQ(1u, log_.Count("initialized"));
}

TEST_F(VideoDecoderListenerTest, Destruction_WaitsForARaiseInProgress) {
  struct Shared {
    Latch entered;
    std::atomic<bool> destroying{false}, finished{false};
  };
  auto shared = std::make_shared<Shared>();
  log_.SetHook([shared](const RaisedEvent& e) {
    if (e.name != "position") return;
    shared->entered.Set();
    while (!shared->destroying) std::this_thread::yield();
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();
    shared->finished = true;
  });
  Initialize();
  listener_->OnPositionHasChanged(7);
  ASSERT_TRUE(shared->entered.Wait());
  shared->destroying = true;
  listener_.reset();
  EXPECT_TRUE(shared->finished) << "the destructor returned while a worker was still raising";
}

TEST_F(VideoDecoderListenerTest, Destruction_OnItsOwnWorkerThread_DoesNotWaitForItself) {
  struct Shared {
    Latch destroyed;
    std::shared_ptr<Listener> held;
  };
  auto shared = std::make_shared<Shared>();
  shared->held = std::move(listener_);
  Listener* listener = shared->held.get();
  log_.SetHook([shared](const RaisedEvent& e) {
    if (e.name != "position") return;
    shared->held.reset();  // the last owner lets go from inside the worker's raise
    shared->destroyed.Set();
  });
  listener->OnDecoderInitialized();
  listener->OnPositionHasChanged(3);
  EXPECT_TRUE(shared->destroyed.Wait());
}

}  // namespace
}  // namespace korvane::test
