// VideoDecoderInterop through its public interface, on scripted videos (frame i shows luma i).
#include "InteropTestSupport.h"

#include "platform/winrt/Callback.h"

#include <chrono>
#include <cmath>

#include "support/TestMedia.h"

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

constexpr int64_t kFrame = 400'000;

class VideoDecoderInteropTest : public InteropFixture {};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "; ";
  return text;
}

// Records every position the interop asks for through its own virtual put_Position.
class TargetRecorder final : public VideoDecoderInterop {
 public:
  HRESULT put_Position(int64_t value) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(value);
    }
    return VideoDecoderInterop::put_Position(value);
  }
  std::vector<int64_t> Targets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }

 private:
  std::mutex mutex_;
  std::vector<int64_t> targets_;
};

struct FreshCall {
  const char* name;
  std::function<HRESULT(IVideoDecoderInterop*)> call;
  HRESULT expected;
};

TEST_F(VideoDecoderInteropTest, FreshObject_NeedsAVideo) {
  int64_t i64 = 0;
  UINT32 u32 = 0;
  const std::vector<FreshCall> calls{
      {"Duration", [&](IVideoDecoderInterop* x) { return x->get_Duration(&i64); }, kNotReady},
      {"Position", [&](IVideoDecoderInterop* x) { return x->get_Position(&i64); }, kNotReady},
      {"FrameWidth", [&](IVideoDecoderInterop* x) { return x->get_FrameWidth(&u32); }, kNotReady},
      {"FrameHeight", [&](IVideoDecoderInterop* x) { return x->get_FrameHeight(&u32); }, kNotReady},
      {"Rotation", [&](IVideoDecoderInterop* x) { return x->get_Rotation(&u32); }, kNotReady},
      {"ResolutionDivisor", [&](IVideoDecoderInterop* x) { return x->get_ResolutionDivisor(&u32); }, kNotReady},
      {"put_ResolutionDivisor", [&](IVideoDecoderInterop* x) { return x->put_ResolutionDivisor(2); }, kNotReady},
      {"GetFrameDuration", [&](IVideoDecoderInterop* x) { return x->GetFrameDuration(0, &i64); }, kNotReady},
      {"GetPreviousFrameTime", [&](IVideoDecoderInterop* x) { return x->GetPreviousFrameTime(0, &i64); }, kNotReady},
      {"GetNextFrameTime", [&](IVideoDecoderInterop* x) { return x->GetNextFrameTime(0, &i64); }, kNotReady},
      {"GetPlaceholderTexture", [&](IVideoDecoderInterop* x) { return x->GetPlaceholderTexture(&i64); }, kNotReady},
      {"MoveNext", [](IVideoDecoderInterop* x) { return x->MoveNext(); }, E_BOUNDS},
      {"MovePrevious", [](IVideoDecoderInterop* x) { return x->MovePrevious(); }, E_BOUNDS},
      // The move itself runs later and fails quietly; the put only starts it.
      {"put_Position", [](IVideoDecoderInterop* x) { return x->put_Position(0); }, S_OK},
      {"CloseStream", [](IVideoDecoderInterop* x) { return x->CloseStream(); }, S_OK},
      {"Open without a device", [](IVideoDecoderInterop* x) { return x->Open(nullptr, nullptr, nullptr); }, kNotReady},
  };
  for (const FreshCall& c : calls) {
    ComPtr<VideoDecoderInterop> fresh = MakeRuntimeObject<VideoDecoderInterop>();
    EXPECT_EQ(c.expected, c.call(fresh.Get())) << c.name;
    EXPECT_EQ(S_OK, fresh->Close());
  }

  boolean flag = true;
  EXPECT_EQ(S_OK, interop_->get_IsInitialized(&flag));
  EXPECT_FALSE(flag);
  flag = true;
  EXPECT_EQ(S_OK, interop_->get_HasPreviousFrame(&flag));
  EXPECT_FALSE(flag);
  flag = true;
  EXPECT_EQ(S_OK, interop_->get_HasNextFrame(&flag));
  EXPECT_FALSE(flag);
  i64 = 1;
  EXPECT_EQ(S_OK, interop_->GetFrameTexture(0, &i64));
  EXPECT_EQ(0, i64);
  ComPtr<__IVideoDecoderInteropProtectedVirtuals> overridable;
  ASSERT_EQ(S_OK, interop_.As(&overridable));
  int32_t format = 0;
  EXPECT_EQ(S_OK, overridable->GetOutputFormat(&format));
  EXPECT_EQ(2, format);
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  EXPECT_EQ(S_OK, interop_.As(&closable));
  ComPtr<__IVideoDecoderInteropPublicNonVirtuals> nonVirtuals;
  EXPECT_EQ(S_OK, interop_.As(&nonVirtuals));
  EXPECT_EQ(kVideoDecoderInteropClassName, RuntimeClassName(static_cast<IVideoDecoderInterop*>(interop_.Get())));
}

