// VideoDecoderInterop through its public interface, on scripted videos (frame i shows luma i).
#include "InteropTestSupport.h"

#include <algorithm>
#include <chrono>

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

constexpr int64_t kFrame = 400'000;

class VideoDecoderInteropTest : public InteropFixture {};

// Where the calls below put their results.
struct Out {
  int64_t i64 = 0;
  UINT32 u32 = 0;
  boolean flag = 0;
  int32_t i32 = 0;
  EventRegistrationToken token{};
  ComPtr<IVideoDecoderIterator> iterator;
};
// The public methods, with what each answers on a fresh object; a closed object answers
// RO_E_CLOSED to all of them.
struct Call {
  const char* name;
  HRESULT fresh;
  std::function<HRESULT(VideoDecoderInterop*, Out&)> call;
};
const std::vector<Call> kCalls{
    {"IsInitialized", S_OK, [](auto* x, Out& o) { return x->get_IsInitialized(&o.flag); }},
    {"Duration", kNotReady, [](auto* x, Out& o) { return x->get_Duration(&o.i64); }},
    {"Position", kNotReady, [](auto* x, Out& o) { return x->get_Position(&o.i64); }},
    // The move itself runs later and fails quietly; the put only starts it.
    {"put_Position", S_OK, [](auto* x, Out&) { return x->put_Position(0); }},
    {"HasPreviousFrame", S_OK, [](auto* x, Out& o) { return x->get_HasPreviousFrame(&o.flag); }},
    {"HasNextFrame", S_OK, [](auto* x, Out& o) { return x->get_HasNextFrame(&o.flag); }},
    {"FrameWidth", kNotReady, [](auto* x, Out& o) { return x->get_FrameWidth(&o.u32); }},
    {"FrameHeight", kNotReady, [](auto* x, Out& o) { return x->get_FrameHeight(&o.u32); }},
    {"Rotation", kNotReady, [](auto* x, Out& o) { return x->get_Rotation(&o.u32); }},
    {"ResolutionDivisor", kNotReady, [](auto* x, Out& o) { return x->get_ResolutionDivisor(&o.u32); }},
    {"put_ResolutionDivisor", kNotReady, [](auto* x, Out&) { return x->put_ResolutionDivisor(2); }},
    {"add_PositionHasChanged", S_OK,
     [](auto* x, Out& o) {
       return x->add_PositionHasChanged(Callback<PositionHasChanged>([](int64_t) {}).Get(), &o.token);
     }},
    {"Open without a device", kNotReady, [](auto* x, Out&) { return x->Open(nullptr, nullptr, nullptr); }},
    {"CloseStream", S_OK, [](auto* x, Out&) { return x->CloseStream(); }},
    {"CreateIterator", S_OK, [](auto* x, Out& o) { return x->CreateIterator(&o.iterator); }},
    {"MoveNext", E_BOUNDS, [](auto* x, Out&) { return x->MoveNext(); }},
    {"MovePrevious", E_BOUNDS, [](auto* x, Out&) { return x->MovePrevious(); }},
    {"GetFrameTexture", S_OK, [](auto* x, Out& o) { return x->GetFrameTexture(0, &o.i64); }},
    {"GetPlaceholderTexture", kNotReady, [](auto* x, Out& o) { return x->GetPlaceholderTexture(&o.i64); }},
    {"GetFrameDuration", kNotReady, [](auto* x, Out& o) { return x->GetFrameDuration(0, &o.i64); }},
    {"GetPreviousFrameTime", kNotReady, [](auto* x, Out& o) { return x->GetPreviousFrameTime(0, &o.i64); }},
    {"GetNextFrameTime", kNotReady, [](auto* x, Out& o) { return x->GetNextFrameTime(0, &o.i64); }},
    {"GetOutputFormat", S_OK,
     [](auto* x, Out& o) { return static_cast<__IVideoDecoderInteropProtectedVirtuals*>(x)->GetOutputFormat(&o.i32); }},
};

