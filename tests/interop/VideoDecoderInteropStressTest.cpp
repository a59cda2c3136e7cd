// Several interops on one device, each driven from several threads at once: random positions,
// steps, iterator moves and texture fetches, with the stream closed and taken back and an
// interop closed in the middle. Bounded by operation counts; every texture is checked.
#include "InteropTestSupport.h"

#include "platform/winrt/Callback.h"

#include <random>

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

constexpr int64_t kFrame = 400'000;
constexpr int kFrames = 120;
constexpr int kOperations = 1000;  // per thread; three threads per interop
constexpr int kInterops = 3;

// What every thread of one interop found wrong; shared with the event handlers.
struct Tally {
  std::atomic<int> wrongFrames{0};
  std::atomic<int> unexpectedCodes{0};
  std::atomic<int> lateEvents{0};
  std::atomic<bool> closeReturned{false};
  std::mutex mutex;
  std::vector<std::string> notes;  // the first few problems, guarded by mutex

  void Note(std::atomic<int>& counter, const std::string& text) {
    if (++counter > 5) return;
    std::lock_guard<std::mutex> lock(mutex);
    notes.push_back(text);
  }
  // Codes a call may end with in this test: success, no frame to step to, not ready (while the
  // stream is closed), closed (once the interop is).
  void Check(HRESULT hr, const char* call) {
    if (hr == S_OK || hr == E_BOUNDS || hr == kNotReady || hr == RO_E_CLOSED) return;
    Note(unexpectedCodes, std::string(call) + " failed with " + std::to_string(hr));
  }
};

// A texture a scripted frame or the placeholder: uniform luma, the frame's index or 127 on the
// 2 × 2 placeholder. Returns the index, -1 for the placeholder, -2 for anything else.
int ClassifyTexture(ID3D11Device* device, ID3D11Texture2D* texture) {
  const TextureBytes copy = ReadTexture(device, texture);
  const int value = copy.bytes.at(0);
  if (copy.desc.Width == 2 && copy.desc.Height == 2) return value == 0x7F ? -1 : -2;
  const size_t last = size_t{copy.rowPitch} * (copy.desc.Height - 1) + copy.desc.Width - 1;
  if (copy.bytes.at(last) != value || value >= kFrames) return -2;
  return value;
}

class VideoDecoderInteropStress : public InteropFixture {
 protected:
  struct Subject {
    ComPtr<VideoDecoderInterop> interop;
    std::unique_ptr<TempFolder> cache = std::make_unique<TempFolder>("korvane-stress");
    EventLog log;
    std::vector<ComPtr<IVideoDecoderIterator>> iterators;
    std::shared_ptr<Tally> tally = std::make_shared<Tally>();
    std::atomic<bool> streamOpen{true};
  };

  HRESULT OpenOn(Subject& s, IRandomAccessStream* stream) {
    const Platform::String folder(s.cache->Path());
    return s.interop->Open(stream, folder.Get(), graphics_.Get());
  }

  void Start(Subject& s) {
    s.interop = MakeRuntimeObject<VideoDecoderInterop>();
    s.log.Attach(s.interop.Get());
    s.log.SetHook([tally = s.tally](const RaisedEvent& e) {
      if (tally->closeReturned) tally->Note(tally->lateEvents, "event after Close: " + e.Text());
    });
    ASSERT_EQ(S_OK, OpenOn(s, ScriptedStream(ScriptedVideo(kFrames)).Get()));
    ASSERT_TRUE(s.log.WaitFor("initialized"));
    ID3D11Device* device = device_.Get();
    for (int32_t offset = -1; offset <= 1; ++offset) {
      ComPtr<IVideoDecoderIterator> iterator;
      ASSERT_EQ(S_OK, s.interop->CreateIterator(&iterator));
      ASSERT_EQ(S_OK, iterator->SetOffset(offset));
      ComPtr<IVideoDecoder> source;
      ASSERT_EQ(S_OK, iterator.As(&source));
      // The toolkit's renderer: fetch the texture whenever told. A raw pointer, as a strong one
      // would keep the iterator alive from its own event.
      IVideoDecoder* raw = source.Get();
      EventRegistrationToken token;
      ASSERT_EQ(S_OK, source->add_FrameUpdated(Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>(
                                                   [raw, device, tally = s.tally] {
                                                     UINT64 handed = 0;
                                                     const HRESULT hr = raw->GetTexture(&handed);
                                                     tally->Check(hr, "FrameUpdated GetTexture");
                                                     if (hr != S_OK) return;
                                                     const auto texture = TakeTexture(static_cast<int64_t>(handed));
                                                     if (ClassifyTexture(device, texture.Get()) == -2)
                                                       tally->Note(tally->wrongFrames, "FrameUpdated: not a frame");
                                                   })
                                                   .Get(),
                                               &token));
      s.iterators.push_back(iterator);
    }
  }

