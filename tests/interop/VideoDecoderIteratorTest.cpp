// VideoDecoderIterator through its two public interfaces, on scripted videos (frame i shows
// luma i).
#include "InteropTestSupport.h"

#include "platform/winrt/Callback.h"

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
  bool WaitForValue(IVideoDecoderIterator* iterator, const FrameUpdatedCounter& updates, int value) {
    for (;;) {
      const size_t seen = updates.Count();
      if (ScriptedValue(IteratorTexture(iterator).Get()) == value) return true;
      if (!updates.WaitBeyond(seen)) return false;
    }
  }

  std::shared_ptr<ReadGate> gate_ = std::make_shared<ReadGate>();
  std::shared_ptr<std::atomic<int64_t>> freeReads_ = std::make_shared<std::atomic<int64_t>>(INT64_MAX / 2);
};

TEST_F(VideoDecoderIteratorTest, BeforeInitialization_PlaceholderThenFrameUpdated) {
  HoldAfter(0);
  ASSERT_EQ(S_OK, Open(interop_.Get(), ScriptedStream(GatedVideo(10)).Get()));
  ASSERT_TRUE(log_.WaitFor("loaded"));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  FrameUpdatedCounter updates;
  updates.Attach(iterator.Get());

  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));
  boolean neighbour = true;
  EXPECT_EQ(S_OK, iterator->get_HasNextFrame(&neighbour));
  EXPECT_FALSE(neighbour);
  EXPECT_EQ(0u, updates.Count());

  gate_->Open();
  ASSERT_TRUE(updates.WaitBeyond(0)) << "the first FrameUpdated comes with the initialization";
  EXPECT_EQ(0, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
  EXPECT_TRUE(HasFrame(iterator.Get()));
}

TEST_F(VideoDecoderIteratorTest, Identity_PixelFormatAndInterfaces) {
  OpenAndWait(ScriptedVideo(5));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  ComPtr<IVideoDecoder> source;
  ASSERT_EQ(S_OK, iterator.As(&source));
  UINT32 format = 0;
  EXPECT_EQ(S_OK, source->get_PixelFormat(&format));
  EXPECT_EQ(2u, format);
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  EXPECT_EQ(S_OK, iterator.As(&closable));
  ComPtr<IWeakReferenceSource> weak;
  EXPECT_EQ(S_OK, iterator.As(&weak));
  ComPtr<__IVideoDecoderIteratorProtectedVirtuals> overridables;
  EXPECT_EQ(S_OK, iterator.As(&overridables));
  EXPECT_EQ(kVideoDecoderIteratorClassName, RuntimeClassName(iterator.Get()));
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

  ASSERT_EQ(S_OK, iterator->SetOffset(INT32_MAX));
  EXPECT_EQ(E_BOUNDS, iterator->MoveNext());
  int32_t offset = 0;
  EXPECT_EQ(S_OK, iterator->get_Offset(&offset));
  EXPECT_EQ(INT32_MAX, offset);
}

TEST_F(VideoDecoderIteratorTest, OffsetBeyondTheCachedRun_PlaceholderUntilCachedThenFrameUpdated) {
  // Long enough that the first pass leaves most frames undecoded.
  OpenAndWait(GatedVideo(2000));
  const int64_t k = 700;
  ASSERT_EQ(-1, ScriptedValueAt(k * kFrame + 1)) << "frame " << k << " must not be decoded yet";
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  FrameUpdatedCounter updates;
  updates.Attach(iterator.Get());
  ASSERT_EQ(S_OK, iterator->SetOffset(3));

  // The jump reads frame k, then k + 1; the third read waits.
  HoldAfter(2);
  const size_t mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->put_Position(k * kFrame + kFrame / 2));
  ASSERT_TRUE(log_.WaitFor([&](const RaisedEvent& e) { return e.name == "cached" && e.a == (k + 1) * kFrame; }, mark));
  ASSERT_EQ(k * kFrame, Position());
  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));

  gate_->Open();
  EXPECT_TRUE(WaitForValue(iterator.Get(), updates, static_cast<int>((k + 3) % 256)));
  EXPECT_TRUE(HasFrame(iterator.Get()));
}