TEST_F(VideoDecoderInteropTest, FreshObject_NeedsAVideoAndAGraphicsDevice) {
  for (const Call& c : kCalls) {
    ComPtr<VideoDecoderInterop> fresh = MakeRuntimeObject<VideoDecoderInterop>();
    Out out;
    EXPECT_EQ(c.fresh, c.call(fresh.Get(), out)) << c.name;
    EXPECT_EQ(S_OK, fresh->Close()) << c.name;
  }
  // Not initialized, nothing to step through, no frame texture, NV12 output.
  boolean initialized = 1, hasPrevious = 1, hasNext = 1;
  int64_t texture = 1;
  int32_t format = 0;
  EXPECT_EQ(S_OK, interop_->get_IsInitialized(&initialized));
  EXPECT_EQ(S_OK, interop_->get_HasPreviousFrame(&hasPrevious));
  EXPECT_EQ(S_OK, interop_->get_HasNextFrame(&hasNext));
  EXPECT_EQ(S_OK, interop_->GetFrameTexture(0, &texture));
  EXPECT_EQ(S_OK, static_cast<__IVideoDecoderInteropProtectedVirtuals*>(interop_.Get())->GetOutputFormat(&format));
  EXPECT_EQ((std::vector<int64_t>{0, 0, 0, 0, 2}),
            (std::vector<int64_t>{initialized, hasPrevious, hasNext, texture, format}));
  // Anything but a graphics device is refused with the cast's error (a file that is no video is a
  // row of the bad-input table).
  const Platform::String folder(cache_.Path());
  EXPECT_EQ(E_NOINTERFACE, interop_->Open(ScriptedStream(ScriptedVideo(3)).Get(), folder.Get(), CreateIterator().Get()));
}

TEST_F(VideoDecoderInteropTest, Open_EventsInOrderAndGettersAnswer) {
  OpenAndWait(ScriptedVideo(30));
  const std::vector<RaisedEvent> events = log_.Events();
  EXPECT_EQ("loaded", events.at(0).name);
  EXPECT_EQ(std::this_thread::get_id(), events[0].thread) << "DecoderLoaded is raised on the thread calling Open";
  // Progress (its rounding and growth are the listener's tests) comes between DecoderLoaded and
  // DecoderInitialized and ends at 1; every other event comes after.
  const auto initialized = std::find_if(events.begin(), events.end(), [](auto& e) { return e.name == "initialized"; });
  ASSERT_NE(events.end(), initialized);
  for (auto e = events.begin() + 1; e != events.end(); ++e) {
    EXPECT_EQ(e < initialized, e->name == "progress") << e->Text();
  }
  EXPECT_EQ(1.0, std::prev(initialized)->progress);
  EXPECT_EQ(0u, log_.Count("error"));

  int64_t duration = 0, next = 0, previous = 0, frameDuration = 0;
  UINT32 width = 0, height = 0, rotation = 1, divisor = 0;
  EXPECT_EQ(S_OK, interop_->get_Duration(&duration));
  EXPECT_EQ(S_OK, interop_->get_FrameWidth(&width));
  EXPECT_EQ(S_OK, interop_->get_FrameHeight(&height));
  EXPECT_EQ(S_OK, interop_->get_Rotation(&rotation));
  EXPECT_EQ(S_OK, interop_->get_ResolutionDivisor(&divisor));
  EXPECT_EQ(S_OK, interop_->GetFrameDuration(kFrame, &frameDuration));
  EXPECT_EQ(S_OK, interop_->GetNextFrameTime(kFrame, &next));
  EXPECT_EQ(S_OK, interop_->GetPreviousFrameTime(kFrame, &previous));
  EXPECT_EQ((std::vector<int64_t>{64, 48, 0, 1, kFrame, 2 * kFrame, 0}),
            (std::vector<int64_t>{width, height, rotation, divisor, frameDuration, next, previous}));
  EXPECT_TRUE(duration >= 29 * kFrame && duration <= 30 * kFrame) << duration;
  EXPECT_EQ(0, Position());
  EXPECT_EQ(0, ScriptedValueAt(kFrame / 2));
}