  // Random positions and steps; the stream closed and taken back, or the interop closed, on the
  // way. Every eighth move waits for a caching report, so that requests do not pile up without
  // bound on the thread pool.
  void Mover(Subject& s, int which, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      if (i == kOperations / 3 && which != 2) {
        s.tally->Check(s.interop->CloseStream(), "CloseStream");
        s.streamOpen = false;
      } else if (i == 2 * kOperations / 3 && which == 0) {
        boolean reopened = false;
        s.tally->Check(s.interop->ReopenStream(ScriptedStream(ScriptedVideo(kFrames)).Get(), &reopened), "ReopenStream");
        if (!reopened) s.tally->Note(s.tally->unexpectedCodes, "ReopenStream refused");
        s.streamOpen = reopened;
      } else if (i == 2 * kOperations / 3 && which == 1) {
        s.tally->Check(OpenOn(s, ScriptedStream(ScriptedVideo(kFrames)).Get()), "Open again");
        s.streamOpen = true;
      } else if (i == kOperations / 2 && which == 2) {
        EXPECT_EQ(S_OK, s.interop->Close());
        s.tally->closeReturned = true;
      }

      const size_t mark = s.log.Size();
      HRESULT hr = S_OK;
      switch (random() % 3) {
        case 0:
          hr = s.interop->put_Position(static_cast<int64_t>(random() % kFrames) * kFrame + kFrame / 2);
          break;
        case 1:
          hr = s.interop->MoveNext();
          break;
        default:
          hr = s.interop->MovePrevious();
          break;
      }
      s.tally->Check(hr, "move");
      if (hr == S_OK && s.streamOpen && i % 8 == 7) {
        EXPECT_TRUE(s.log.WaitFor("completed", mark)) << "no caching report after a move";
      }
    }
  }

  // Frames by time, and the getters that go with them.
  void Fetcher(Subject& s, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kOperations; ++i) {
      const int frame = static_cast<int>(random() % kFrames);
      int64_t handed = 0;
      const HRESULT hr = s.interop->GetFrameTexture(frame * kFrame + kFrame / 2, &handed);
      s.tally->Check(hr, "GetFrameTexture");
      if (hr == S_OK && handed != 0) {
        const int shown = ClassifyTexture(device_.Get(), TakeTexture(handed).Get());
        if (shown != frame) {
          s.tally->Note(s.tally->wrongFrames, "GetFrameTexture(frame " + std::to_string(frame) + ") showed " +
                                                  std::to_string(shown));
        }
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
      HRESULT hr = S_OK;
      switch (random() % 5) {
        case 0:
          hr = iterator->MoveNext();
          break;
        case 1:
          hr = iterator->MovePrevious();
          break;
        case 2:
          hr = iterator->SetOffset(static_cast<int32_t>(random() % 7) - 3);
          break;
        case 3:
          hr = iterator->Reset();
          break;
        default: {
          ComPtr<IVideoDecoder> source;
          iterator->QueryInterface(IID_PPV_ARGS(&source));
          UINT64 handed = 0;
          hr = source->GetTexture(&handed);
          if (hr == S_OK && ClassifyTexture(device_.Get(), TakeTexture(static_cast<int64_t>(handed)).Get()) == -2) {
            s.tally->Note(s.tally->wrongFrames, "iterator GetTexture: not a frame");
          }
          break;
        }
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
    EXPECT_EQ(0, t.wrongFrames.load()) << "interop " << i << ": " << ::testing::PrintToString(t.notes);
    EXPECT_EQ(0, t.unexpectedCodes.load()) << "interop " << i << ": " << ::testing::PrintToString(t.notes);
    EXPECT_EQ(0, t.lateEvents.load()) << "interop " << i << ": " << ::testing::PrintToString(t.notes);
    EXPECT_EQ(0u, subjects[i]->log.Count("error")) << "interop " << i;
  }
}

}  // namespace
}  // namespace korvane::test