TEST_F(VideoDecoderIteratorTest, FrameEvictedFromBothCaches_PlaceholderAndLookedUpAgain) {
  SetDiskFreeSpaceForTesting(0);  // no disk cache: a frame that leaves memory is gone
  OpenAndWait(ScriptedVideo(32));
  const size_t mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->put_Position(10 * kFrame + 1));
  ASSERT_TRUE(log_.WaitForPositionIn(10 * kFrame, 11 * kFrame, mark));
  ASSERT_TRUE(log_.WaitFor("completed", mark));  // frames 8 to 12 are decoded

  // Registered before the iterator's own handler: while it holds the raise for the new
  // position, the iterator cannot look its frame up again.
  auto entered = std::make_shared<Latch>();
  auto release = std::make_shared<Latch>();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop_->add_PositionHasChanged(Callback<PositionHasChanged>([entered, release](int64_t position) {
                                                     if (position < 30 * kFrame) return;
                                                     entered->Set();
                                                     release->Wait();
                                                   }).Get(),
                                                   &token));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  ASSERT_EQ(S_OK, iterator->SetOffset(2));
  ASSERT_EQ(12, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
  ASSERT_TRUE(HasFrame(iterator.Get()));

  // Frame 30 is shown (and frame 12 evicted) before its position is reported. Should a late
  // report of the old position make the iterator look again meanwhile, it finds no frame two
  // after the last but one: the answer below is the same.
  ASSERT_EQ(S_OK, interop_->put_Position(30 * kFrame + 1));
  ASSERT_TRUE(entered->Wait());
  EXPECT_EQ(-1, ScriptedValueAt(12 * kFrame + 1)) << "frame 12 must have left both caches";
  EXPECT_TRUE(IsPlaceholder(IteratorTexture(iterator.Get()).Get()));
  EXPECT_FALSE(HasFrame(iterator.Get()));
  release->Set();
  ASSERT_TRUE(log_.WaitFor(
      [](const RaisedEvent& e) { return e.name == "completed" && e.a <= 29 * kFrame && e.b >= 30 * kFrame; }));
  ASSERT_EQ(S_OK, iterator->SetOffset(-1));
  EXPECT_EQ(29, ScriptedValue(IteratorTexture(iterator.Get()).Get()));
}

TEST_F(VideoDecoderIteratorTest, MoveNextTwentyTimes_SomeUpdatesThenTheFrameTwentyAhead) {
  OpenAndWait(ScriptedVideo(40));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  FrameUpdatedCounter updates;
  updates.Attach(iterator.Get());
  const size_t before = updates.Count();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(S_OK, iterator->MoveNext());
  ASSERT_TRUE(updates.WaitBeyond(before));
  EXPECT_TRUE(WaitForValue(iterator.Get(), updates, 20));
  // The one signal of its creation may be raised after `before` was taken.
  EXPECT_LE(updates.Count() - before, 21u);
}

TEST_F(VideoDecoderIteratorTest, FrameUpdatedHandler_MayReadTheTextureAndCloseTheIterator) {
  OpenAndWait(ScriptedVideo(20));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  ComPtr<IVideoDecoder> source;
  ASSERT_EQ(S_OK, iterator.As(&source));
  struct Shared {
    Latch closed;
    std::atomic<int> seen{-2};
  };
  auto shared = std::make_shared<Shared>();
  // The handler's own reference is a raw pointer: a strong one would keep the iterator alive
  // from its own event.
  IVideoDecoder* raw = source.Get();
  ID3D11Device* device = device_.Get();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, source->add_FrameUpdated(Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>([=] {
                                             UINT64 texture = 0;
                                             EXPECT_EQ(S_OK, raw->GetTexture(&texture));
                                             const ComPtr<ID3D11Texture2D> frame = TakeTexture(static_cast<int64_t>(texture));
                                             shared->seen = ReadTexture(device, frame.Get()).bytes.at(0);
                                             ComPtr<ABI::Windows::Foundation::IClosable> closable;
                                             raw->QueryInterface(IID_PPV_ARGS(&closable));
                                             EXPECT_EQ(S_OK, closable->Close());
                                             shared->closed.Set();
                                           }).Get(),
                                           &token));
  ASSERT_EQ(S_OK, iterator->SetOffset(4));
  ASSERT_TRUE(shared->closed.Wait());
  EXPECT_TRUE(shared->seen == 0 || shared->seen == 4) << shared->seen;
  int32_t offset = 0;
  EXPECT_EQ(RO_E_CLOSED, iterator->get_Offset(&offset));
}

TEST_F(VideoDecoderIteratorTest, Close_NothingRaisedAfterItEvenWhenTheOwnerMoves) {
  OpenAndWait(ScriptedVideo(20));
  ComPtr<IVideoDecoderIterator> iterator = CreateIterator();
  FrameUpdatedCounter updates;
  updates.Attach(iterator.Get());
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  ASSERT_EQ(S_OK, iterator.As(&closable));
  EXPECT_EQ(S_OK, closable->Close());
  EXPECT_EQ(S_OK, closable->Close());
  const size_t raised = updates.Count();
  const ComPtr<IVideoDecoder> source = AsSource(iterator.Get());

  const size_t mark = log_.Size();
  ASSERT_EQ(S_OK, interop_->MoveNext());
  ASSERT_TRUE(log_.WaitForPositionIn(kFrame, 2 * kFrame, mark));
  ASSERT_EQ(S_OK, interop_->Close());
  EXPECT_EQ(raised, updates.Count());

  int32_t offset = 0;
  boolean flag = 0;
  UINT64 texture = 0;
  UINT32 format = 0;
  EventRegistrationToken token{};
  EXPECT_EQ(RO_E_CLOSED, iterator->get_Offset(&offset));
  EXPECT_EQ(RO_E_CLOSED, iterator->get_HasFrame(&flag));
  EXPECT_EQ(RO_E_CLOSED, iterator->MoveNext());
  EXPECT_EQ(RO_E_CLOSED, iterator->Reset());
  EXPECT_EQ(RO_E_CLOSED, source->GetTexture(&texture));
  EXPECT_EQ(RO_E_CLOSED, source->get_PixelFormat(&format));
  EXPECT_EQ(RO_E_CLOSED, source->remove_FrameUpdated(token));
}

}  // namespace
}  // namespace korvane::test