// Spacings of 5 to 100 ms in an irregular order, as a screen capture's: every frame is reached
// once each way. Each step waits until the span around the frame is decoded too: a neighbour
// not decoded yet next to a decoded one further away must not pass for adjacent.
TEST_F(VideoDecoderInteropTest, Move_VariableFrameRate_EveryFrameOnceEachWay) {
  const int64_t pattern[] = {400'000, 50'000, 1'000'000, 100'000, 300'000, 60'000, 800'000, 200'000, 70'000};
  mf::ScriptedSource script = ScriptedVideo(45);
  std::vector<int64_t> starts{0};
  for (size_t i = 0; i < script.frames.size(); ++i) {
    script.frames[i].time = starts.back();
    script.frames[i].duration = pattern[i % 9];
    starts.push_back(starts.back() + pattern[i % 9]);
  }
  script.info.duration = starts.back();
  OpenAndWait(script);

  const size_t last = script.frames.size() - 1;
  auto step = [&](bool forward, size_t frame) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, forward ? interop_->MoveNext() : interop_->MovePrevious()) << "to frame " << frame;
    ASSERT_TRUE(log_.WaitForPositionIn(starts[frame], starts[frame + 1], mark))
        << "frame " << frame << "\n" << ::testing::PrintToString(log_.Lines());
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

TEST_F(VideoDecoderInteropTest, StreamReplacement_HeldStreamClosedFramesKeptMovesRefusedUntilReopened) {
  ComPtr<IRandomAccessStream> first = ScriptedStream(ScriptedVideo(20));
  OpenAndWait(first.Get());
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();

  // Still open: a reopen is refused, but the held stream is replaced (and closed) first.
  ComPtr<IRandomAccessStream> second = ScriptedStream(ScriptedVideo(20));
  boolean reopened = true;
  EXPECT_EQ(S_OK, interop_->ReopenStream(second.Get(), &reopened));
  EXPECT_FALSE(reopened);
  ASSERT_TRUE(log_.WaitFor("error"));
  EXPECT_TRUE(IsClosed(first.Get()));

  ASSERT_EQ(S_OK, interop_->CloseStream());
  EXPECT_TRUE(IsClosed(second.Get()));
  boolean initialized = false;
  EXPECT_EQ(S_OK, interop_->get_IsInitialized(&initialized));
  EXPECT_TRUE(initialized);
  EXPECT_EQ(1, ScriptedValueAt(kFrame + 1));
  EXPECT_EQ(kNotReady, interop_->put_Position(3 * kFrame));
  EXPECT_EQ(kNotReady, interop_->MoveNext());
  int32_t offset = 9;
  EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
  EXPECT_EQ(0, offset) << "a move that could not start leaves the iterators where they were";

  // Open on an initialized interop takes the stream up without loading again; the held stream
  // handed in once more stays open and in use.
  ComPtr<IRandomAccessStream> third = ScriptedStream(ScriptedVideo(20));
  ASSERT_EQ(S_OK, Open(third.Get()));
  ASSERT_EQ(S_OK, Open(third.Get()));
  EXPECT_FALSE(IsClosed(third.Get()));
  ASSERT_NO_FATAL_FAILURE(MoveTo(13 * kFrame + 1, 13 * kFrame, 14 * kFrame));
  EXPECT_EQ(13, ScriptedValueAt(13 * kFrame + 1));
  EXPECT_EQ(1u, log_.Count("loaded"));
  EXPECT_EQ(1u, log_.Count("initialized"));
}

