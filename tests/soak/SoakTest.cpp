// Soak: the whole life of a front end, over and over on one device. Whatever one round takes
// (textures, threads' files, decoder contexts, memory) must come back, or it would pile up in an
// application that opens video after video.
#include "interop/InteropTestSupport.h"

#include "platform/d3d11/DeviceDiagnostics.h"
#include "support/TestMedia.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace korvane::test {
namespace {

constexpr int kRounds = 200;
// Rounds before the first measure: the thread pool grows to what a round needs, FFmpeg and the
// allocator set up their process-wide state, and none of that is given back by design.
constexpr int kWarmUpRounds = 20;
// Resident memory may grow this much from the first measure to the last without a leak: freed
// blocks stay in the allocator's per-thread arenas (up to 8 per core) and pool threads come and
// go, so the resident size wanders by a few hundred KiB. One lost round (a decoder with its
// frame buffers, a reader, a cache manager) is several hundred KiB even for this tiny video, so
// a leak in every round would pass this bound several times over.
constexpr int64_t kResidentTolerance = 8 << 20;
// Close returns once the front end has let go, but the reader's work thread and the pool's event
// workers drop their last references a moment later: the round just closed may still hold its
// textures (at most what one round ever holds at once, the device's peak) and a file or two (its
// stream, a cache file). A leak in every round would exceed either bound 180 times over.
constexpr size_t kFileTolerance = 2;

int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

size_t OpenFileDescriptors() {
  const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

struct Usage {
  int64_t resident = 0;
  uint64_t liveTextures = 0;
  uint64_t peakTextures = 0;
  size_t files = 0;
};

class Soak : public InteropFixture {
 protected:
  Usage Measure() {
    ComPtr<d3d11::IDeviceDiagnostics> diagnostics;
    EXPECT_EQ(S_OK, device_.As(&diagnostics));
    const d3d11::DeviceStatistics statistics = diagnostics->GetStatistics();
    return {ResidentBytes(), statistics.liveTextures, statistics.peakTextures, OpenFileDescriptors()};
  }

  // One application round: open, first pass, two steps forward and one back, close.
  void Round(const std::string& path) {
    const ComPtr<VideoDecoderInterop> interop = MakeInterop();
    EventLog log;
    log.Attach(interop.Get());
    ComPtr<IRandomAccessStream> stream;
    ASSERT_EQ(S_OK, CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream)));
    ASSERT_EQ(S_OK, Open(interop.Get(), stream.Get()));
    for (const char* name : {"initialized", "position", "cached"}) ASSERT_TRUE(log.WaitFor(name)) << name;
    for (bool forward : {true, true, false}) {
      const size_t mark = log.Size();
      int64_t from = -1;
      ASSERT_EQ(S_OK, interop->get_Position(&from));
      ASSERT_EQ(S_OK, forward ? interop->MoveNext() : interop->MovePrevious());
      // A position event carries the time asked for; the frame shown is what the move changes.
      // The interop is asked outside the log's wait (its lock never under the log's).
      int64_t now = from;
      for (size_t seen = mark; now == from && log.WaitFor("position", seen);) {
        seen = log.Size();
        ASSERT_EQ(S_OK, interop->get_Position(&now));
      }
      ASSERT_NE(from, now);
    }
    ASSERT_EQ(S_OK, interop->Close());
  }

  TempFolder media_{"korvane-soak"};
};

TEST_F(Soak, OpenStepClose200Times_TexturesFilesAndMemoryComeBack) {
  const std::string path = WriteTestVideo(
      {.width = 64, .height = 48, .frameCount = 12, .gopSize = 6, .maxBFrames = 1}, media_.File("tiny.mp4"));
  ASSERT_EQ(S_OK, interop_->Close());
  interop_.Reset();
  const Usage start = Measure();
  EXPECT_EQ(0u, start.liveTextures) << "nothing opened yet";

  Usage warm;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_NO_FATAL_FAILURE(Round(path)) << "round " << round;
    if (round + 1 == kWarmUpRounds) warm = Measure();
  }
  const Usage end = Measure();
  EXPECT_LE(end.liveTextures, start.liveTextures + warm.peakTextures)
      << "after " << kWarmUpRounds << " rounds: " << warm.liveTextures;
  EXPECT_LE(end.files, warm.files + kFileTolerance) << "after " << kWarmUpRounds << " rounds: " << warm.files;
  EXPECT_LE(end.resident - warm.resident, kResidentTolerance)
      << "resident " << warm.resident << " after " << kWarmUpRounds << " rounds, " << end.resident << " after "
      << kRounds;
}

}  // namespace
}  // namespace korvane::test
