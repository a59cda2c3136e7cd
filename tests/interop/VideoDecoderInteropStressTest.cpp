// Several interops on one device, each driven from three threads at once: random positions and
// steps (with the stream closed and taken back, or the interop closed, on the way), frame
// fetches and getters, iterator moves and textures; meanwhile every iterator's FrameUpdated
// handler fetches its texture as a renderer does. Bounded by operation counts; every texture
// is checked.
#include "InteropTestSupport.h"

#include <random>

namespace korvane::test {
namespace {

constexpr int64_t kFrame = 400'000;
constexpr int kFrames = 120;
constexpr int kOperations = 1000;  // per thread
constexpr int kInterops = 3;

// What went wrong on one interop; shared with its event handlers.
struct Tally {
  std::atomic<int> problems{0};
  std::atomic<bool> closeReturned{false};
  std::mutex mutex;
  std::vector<std::string> notes;  // the first few problems, guarded by mutex

  void Note(const std::string& text) {
    if (++problems > 5) return;
    std::lock_guard<std::mutex> lock(mutex);
    notes.push_back(text);
  }
  // Success, no frame to step to, not ready (while the stream is closed), closed (once the
  // interop is): nothing else.
  void Check(HRESULT hr, const char* call) {
    if (hr != S_OK && hr != E_BOUNDS && hr != kNotReady && hr != RO_E_CLOSED) {
      Note(std::string(call) + " failed with " + std::to_string(hr));
    }
  }
};

// A handed-out texture must be a scripted frame (uniform luma: its index) or the 2 × 2
// placeholder (luma 127), and frame `expected` when that is not -1.
void CheckTexture(Tally& tally, ID3D11Device* device, UINT64 handed, int expected, const char* call) {
  const TextureBytes copy = ReadTexture(device, TakeTexture(static_cast<int64_t>(handed)).Get());
  const int value = copy.bytes.at(0);
  const size_t last = size_t{copy.rowPitch} * (copy.desc.Height - 1) + copy.desc.Width - 1;
  const bool placeholder = copy.desc.Width == 2 && copy.desc.Height == 2 && value == 0x7F;
  const bool frame = copy.desc.Width > 2 && copy.bytes.at(last) == value && value < kFrames;
  if (!(placeholder || frame) || (expected >= 0 && (!frame || value != expected))) {
    tally.Note(std::string(call) + ": frame " + std::to_string(expected) + " showed luma " + std::to_string(value));
  }
}

class VideoDecoderInteropStress : public InteropFixture {
 protected:
  struct Subject {
    ComPtr<VideoDecoderInterop> interop = MakeRuntimeObject<VideoDecoderInterop>();
    TempFolder cache{"korvane-stress"};
    EventLog log;
    std::vector<ComPtr<IVideoDecoderIterator>> iterators;  // at -1, 0, +1
    std::shared_ptr<Tally> tally = std::make_shared<Tally>();
    std::atomic<bool> streamOpen{true};
  };

  HRESULT OpenOn(Subject& s) { return Open(s.interop.Get(), ScriptedStream(ScriptedVideo(kFrames)).Get(), &s.cache); }
  void Start(Subject& s) {
    s.log.Attach(s.interop.Get());
    s.log.SetHook([tally = s.tally](const RaisedEvent& e) {
      if (tally->closeReturned) tally->Note("event after Close: " + e.Text());
    });
    ASSERT_EQ(S_OK, OpenOn(s));
    ASSERT_TRUE(s.log.WaitFor("initialized"));
    for (int32_t offset = -1; offset <= 1; ++offset) {
      ComPtr<IVideoDecoderIterator> iterator;
      ASSERT_EQ(S_OK, s.interop->CreateIterator(&iterator));
      ASSERT_EQ(S_OK, iterator->SetOffset(offset));
      // A raw pointer: a strong one would keep the iterator alive from its own event.
      IVideoDecoder* raw = AsSource(iterator.Get()).Get();
      EventRegistrationToken token;
      auto render = [raw, tally = s.tally, device = device_.Get()] {
        UINT64 handed = 0;
        const HRESULT hr = raw->GetTexture(&handed);
        tally->Check(hr, "FrameUpdated GetTexture");
        if (hr == S_OK) CheckTexture(*tally, device, handed, -1, "FrameUpdated GetTexture");
      };
      ASSERT_EQ(S_OK, raw->add_FrameUpdated(
                          Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>(render).Get(), &token));
      s.iterators.push_back(iterator);
    }
  }

