// VideoDecoderIterator through its two public interfaces, on scripted videos (frame i shows
// luma i).
#include "InteropTestSupport.h"

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

constexpr int64_t kFrame = 400'000;

class VideoDecoderIteratorTest : public InteropFixture {
 protected:
  void TearDown() override {
    gate_->Open();  // a held read would keep the reader from closing
    InteropFixture::TearDown();
  }
  // A scripted video whose reads go through freely until HoldAfter.
  mf::ScriptedSource GatedVideo(int frames) {
    mf::ScriptedSource script = ScriptedVideo(frames);
    script.beforeRead = [gate = gate_, free = freeReads_] {
      if (free->fetch_sub(1) <= 0) gate->Pass();
    };
    return script;
  }
  // `reads` more reads go through; the next one waits until gate_ is opened.
  void HoldAfter(int64_t reads) {
    freeReads_->store(reads);
    gate_->Close();
  }
  boolean HasFrame(IVideoDecoderIterator* iterator) {
    boolean value = 2;
    EXPECT_EQ(S_OK, iterator->get_HasFrame(&value));
    return value;
  }
  // Waits until the iterator's texture shows `value`, looking again after each FrameUpdated.
  bool WaitForValue(IVideoDecoderIterator* iterator, const Counter& updates, int value) {
    for (;;) {
      const size_t seen = updates.Count();
      if (ScriptedValue(IteratorTexture(iterator).Get()) == value) return true;
      if (!updates.WaitBeyond(seen)) return false;
    }
  }

  std::shared_ptr<ReadGate> gate_ = std::make_shared<ReadGate>();
  std::shared_ptr<std::atomic<int64_t>> freeReads_ = std::make_shared<std::atomic<int64_t>>(INT64_MAX / 2);
};

TEST_F(VideoDecoderIteratorTest, FrameNotDecodedYet_PlaceholderUntilItIsThenFrameUpdated) {
  // Long enough that the first pass leaves most frames undecoded; its first read waits.
  HoldAfter(0);
  ASSERT_EQ(S_OK, Open(ScriptedStream(GatedVideo(2000)).Get()));
  ASSERT_TRUE(log_.WaitFor("loaded"));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  const std::shared_ptr<Counter> updates = CountFrameUpdated(iterator.Get());
  UINT32 format = 0;
  EXPECT_EQ(S_OK, AsSource(iterator.Get())->get_PixelFormat(&format));
  EXPECT_EQ(2u, format) << "NV12";

  // Before the initialization.
  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));
  boolean neighbour = true;
  EXPECT_EQ(S_OK, iterator->get_HasNextFrame(&neighbour));
  EXPECT_FALSE(neighbour);
  EXPECT_EQ(0u, updates->Count());
  gate_->Open();
  ASSERT_TRUE(updates->WaitBeyond(0)) << "the first FrameUpdated comes with the initialization";
  EXPECT_EQ(0, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
  ASSERT_NO_FATAL_FAILURE(WaitForFirstPass());

  // At +3 from a frame whose neighbours are still being read.
  const int64_t k = 700;
  ASSERT_EQ(-1, ScriptedValueAt(k * kFrame + 1)) << "frame " << k << " must not be decoded yet";
  ASSERT_EQ(S_OK, iterator->SetOffset(3));
  HoldAfter(2);  // the jump reads frame k, then k + 1; the third read waits
  const size_t mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->put_Position(k * kFrame + kFrame / 2));
  ASSERT_TRUE(log_.WaitFor([&](const RaisedEvent& e) { return e.name == "cached" && e.a == (k + 1) * kFrame; }, mark));
  ASSERT_EQ(k * kFrame, Position());
  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));
  const size_t seen = updates->Count();
  gate_->Open();
  EXPECT_TRUE(WaitForValue(iterator.Get(), *updates, static_cast<int>((k + 3) % 256)));
  EXPECT_TRUE(updates->WaitBeyond(seen)) << "no FrameUpdated for the frame once cached";
  EXPECT_TRUE(HasFrame(iterator.Get()));
}