TEST_F(VideoDecoderInteropTest, Open_EventsInOrderAndGettersAnswer) {
  OpenAndWait(ScriptedVideo(30));
  const std::vector<RaisedEvent> events = log_.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ("loaded", events[0].name);
  EXPECT_EQ(std::this_thread::get_id(), events[0].thread) << "DecoderLoaded is raised on the thread calling Open";

  std::vector<double> progress;
  bool initialized = false;
  for (const RaisedEvent& e : events) {
    if (e.name == "progress") {
      EXPECT_FALSE(initialized) << "progress after DecoderInitialized";
      progress.push_back(e.progress);
    } else if (e.name == "initialized") {
      initialized = true;
    } else if (e.name != "loaded") {
      EXPECT_TRUE(initialized) << e.Text() << " before DecoderInitialized";
    }
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(1.0, progress.back());
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(progress[i] * 40.0, std::round(progress[i] * 40.0)) << "steps of 1/40: " << progress[i];
    if (i > 0) {
      EXPECT_GT(progress[i], progress[i - 1]);
    }
  }

  boolean flag = false;
  EXPECT_EQ(S_OK, interop_->get_IsInitialized(&flag));
  EXPECT_TRUE(flag);
  int64_t duration = 0;
  EXPECT_EQ(S_OK, interop_->get_Duration(&duration));
  EXPECT_GE(duration, 29 * kFrame);
  EXPECT_LE(duration, 30 * kFrame);
  UINT32 width = 0, height = 0, rotation = 1, divisor = 0;
  EXPECT_EQ(S_OK, interop_->get_FrameWidth(&width));
  EXPECT_EQ(S_OK, interop_->get_FrameHeight(&height));
  EXPECT_EQ(S_OK, interop_->get_Rotation(&rotation));
  EXPECT_EQ(S_OK, interop_->get_ResolutionDivisor(&divisor));
  EXPECT_EQ(64u, width);
  EXPECT_EQ(48u, height);
  EXPECT_EQ(0u, rotation);
  EXPECT_EQ(1u, divisor);
  EXPECT_EQ(0, Position());
  int64_t value = 0;
  EXPECT_EQ(S_OK, interop_->GetFrameDuration(kFrame, &value));
  EXPECT_EQ(kFrame, value);
  EXPECT_EQ(S_OK, interop_->GetNextFrameTime(kFrame, &value));
  EXPECT_EQ(2 * kFrame, value);
  EXPECT_EQ(S_OK, interop_->GetPreviousFrameTime(kFrame, &value));
  EXPECT_EQ(0, value);
  EXPECT_EQ(0, ScriptedValueAt(kFrame / 2));
  EXPECT_EQ(0u, log_.Count("error"));
}

TEST_F(VideoDecoderInteropTest, Open_NotAVideoIsReportedAndNotADeviceRefused) {
  // Not a video: the decoder reports it; Open itself succeeds and nothing else is raised.
  const Platform::String folder(cache_.Path());
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> notAVideo;
  ASSERT_EQ(S_OK, CreateRandomAccessStreamOnFile(BadMediaFile(BadMediaKind::Text).c_str(), FileAccessMode_Read,
                                                 IID_PPV_ARGS(&notAVideo)));
  EXPECT_EQ(S_OK, interop_->Open(notAVideo.Get(), folder.Get(), graphics_.Get()));
  ASSERT_TRUE(log_.WaitFor("error"));
  EXPECT_EQ(std::vector<std::string>{"error 0"}, log_.Lines());

  // A device object that is not a graphics device is refused with the cast error.
  ComPtr<IVideoDecoderIterator> notADevice = CreateIterator();
  EXPECT_EQ(E_NOINTERFACE, interop_->Open(ScriptedStream(ScriptedVideo(3)).Get(), folder.Get(), notADevice.Get()));
}