TEST_F(VideoDecoderInteropTest, Close_TwiceThenEveryCallIsDisposed) {
  OpenAndWait(ScriptedVideo(10));
  ComPtr<IVideoDecoderIterator> closed = CreateIterator();
  ComPtr<IVideoDecoderIterator> orphan = CreateIterator();
  const std::shared_ptr<Counter> updates = CountFrameUpdated(closed.Get());
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  ASSERT_EQ(S_OK, closed.As(&closable));
  EXPECT_EQ(S_OK, closable->Close());
  EXPECT_EQ(S_OK, closable->Close());
  const size_t raised = updates->Count();
  ASSERT_NO_FATAL_FAILURE(MoveTo(kFrame + 1, kFrame, 2 * kFrame));

  EXPECT_EQ(S_OK, interop_->Close());
  EXPECT_EQ(S_OK, interop_->Close());
  EXPECT_EQ(raised, updates->Count()) << "a closed iterator raises nothing";
  Out out;
  for (const Call& c : kCalls) EXPECT_EQ(RO_E_CLOSED, c.call(interop_.Get(), out)) << c.name;
  EXPECT_EQ(nullptr, out.iterator.Get());

  UINT64 texture = 0;
  UINT32 format = 0;
  const ComPtr<IVideoDecoder> source = AsSource(closed.Get());
  const std::vector<HRESULT> iteratorCalls{closed->get_Offset(&out.i32),
                                           closed->get_HasFrame(&out.flag),
                                           closed->MoveNext(),
                                           closed->Reset(),
                                           source->GetTexture(&texture),
                                           source->get_PixelFormat(&format),
                                           source->remove_FrameUpdated(out.token),
                                           AsSource(orphan.Get())->GetTexture(&texture)};  // its owner is gone
  for (size_t i = 0; i < iteratorCalls.size(); ++i) EXPECT_EQ(RO_E_CLOSED, iteratorCalls[i]) << "iterator call " << i;
}

TEST_F(VideoDecoderInteropTest, Close_DuringTheScanWithIterators_WaitsForHandlersAndNothingFollows) {
  // Long enough that the first pass is still running when Close comes.
  ComPtr<IRandomAccessStream> stream = ScriptedStream(ScriptedVideo(20'000));
  struct Shared {
    Counter entered;
    std::atomic<bool> handlerDone{false}, closeReturned{false};
    std::atomic<int> lateEvents{0};
  };
  auto shared = std::make_shared<Shared>();
  auto* overridable = static_cast<__IVideoDecoderInteropProtectedVirtuals*>(interop_.Get());
  log_.SetHook([shared, overridable](const RaisedEvent& e) {
    if (shared->closeReturned) ++shared->lateEvents;
    if (e.name != "progress" || shared->entered.Count() > 0) return;
    shared->entered.Add();
    // Holds this raise until Close has begun (the object answers RO_E_CLOSED from then on), and
    // a while longer, so that a Close that does not wait returns first.
    int32_t format = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (overridable->GetOutputFormat(&format) != RO_E_CLOSED && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();
    shared->handlerDone = true;
  });
  ASSERT_EQ(S_OK, Open(stream.Get()));
  ComPtr<IVideoDecoderIterator> first = CreateIterator();
  ComPtr<IVideoDecoderIterator> second = CreateIterator();
  ASSERT_EQ(S_OK, second->SetOffset(2));
  ASSERT_TRUE(shared->entered.WaitBeyond());

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
  auto closed = std::make_shared<Counter>();
  VideoDecoderInterop* interop = interop_.Get();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop_->add_CachingCompleted(Callback<CachingCompleted>([closed, interop](int64_t, int64_t) {
                                                   EXPECT_EQ(S_OK, interop->Close());
                                                   closed->Add();
                                                 }).Get(),
                                                 &token));
  ASSERT_EQ(S_OK, interop_->put_Position(5 * kFrame));
  ASSERT_TRUE(closed->WaitBeyond());
  boolean flag = 0;
  EXPECT_EQ(RO_E_CLOSED, interop_->get_IsInitialized(&flag));
}

}  // namespace
}  // namespace korvane::test