TEST_F(VideoDecoderIteratorTest, Offsets_ResolveOnDemandAndFollowTheOwner) {
  OpenAndWait(ScriptedVideo(30));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  EXPECT_FALSE(HasFrame(iterator.Get())) << "nothing resolves it before it is asked";
  EXPECT_EQ(0, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
  EXPECT_TRUE(HasFrame(iterator.Get()));

  struct Step {
    const char* name;
    std::function<HRESULT()> call;
    int32_t offset;
    int value;  // -1: the placeholder
  };
  const std::vector<Step> steps{
      {"MoveNext", [&] { return iterator->MoveNext(); }, 1, 1},
      {"SetOffset 5", [&] { return iterator->SetOffset(5); }, 5, 5},
      {"SetOffset 5 again", [&] { return iterator->SetOffset(5); }, 5, 5},
      {"MovePrevious", [&] { return iterator->MovePrevious(); }, 4, 4},
      {"SetOffset -1 (before the first frame)", [&] { return iterator->SetOffset(-1); }, -1, -1},
      {"SetOffset 29 (the last frame)", [&] { return iterator->SetOffset(29); }, 29, 29},
      {"MoveNext past the end", [&] { return iterator->MoveNext(); }, 30, -1},
      {"Reset", [&] { return iterator->Reset(); }, 0, 0},
  };
  for (const Step& step : steps) {
    ASSERT_EQ(S_OK, step.call()) << step.name;
    int32_t offset = 99;
    EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
    EXPECT_EQ(step.offset, offset) << step.name;
    const ComPtr<ID3D11Texture2D> texture = IteratorTexture(iterator.Get());
    if (step.value < 0) {
      EXPECT_TRUE(IsPlaceholder(texture.Get())) << step.name;
      EXPECT_FALSE(HasFrame(iterator.Get())) << step.name;
    } else {
      EXPECT_EQ(step.value, ScriptedValue(texture.Get())) << step.name;
    }
  }
  boolean neighbour = true;
  EXPECT_EQ(S_OK, iterator->get_HasPreviousFrame(&neighbour));
  EXPECT_FALSE(neighbour) << "at offset 0 on frame 0";
  EXPECT_EQ(S_OK, iterator->get_HasNextFrame(&neighbour));
  EXPECT_TRUE(neighbour);
  const std::shared_ptr<Counter> updates = CountFrameUpdated(iterator.Get());
  ASSERT_NO_FATAL_FAILURE(MoveTo(10 * kFrame + 1, 10 * kFrame, 11 * kFrame));
  EXPECT_TRUE(WaitForValue(iterator.Get(), *updates, 10)) << "the owner's new position";

  ASSERT_EQ(S_OK, iterator->SetOffset(INT32_MAX));
  EXPECT_EQ(E_BOUNDS, iterator->MoveNext());
  int32_t offset = 0;
  EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
  EXPECT_EQ(INT32_MAX, offset);
}

TEST_F(VideoDecoderIteratorTest, MoveNextTwentyTimes_OwnersKeepTheFrameIteratorsFollowIt) {
  OpenAndWait(ScriptedVideo(40));
  ComPtr<IVideoDecoderIterator> kept = CreateIterator();
  ComPtr<IVideoDecoderIterator> moved = CreateIterator();
  ASSERT_EQ(0, ScriptedValue(IteratorTexture(kept.Get()).Get()));

  // The owner steps: an iterator keeps its frame, its offset counting back.
  for (int step = 1; step <= 20; ++step) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, interop_->MoveNext());
    ASSERT_TRUE(log_.WaitForPositionIn(step * kFrame, (step + 1) * kFrame, mark)) << "step " << step;
  }
  int32_t offset = 0;
  EXPECT_EQ(S_OK, kept->get_Offset(&offset));
  EXPECT_EQ(-20, offset);
  EXPECT_EQ(0, ScriptedValue(IteratorTexture(kept.Get()).Get()));
  ASSERT_EQ(S_OK, kept->Reset());
  EXPECT_EQ(20, ScriptedValue(IteratorTexture(kept.Get()).Get()));

  // The iterator steps itself: the burst makes at least one update, and at most one per step
  // (plus the one of its creation, which may come late), and ends on the frame twenty on.
  const std::shared_ptr<Counter> updates = CountFrameUpdated(moved.Get());
  const size_t before = updates->Count();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(S_OK, moved->MoveNext());
  ASSERT_TRUE(updates->WaitBeyond(before));
  EXPECT_TRUE(WaitForValue(moved.Get(), *updates, 20));
  EXPECT_LE(updates->Count() - before, 21u);
}