// Each row: frame durations; the frame to step from; the targets MoveNext and MovePrevious must
// ask for; the frames they must land on.
struct TargetCase {
  const char* name;
  std::vector<int64_t> durations;
  size_t from;
  int64_t nextTarget;
  int64_t previousTarget;
};

void PrintTo(const TargetCase& c, std::ostream* out) { *out << c.name; }

class MoveTargets : public InteropFixture, public ::testing::WithParamInterface<TargetCase> {
 protected:
  ComPtr<VideoDecoderInterop> MakeInterop() override {
    recorder_ = MakeRuntimeObject<TargetRecorder>();
    return recorder_;
  }
  ComPtr<TargetRecorder> recorder_;
};

TEST_P(MoveTargets, Move_AimsInsideTheNeighbourAndLandsOnIt) {
  const TargetCase& c = GetParam();
  TargetRecorder* recorder = recorder_.Get();
  OpenAndWait(ScriptedVideoWithDurations(c.durations));

  std::vector<int64_t> starts{0};
  for (int64_t d : c.durations) starts.push_back(starts.back() + d);
  auto goTo = [&](size_t frame) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, interop_->put_Position(starts[frame] + c.durations[frame] / 2));
    ASSERT_TRUE(log_.WaitForPositionIn(starts[frame], starts[frame + 1], mark));
    ASSERT_EQ(starts[frame], Position());
  };

  goTo(c.from);
  size_t mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->MoveNext());
  EXPECT_EQ(c.nextTarget, recorder->Targets().back());
  ASSERT_TRUE(log_.WaitForPositionIn(starts[c.from + 1], starts[c.from + 2], mark));
  EXPECT_EQ(starts[c.from + 1], Position());

  goTo(c.from);
  mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->MovePrevious());
  EXPECT_EQ(c.previousTarget, recorder->Targets().back());
  ASSERT_TRUE(log_.WaitForPositionIn(starts[c.from - 1], starts[c.from], mark));
  EXPECT_EQ(starts[c.from - 1], Position());
}

