// The C++ layer as an application uses it: linked against libKorvane.Native.so and its headers
// only. Errors carry their code and name the call and value; a subscription that is gone hears
// nothing more; handles in any order leave no live object behind; frames come out packed.
#include "korvane/Korvane.hpp"
#include "support/TestMedia.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace korvane::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 60s;
// The test video: 321 x 241 at 30 fps, 60 frames.
constexpr int64_t kFrameDuration = kTicksPerSecond / 30;

// Counts calls and waits for them (bounded).
struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  void Add() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWait, [&] { return count >= n; });
  }
  int Count() {
    std::lock_guard lock(mutex);
    return count;
  }
};

Stream Garbage() {
  const std::string text = "not a video, just text";
  return Stream::FromMemory({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

// True once no component object is alive. A pool thread may let its last reference go just
// after a handle's Close has returned, so this looks again (yielding) within a bound.
bool Unloadable() {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (DllCanUnloadNow() != S_OK) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class CppApiTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(Unloadable()) << "a component object outlived every handle"; }

  void OpenVideo(VideoDecoder& video) {
    video.Open(Stream::FromFile(KORVANE_API_TEST_VIDEO), cache_.Path(), device_);
    ASSERT_TRUE(video.WaitForInitialized(kWait));
  }
  // The index the frame's picture carries, read as a whole NV12 buffer, so a chroma plane out
  // of place or misaligned rows fail the read.
  int FrameIndex(const Frame& frame) {
    // The reader wants chroma rows as long as luma rows: widen odd luma rows by one byte.
    const uint32_t pitch = Frame::ChromaRowBytes(frame.width);
    std::vector<uint8_t> padded(static_cast<size_t>(pitch) * (frame.height + Frame::ChromaRows(frame.height)));
    for (uint32_t row = 0; row < frame.height; ++row)
      std::copy_n(frame.nv12.data() + static_cast<size_t>(row) * frame.width, frame.width, padded.data() + row * pitch);
    std::copy_n(frame.Chroma(), static_cast<size_t>(pitch) * Frame::ChromaRows(frame.height),
                padded.data() + static_cast<size_t>(pitch) * frame.height);
    return ReadFrameIndexNv12(padded.data(), pitch, static_cast<int>(frame.width), static_cast<int>(frame.height));
  }

  Device device_ = Device::CreateSoftware();
  TempFolder cache_{"korvane-cpp-api"};
};

struct ErrorCase {
  const char* name;
  std::function<void(Device&, const std::string& cache)> call;
  HRESULT code;
  std::vector<std::string> messageParts;
};

TEST_F(CppApiTest, FailedCall_ThrowsItsCodeNamingCallAndValue) {
  const ErrorCase cases[] = {
      {"missing file", [](Device&, const std::string& cache) { Stream::FromFile(cache + "/missing.mp4"); },
       MakeHresult(0x80070002u), {"Stream::FromFile(\"", "/missing.mp4\")", "0x80070002", "file not found"}},
      {"missing folder", [](Device&, const std::string&) { Stream::FromFile("/no/such/video.mp4"); },
       MakeHresult(0x80070003u), {"Stream::FromFile(\"/no/such/video.mp4\")", "path not found"}},
      {"duration before open", [](Device&, const std::string&) { VideoDecoder().Duration(); }, kNotReady,
       {"VideoDecoder::Duration", "0x0000029C"}},
      {"closed decoder",
       [](Device&, const std::string&) {
         VideoDecoder video;
         video.Close();
         video.SetPosition(123);
       },
       RO_E_CLOSED, {"VideoDecoder::SetPosition(123)", "object closed"}},
      {"unreadable video",
       [](Device& device, const std::string& cache) {
         VideoDecoder video;
         video.Open(Garbage(), cache, device);
         video.WaitForInitialized(kWait);
       },
       E_FAIL, {"VideoDecoder::WaitForInitialized", "ErrorOccured 0"}},
      {"short picture",
       [](Device&, const std::string&) {
         JpegEncoder().EncodeAsync(Stream::FromMemory(std::vector<uint8_t>(10)), 4, 4).get();
       },
       kNotReady, {"JpegEncoder::EncodeAsync(4 x 4)"}},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.call(device_, cache_.Path());
      ADD_FAILURE() << "no exception";
    } catch (const Error& e) {
      EXPECT_EQ(c.code, e.code());
      for (const std::string& part : c.messageParts) EXPECT_NE(std::string::npos, std::string(e.what()).find(part)) << e.what();
    }
  }
}

// An unreadable video raises ErrorOccured at each Open: a witness subscription counts them, so
// once it has seen the second, the ended subscriptions have provably missed it.
TEST_F(CppApiTest, Subscription_EndedReceivesNothingMore) {
  VideoDecoder video;
  Calls witness, scoped, selfEnding;
  Subscription keep = video.OnError([&](int32_t) { witness.Add(); });
  Subscription ends;
  {
    Subscription scopedSubscription = video.OnError([&](int32_t) { scoped.Add(); });
    ends = video.OnError([&](int32_t) {
      ends.reset();  // from inside its own handler
      selfEnding.Add();
    });
    video.Open(Garbage(), cache_.Path(), device_);
    ASSERT_TRUE(witness.WaitFor(1));
    ASSERT_TRUE(scoped.WaitFor(1));
    ASSERT_TRUE(selfEnding.WaitFor(1));
  }
  EXPECT_FALSE(ends);
  video.Open(Garbage(), cache_.Path(), device_);
  ASSERT_TRUE(witness.WaitFor(2));
  EXPECT_EQ(1, scoped.Count());
  EXPECT_EQ(1, selfEnding.Count());
}

// Handles and subscriptions moved around and destroyed in every order leave nothing alive.
TEST_F(CppApiTest, Handles_MovedAndDestroyedInAnyOrderLeaveNoObject) {
  enum Part { kDecoder, kIterator, kSubscription, kEncoder };
  std::vector<int> order{kDecoder, kIterator, kSubscription, kEncoder};
  do {
    SCOPED_TRACE(::testing::PrintToString(order));
    std::optional<VideoDecoder> video{VideoDecoder()};
    OpenVideo(*video);
    std::optional<FrameIterator> iterator{video->CreateIterator()};
    Calls updates;
    std::optional<Subscription> subscription{iterator->OnFrameUpdated([&] { updates.Add(); })};
    std::optional<JpegEncoder> encoder{JpegEncoder()};
    // Moves: into new handles and over handles that hold objects of their own.
    {
      VideoDecoder moved = std::move(*video);
      *video = VideoDecoder();
      std::swap(moved, *video);
      FrameIterator iteratorMoved = std::move(*iterator);
      *iterator = std::move(iteratorMoved);
    }
    EXPECT_EQ(0, iterator->Offset());
    EXPECT_TRUE(video->IsInitialized());
    for (int part : order) {
      if (part == kDecoder) video.reset();
      if (part == kIterator) iterator.reset();
      if (part == kSubscription) subscription.reset();
      if (part == kEncoder) encoder.reset();
    }
    EXPECT_TRUE(Unloadable());
  } while (std::next_permutation(order.begin(), order.end()));
}

// Stepping as fast as the decoder serves: every wait answers its own step, never a late report
// of the step before (which would show one frame twice and skip another). Each frame comes out
// packed at the video's odd size.
TEST_F(CppApiTest, StepWholeVideoBothWays_EachWaitAnswersItsOwnStep) {
  VideoDecoder video;
  OpenVideo(video);
  EXPECT_EQ(321u, video.FrameWidth());
  EXPECT_EQ(241u, video.FrameHeight());
  const auto expectShown = [&](int index, const std::optional<int64_t>& reported) {
    ASSERT_TRUE(reported) << "frame " << index;
    EXPECT_NEAR(static_cast<double>(index * kFrameDuration + kFrameDuration / 2), static_cast<double>(*reported),
                kFrameDuration / 4.0)
        << "frame " << index;
    const Frame frame = video.CurrentFrame();
    ASSERT_EQ(321u, frame.width);
    ASSERT_EQ(241u, frame.height);
    ASSERT_EQ(size_t{321} * 241 + size_t{322} * 121, frame.nv12.size());
    EXPECT_EQ(index, FrameIndex(frame)) << "frame " << index;
    EXPECT_NEAR(static_cast<double>(index * kFrameDuration), static_cast<double>(frame.time), kFrameDuration / 2.0);
  };
  // A move needs its neighbour cached: after each step, wait for the window around the frame
  // shown (the first pass leaves the first frame's window cached).
  int index = 0;
  while (index < 59) {
    if (index > 0) {
      ASSERT_TRUE(video.WaitForCached(video.Position(), kWait)) << "frame " << index;
    }
    video.MoveNext();
    ASSERT_NO_FATAL_FAILURE(expectShown(++index, video.WaitForPosition(kWait)));
  }
  ASSERT_TRUE(video.WaitForCached(video.Position(), kWait));
  EXPECT_FALSE(video.HasNextFrame());
  while (index > 0) {
    ASSERT_TRUE(video.WaitForCached(video.Position(), kWait)) << "frame " << index;
    video.MovePrevious();
    ASSERT_NO_FATAL_FAILURE(expectShown(--index, video.WaitForPosition(kWait)));
  }
  video.Close();
}

// Ten steps back from the middle without waiting for the cache, each frame the one before;
// then the even part of the frame reached goes to JPEG, through the operation (its progress the
// end of the sequence) and straight to a file, the same bytes both ways.
TEST_F(CppApiTest, StepBackFromMiddle_ThenEvenPartEncodedAsJpeg) {
  VideoDecoder video;
  OpenVideo(video);
  video.SetPosition(30 * kFrameDuration + kFrameDuration / 2);
  ASSERT_TRUE(video.WaitForPosition(kWait));
  for (int index = 29; index >= 20; --index) {
    video.MovePrevious();
    ASSERT_TRUE(video.WaitForPosition(kWait)) << "frame " << index;
    EXPECT_EQ(index, FrameIndex(video.CurrentFrame()));
  }
  ASSERT_TRUE(video.WaitForCached(video.Position(), kWait));
  const Frame frame = EvenPart(video.CurrentFrame());
  ASSERT_EQ(320u, frame.width);
  ASSERT_EQ(240u, frame.height);
  EXPECT_EQ(20, FrameIndex(frame));
  std::vector<double> progress;
  EncodeOperation operation = JpegEncoder().EncodeAsync(Stream::FromMemory(frame.nv12), frame.width, frame.height,
                                                        [&](double p) { progress.push_back(p); });
  ASSERT_EQ(std::future_status::ready, operation.wait_for(kWait));
  const std::vector<uint8_t> jpeg = operation.get().Bytes();
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(0xFF, jpeg[0]);
  EXPECT_EQ(0xD8, jpeg[1]);
  // Progress reported before the handler was set is lost; what came is the end of the sequence.
  const std::vector<double> all{0.1, 0.3, 0.4, 0.5, 0.7, 0.9, 1.0};
  ASSERT_LE(progress.size(), all.size());
  EXPECT_TRUE(std::equal(progress.begin(), progress.end(), all.end() - static_cast<std::ptrdiff_t>(progress.size())));

  const std::string path = cache_.File("frame.jpg");
  JpegEncoder().Write(frame, path);
  std::ifstream written(path, std::ios::binary);
  EXPECT_EQ(jpeg, std::vector<uint8_t>(std::istreambuf_iterator<char>(written), {}));
  video.Close();
}

}  // namespace
}  // namespace korvane::test