TEST_F(VideoDecoderIteratorTest, FrameEvictedFromBothCaches_PlaceholderAndLookedUpAgain) {
  SetDiskFreeSpaceForTesting(0);  // no disk cache: a frame that leaves memory is gone
  OpenAndWait(ScriptedVideo(32));
  const size_t mark = log_.Size();
  ASSERT_NO_FATAL_FAILURE(MoveTo(10 * kFrame + 1, 10 * kFrame, 11 * kFrame));
  ASSERT_TRUE(log_.WaitFor("completed", mark));  // frames 8 to 12 are decoded

  // Registered before the iterator's own handler: while it holds the raise for the new
  // position, the iterator cannot look its frame up again.
  auto entered = std::make_shared<Counter>();
  auto release = std::make_shared<Counter>();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop_->add_PositionHasChanged(Callback<PositionHasChanged>([entered, release](int64_t position) {
                                                     if (position < 30 * kFrame) return;
                                                     entered->Add();
                                                     release->WaitBeyond();
                                                   }).Get(),
                                                   &token));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  ASSERT_EQ(S_OK, iterator->SetOffset(2));
  ASSERT_EQ(12, ScriptedValue(IteratorTexture(iterator.Get()).Get()));

  // Frame 30 is shown (and frame 12 evicted) before its position is reported. Should a late
  // report of the old position make the iterator look again meanwhile, it finds no frame two
  // after the last but one: the answer below is the same.
  ASSERT_EQ(S_OK, interop_->put_Position(30 * kFrame + 1));
  ASSERT_TRUE(entered->WaitBeyond());
  EXPECT_EQ(-1, ScriptedValueAt(12 * kFrame + 1)) << "frame 12 must have left both caches";
  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));
  release->Add();
  ASSERT_TRUE(log_.WaitFor(
      [](const RaisedEvent& e) { return e.name == "completed" && e.a <= 29 * kFrame && e.b >= 30 * kFrame; }));
  ASSERT_EQ(S_OK, iterator->SetOffset(-1));
  EXPECT_EQ(29, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
}

TEST_F(VideoDecoderIteratorTest, FrameUpdatedHandler_MayReadTheTextureAndCloseTheIterator) {
  OpenAndWait(ScriptedVideo(20));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  struct Shared {
    Counter closed;
    std::atomic<int> seen{-2};
  };
  auto shared = std::make_shared<Shared>();
  // The handler's own reference is a raw pointer: a strong one would keep the iterator alive
  // from its own event.
  IVideoDecoder* raw = AsSource(iterator.Get()).Get();
  ID3D11Device* device = device_.Get();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, raw->add_FrameUpdated(Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>([=] {
                                          UINT64 texture = 0;
                                          EXPECT_EQ(S_OK, raw->GetTexture(&texture));
                                          const auto frame = TakeTexture(static_cast<int64_t>(texture));
                                          shared->seen = ReadTexture(device, frame.Get()).bytes.at(0);
                                          ComPtr<ABI::Windows::Foundation::IClosable> closable;
                                          raw->QueryInterface(IID_PPV_ARGS(&closable));
                                          EXPECT_EQ(S_OK, closable->Close());
                                          shared->closed.Add();
                                        }).Get(),
                                        &token));
  ASSERT_EQ(S_OK, iterator->SetOffset(4));
  ASSERT_TRUE(shared->closed.WaitBeyond());
  EXPECT_TRUE(shared->seen == 0 || shared->seen == 4) << shared->seen;
  int32_t offset = 0;
  EXPECT_EQ(RO_E_CLOSED, iterator->get_Offset(&offset));
}

}  // namespace
}  // namespace korvane::test