std::vector<int64_t> Repeat(std::vector<int64_t> head, int64_t each, size_t total) {
  head.resize(total, each);
  return head;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveTargets,
    ::testing::Values(
        // t = 1,000,000, d = 400,000: t + 3d/2 and t − d/2.
        TargetCase{"Even", Repeat({600'000, 400'000, 400'000, 400'000}, 400'000, 20), 2, 1'600'000, 800'000},
        // d = 333,333: integer halves truncate.
        TargetCase{"OddDuration", Repeat({333'333, 333'334, 333'333, 333'333, 333'333}, 333'333, 20), 3, 1'499'999,
                   833'334},
        // Neighbours shorter than half the current frame: t + 3d/2 (1,100,000) and t − d/2 (300,000)
        // would skip them; the targets are their middles.
        TargetCase{"ShortNeighbours", Repeat({400'000, 100'000, 400'000, 100'000, 400'000}, 400'000, 20), 2, 950'000,
                   450'000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoDecoderInteropTest, Move_VariableFrameRate_EveryFrameOnceEachWay) {
  // Spacings of 5 to 100 ms in an irregular order, as a screen capture's.
  const int64_t pattern[] = {400'000, 50'000, 1'000'000, 100'000, 300'000, 60'000, 800'000, 200'000, 70'000};
  std::vector<int64_t> durations;
  for (int i = 0; i < 45; ++i) durations.push_back(pattern[i % 9]);
  OpenAndWait(ScriptedVideoWithDurations(durations));
  std::vector<int64_t> starts{0};
  for (int64_t d : durations) starts.push_back(starts.back() + d);

  const size_t last = durations.size() - 1;
  // Steps, then waits until the frame is shown and the span around it is decoded: a neighbour
  // not decoded yet next to a decoded one further away would pass for adjacent.
  auto step = [&](bool forward, size_t frame) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, forward ? interop_->MoveNext() : interop_->MovePrevious()) << "to frame " << frame;
    ASSERT_TRUE(log_.WaitForPositionIn(starts[frame], starts[frame + 1], mark))
        << "frame " << frame << "\n" << Joined(log_.Lines());
    ASSERT_EQ(starts[frame], Position());
    ASSERT_EQ(static_cast<int>(frame), ScriptedValueAt(starts[frame]));
    const int64_t from = frame == 0 ? 0 : starts[frame] - 1;
    const int64_t to = std::min(starts[frame + 1], starts[last]);
    ASSERT_TRUE(log_.WaitFor([&](const RaisedEvent& e) { return e.name == "completed" && e.a <= from && e.b >= to; },
                             mark));
  };
  for (size_t frame = 1; frame <= last; ++frame) ASSERT_NO_FATAL_FAILURE(step(true, frame));
  EXPECT_EQ(E_BOUNDS, interop_->MoveNext());
  for (size_t frame = last; frame-- > 0;) ASSERT_NO_FATAL_FAILURE(step(false, frame));
  EXPECT_EQ(E_BOUNDS, interop_->MovePrevious());
}

TEST_F(VideoDecoderInteropTest, Move_AtEitherEnd_BoundsAndNothingChanges) {
  OpenAndWait(ScriptedVideo(12));
  ComPtr<IVideoDecoderIterator> here = CreateIterator();
  ComPtr<IVideoDecoderIterator> ahead = CreateIterator();
  ASSERT_EQ(S_OK, ahead->SetOffset(1));
  auto offsets = [&] {
    int32_t a = 99, b = 99;
    EXPECT_EQ(S_OK, here->get_Offset(&a));
    EXPECT_EQ(S_OK, ahead->get_Offset(&b));
    return std::vector<int32_t>{a, b};
  };

  EXPECT_EQ(E_BOUNDS, interop_->MovePrevious());
  EXPECT_EQ(0, Position());
  EXPECT_EQ((std::vector<int32_t>{0, 1}), offsets());

  ASSERT_EQ(S_OK, interop_->put_Position(11 * kFrame + kFrame / 2));
  ASSERT_TRUE(log_.WaitForPositionIn(11 * kFrame, 12 * kFrame));
  boolean hasNext = true;
  EXPECT_EQ(S_OK, interop_->get_HasNextFrame(&hasNext));
  EXPECT_FALSE(hasNext);
  EXPECT_EQ(E_BOUNDS, interop_->MoveNext());
  EXPECT_EQ(11 * kFrame, Position());
  EXPECT_EQ((std::vector<int32_t>{0, 1}), offsets());
}

TEST_F(VideoDecoderInteropTest, MoveNext_TwentyTimes_IteratorAtZeroKeepsItsFrameUntilReset) {
  OpenAndWait(ScriptedVideo(40));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  ASSERT_EQ(0, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
  for (int step = 1; step <= 20; ++step) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, interop_->MoveNext());
    ASSERT_TRUE(log_.WaitForPositionIn(step * kFrame, (step + 1) * kFrame, mark)) << "step " << step;
  }
  int32_t offset = 0;
  EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
  EXPECT_EQ(-20, offset);
  EXPECT_EQ(0, ScriptedValue(IteratorTexture(iterator.Get()).Get()));

  ASSERT_EQ(S_OK, iterator->Reset());
  EXPECT_EQ(20, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
}

TEST_F(VideoDecoderInteropTest, CloseStream_KeepsFramesRefusesMovesUntilReopened) {
  ComPtr<ClosableScriptedStream> first = ScriptedStream(ScriptedVideo(20));
  OpenAndWait(first.Get());
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();

  // Still open: a reopen is refused.
  ComPtr<ClosableScriptedStream> second = ScriptedStream(ScriptedVideo(20));
  boolean reopened = true;
  EXPECT_EQ(S_OK, interop_->ReopenStream(second.Get(), &reopened));
  EXPECT_FALSE(reopened);
  ASSERT_TRUE(log_.WaitFor("error"));
  EXPECT_TRUE(first->IsClosed()) << "the held stream is replaced (and closed) before the decoder refuses";

  ASSERT_EQ(S_OK, interop_->CloseStream());
  EXPECT_TRUE(second->IsClosed());
  boolean initialized = false;
  EXPECT_EQ(S_OK, interop_->get_IsInitialized(&initialized));
  EXPECT_TRUE(initialized);
  EXPECT_EQ(1, ScriptedValueAt(kFrame + 1));
  EXPECT_EQ(kNotReady, interop_->put_Position(3 * kFrame));
  EXPECT_EQ(kNotReady, interop_->MoveNext());
  int32_t offset = 9;
  EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
  EXPECT_EQ(0, offset) << "a move that could not start leaves the iterators where they were";

  ComPtr<ClosableScriptedStream> third = ScriptedStream(ScriptedVideo(20));
  EXPECT_EQ(S_OK, interop_->ReopenStream(third.Get(), &reopened));
  EXPECT_TRUE(reopened);
  EXPECT_FALSE(third->IsClosed());
  ASSERT_EQ(S_OK, interop_->put_Position(13 * kFrame + 1));
  ASSERT_TRUE(log_.WaitForPositionIn(13 * kFrame, 14 * kFrame));
  EXPECT_EQ(13, ScriptedValueAt(13 * kFrame + 1));
}

TEST_F(VideoDecoderInteropTest, Open_AfterCloseStream_ReopensWithoutSecondLoaded) {
  OpenAndWait(ScriptedVideo(20));
  ASSERT_EQ(S_OK, interop_->CloseStream());
  ComPtr<ClosableScriptedStream> again = ScriptedStream(ScriptedVideo(20));
  ASSERT_EQ(S_OK, Open(interop_.Get(), again.Get()));
  // The held stream is handed in once more: it stays open and in use.
  ASSERT_EQ(S_OK, Open(interop_.Get(), again.Get()));
  EXPECT_FALSE(again->IsClosed());
  ASSERT_EQ(S_OK, interop_->MoveNext());
  ASSERT_TRUE(log_.WaitForPositionIn(kFrame, 2 * kFrame));
  EXPECT_EQ(1u, log_.Count("loaded"));
  EXPECT_EQ(1u, log_.Count("initialized"));
}

TEST_F(VideoDecoderInteropTest, Close_TwiceThenEveryCallIsDisposed) {
  OpenAndWait(ScriptedVideo(10));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  EXPECT_EQ(S_OK, interop_->Close());
  EXPECT_EQ(S_OK, interop_->Close());

  int64_t i64 = 0;
  UINT32 u32 = 0;
  boolean flag = 0;
  int32_t i32 = 0;
  EventRegistrationToken token{};
  ComPtr<IVideoDecoderIterator> created;
  const std::vector<std::pair<const char*, std::function<HRESULT()>>> calls{
      {"IsInitialized", [&] { return interop_->get_IsInitialized(&flag); }},
      {"Duration", [&] { return interop_->get_Duration(&i64); }},
      {"Position", [&] { return interop_->get_Position(&i64); }},
      {"put_Position", [&] { return interop_->put_Position(0); }},
      {"HasPreviousFrame", [&] { return interop_->get_HasPreviousFrame(&flag); }},
      {"HasNextFrame", [&] { return interop_->get_HasNextFrame(&flag); }},
      {"FrameWidth", [&] { return interop_->get_FrameWidth(&u32); }},
      {"FrameHeight", [&] { return interop_->get_FrameHeight(&u32); }},
      {"Rotation", [&] { return interop_->get_Rotation(&u32); }},
      {"ResolutionDivisor", [&] { return interop_->get_ResolutionDivisor(&u32); }},
      {"put_ResolutionDivisor", [&] { return interop_->put_ResolutionDivisor(2); }},
      {"add_PositionHasChanged",
       [&] { return interop_->add_PositionHasChanged(Callback<PositionHasChanged>([](int64_t) {}).Get(), &token); }},
      {"remove_ErrorOccured", [&] { return interop_->remove_ErrorOccured(token); }},
      {"Open", [&] { return Open(interop_.Get(), nullptr); }},
      {"ReopenStream", [&] { return interop_->ReopenStream(nullptr, &flag); }},
      {"CloseStream", [&] { return interop_->CloseStream(); }},
      {"CreateIterator", [&] { return interop_->CreateIterator(&created); }},
      {"MoveNext", [&] { return interop_->MoveNext(); }},
      {"MovePrevious", [&] { return interop_->MovePrevious(); }},
      {"GetFrameTexture", [&] { return interop_->GetFrameTexture(0, &i64); }},
      {"GetPlaceholderTexture", [&] { return interop_->GetPlaceholderTexture(&i64); }},
      {"GetFrameDuration", [&] { return interop_->GetFrameDuration(0, &i64); }},
      {"GetPreviousFrameTime", [&] { return interop_->GetPreviousFrameTime(0, &i64); }},
      {"GetNextFrameTime", [&] { return interop_->GetNextFrameTime(0, &i64); }},
      {"GetOutputFormat",
       [&] { return static_cast<__IVideoDecoderInteropProtectedVirtuals*>(interop_.Get())->GetOutputFormat(&i32); }},
      {"iterator GetTexture (its owner is gone)", [&] {
         UINT64 texture = 0;
         ComPtr<IVideoDecoder> source;
         iterator.As(&source);
         return source->GetTexture(&texture);
       }}};
  for (const auto& [name, call] : calls) EXPECT_EQ(RO_E_CLOSED, call()) << name;
  EXPECT_EQ(nullptr, created.Get());
}


TEST_F(VideoDecoderInteropTest, Close_DuringTheScanWithIterators_WaitsForHandlersAndNothingFollows) {
  // Long enough that the first pass is still running when Close comes.
  ComPtr<ClosableScriptedStream> stream = ScriptedStream(ScriptedVideo(20'000));
  struct Shared {
    Latch entered;
    std::atomic<bool> handlerDone{false}, closeReturned{false};
    std::atomic<int> lateEvents{0};
  };
  auto shared = std::make_shared<Shared>();
  auto* overridable = static_cast<__IVideoDecoderInteropProtectedVirtuals*>(interop_.Get());
  log_.SetHook([shared, overridable](const RaisedEvent& e) {
    if (shared->closeReturned) ++shared->lateEvents;
    if (e.name != "progress" || shared->entered.IsSet()) return;
    shared->entered.Set();
    // Holds this raise until Close has begun (the object answers RO_E_CLOSED from then on).
    int32_t format = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (overridable->GetOutputFormat(&format) != RO_E_CLOSED && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();
    shared->handlerDone = true;
  });
  ASSERT_EQ(S_OK, Open(interop_.Get(), stream.Get()));
  ComPtr<IVideoDecoderIterator> first = CreateIterator();
  ComPtr<IVideoDecoderIterator> second = CreateIterator();
  ASSERT_EQ(S_OK, second->SetOffset(2));
  ASSERT_TRUE(shared->entered.Wait());

  EXPECT_EQ(S_OK, interop_->Close());
  shared->closeReturned = true;
  EXPECT_TRUE(shared->handlerDone) << "Close returned while a handler was still running";
  EXPECT_EQ(0u, log_.Count("initialized")) << "the scan was meant to be running";
  int32_t offset = 0;
  EXPECT_EQ(S_OK, first->get_Offset(&offset)) << "the owner's iterators are released, not closed";
  first.Reset();
  second.Reset();
  stream.Reset();
  EXPECT_EQ(0, shared->lateEvents.load());
}

TEST_F(VideoDecoderInteropTest, Close_FromAnEventHandler) {
  OpenAndWait(ScriptedVideo(20));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  auto closed = std::make_shared<Latch>();
  VideoDecoderInterop* interop = interop_.Get();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop_->add_CachingCompleted(Callback<CachingCompleted>([closed, interop](int64_t, int64_t) {
                                                   EXPECT_EQ(S_OK, interop->Close());
                                                   closed->Set();
                                                 }).Get(),
                                                 &token));
  ASSERT_EQ(S_OK, interop_->put_Position(5 * kFrame));
  ASSERT_TRUE(closed->Wait());
  boolean flag = 0;
  EXPECT_EQ(RO_E_CLOSED, interop_->get_IsInitialized(&flag));
}

}  // namespace
}  // namespace korvane::test