  // Random positions and steps. Every eighth successful move waits for its caching report, so
  // that requests do not pile up without bound on the thread pool. Interops 0 and 1 close their
  // stream a third of the way and take it back (ReopenStream, Open) at two thirds; interop 2 is
  // closed half way.
  void Mover(Subject& s, int which, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      if (i == kOperations / 3 && which != 2) {
        s.tally->Check(s.interop->CloseStream(), "CloseStream");
        s.streamOpen = false;
      } else if (i == 2 * kOperations / 3 && which == 0) {
        boolean reopened = false;
        const HRESULT hr = s.interop->ReopenStream(ScriptedStream(ScriptedVideo(kFrames)).Get(), &reopened);
        s.tally->Check(hr, "ReopenStream");
        if (!reopened) s.tally->Note("ReopenStream refused");
        s.streamOpen = reopened;
      } else if (i == 2 * kOperations / 3 && which == 1) {
        s.tally->Check(OpenOn(s), "Open again");
        s.streamOpen = true;
      } else if (i == kOperations / 2 && which == 2) {
        EXPECT_EQ(S_OK, s.interop->Close());
        s.tally->closeReturned = true;
      }

      const size_t mark = s.log.Size();
      const int64_t target = static_cast<int64_t>(random() % kFrames) * kFrame + kFrame / 2;
      const unsigned kind = random() % 3;
      const HRESULT hr = kind == 0   ? s.interop->put_Position(target)
                         : kind == 1 ? s.interop->MoveNext()
                                     : s.interop->MovePrevious();
      s.tally->Check(hr, "move");
      if (hr == S_OK && s.streamOpen && i % 8 == 7) {
        EXPECT_TRUE(s.log.WaitFor("completed", mark)) << "no caching report after a move";
      }
    }
  }

  // Frames by time and the getters that go with them; iterator moves and textures.
  void Fetcher(Subject& s, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      const int frame = static_cast<int>(random() % kFrames);
      int64_t handed = 0;
      HRESULT hr = s.interop->GetFrameTexture(frame * kFrame + kFrame / 2, &handed);
      s.tally->Check(hr, "GetFrameTexture");
      if (hr == S_OK && handed != 0) {
        CheckTexture(*s.tally, device_.Get(), static_cast<UINT64>(handed), frame, "GetFrameTexture");
      }
      int64_t value = 0;
      boolean flag = 0;
      s.tally->Check(s.interop->get_Position(&value), "Position");
      s.tally->Check(s.interop->GetNextFrameTime(frame * kFrame, &value), "GetNextFrameTime");
      s.tally->Check(s.interop->get_HasPreviousFrame(&flag), "HasPreviousFrame");
    }
  }

  void IteratorMover(Subject& s, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      IVideoDecoderIterator* iterator = s.iterators[random() % s.iterators.size()].Get();
      UINT64 handed = 0;
      HRESULT hr = S_OK;
      switch (random() % 5) {
        case 0: hr = iterator->MoveNext(); break;
        case 1: hr = iterator->MovePrevious(); break;
        case 2: hr = iterator->SetOffset(static_cast<int32_t>(random() % 7) - 3); break;
        case 3: hr = iterator->Reset(); break;
        default:
          hr = AsSource(iterator)->GetTexture(&handed);
          if (hr == S_OK) CheckTexture(*s.tally, device_.Get(), handed, -1, "iterator GetTexture");
      }
      s.tally->Check(hr, "iterator");
    }
  }
};

TEST_F(VideoDecoderInteropStress, ManyThreadsManyInterops_NoWrongFrameNoStrayEventNoHang) {
  std::vector<std::unique_ptr<Subject>> subjects;
  for (int i = 0; i < kInterops; ++i) {
    subjects.push_back(std::make_unique<Subject>());
    ASSERT_NO_FATAL_FAILURE(Start(*subjects.back()));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kInterops; ++i) {
    Subject& s = *subjects[static_cast<size_t>(i)];
    const unsigned seed = 1000u * static_cast<unsigned>(i);
    threads.emplace_back([this, &s, i, seed] { Mover(s, i, seed + 1); });
    threads.emplace_back([this, &s, seed] { Fetcher(s, seed + 2); });
    threads.emplace_back([this, &s, seed] { IteratorMover(s, seed + 3); });
  }
  for (std::thread& t : threads) t.join();

  for (auto& s : subjects) {
    EXPECT_EQ(S_OK, s->interop->Close());
    s->tally->closeReturned = true;
    s->iterators.clear();
    s->interop.Reset();
  }
  for (size_t i = 0; i < subjects.size(); ++i) {
    const Tally& t = *subjects[i]->tally;
    EXPECT_EQ(0, t.problems.load()) << "interop " << i << ": " << ::testing::PrintToString(t.notes);
    EXPECT_EQ(0u, subjects[i]->log.Count("error")) << "interop " << i;
  }
}

}  // namespace
}  // namespace korvane::test
