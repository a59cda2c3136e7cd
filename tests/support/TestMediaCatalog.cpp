// The ready-made files, each written once per process into one temp folder that is removed when
// the process exits: TestVideo, BadMediaFile and BenchmarkVideo.
#include "TestMedia.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test {
namespace {

struct KindEntry {
  TestVideoKind kind;
  const char* name;
  VideoSpec spec;
  bool realWorld = false;
};

constexpr int64_t kMillisecond = 10'000;

// Presentation times from runs of (frame count, spacing in 100 ns).
std::vector<int64_t> TimesOf(std::initializer_list<std::pair<int, int64_t>> runs) {
  std::vector<int64_t> times;
  int64_t next = 0;
  for (const auto& [count, spacing] : runs) {
    for (int i = 0; i < count; ++i, next += spacing) times.push_back(next);
  }
  return times;
}

// 30 fps for 2 s, then a frame every 67 to 100 ms, as a screen recorder writes an idle screen.
// The 100 ms spacings matter: a frame lasting the whole 0.1 s caching window leaves the next
// frame outside it.
std::vector<int64_t> ScreenRecorderTimes() {
  std::vector<int64_t> times = TimesOf({{60, 333'333}});
  const int64_t spacings[] = {67, 100, 100, 83, 75, 100, 71, 96};
  for (int i = 0; i < 72; ++i) times.push_back(times.back() + spacings[i % 8] * kMillisecond);
  return times;
}

VideoSpec VariableRate(std::string container) {
  return {.container = std::move(container), .frameCount = 132, .frameTimes100ns = ScreenRecorderTimes()};
}

const std::vector<KindEntry>& Kinds() {
  static const std::vector<KindEntry> kinds{
      {TestVideoKind::H264Mp4, "H264Mp4", {.frameCount = 90, .gopSize = 45, .maxBFrames = 3}},
      {TestVideoKind::H264Mp4Audio, "H264Mp4Audio", {.frameCount = 60, .withAudio = true}},
      {TestVideoKind::H264OpenGopMp4, "H264OpenGopMp4", {.frameCount = 90, .maxBFrames = 3, .openGop = true}},
      // AVI stores no presentation times, so libavformat cannot time reordered B-frames in it:
      // they would come out one frame late and the last one without a time.
      {TestVideoKind::Mpeg4Avi, "Mpeg4Avi",
       {.container = "avi", .encoder = "mpeg4", .frameCount = 50, .frameRate = {25, 1}, .gopSize = 12, .maxBFrames = 0}},
      {TestVideoKind::Vp9Webm, "Vp9Webm", {.container = "webm", .encoder = "libvpx-vp9", .gopSize = 15, .maxBFrames = 0}},
      {TestVideoKind::HevcMkv, "HevcMkv",
       {.container = "matroska", .encoder = "libx265", .frameCount = 40, .frameRate = {25, 1}, .gopSize = 20, .maxBFrames = 3}},
      {TestVideoKind::Mpeg2Ts, "Mpeg2Ts",
       {.container = "mpegts", .encoder = "mpeg2video", .frameCount = 40, .frameRate = {25, 1}, .gopSize = 12,
        .startOffset100ns = 14'000'000}},
      {TestVideoKind::Rotated90Mp4, "Rotated90Mp4", {.rotationDegrees = 90}},
      {TestVideoKind::NonSquareMp4, "NonSquareMp4", {.sampleAspect = {4, 3}}},
      // libx264 and libx265 refuse odd sizes in 4:2:0; VP9 stores them exactly.
      {TestVideoKind::OddSizeWebm, "OddSizeWebm",
       {.container = "webm", .encoder = "libvpx-vp9", .width = 321, .height = 241, .gopSize = 15, .maxBFrames = 0}},
      {TestVideoKind::DamagedH264Mp4, "DamagedH264Mp4",
       {.frameCount = 90, .damagedPacketFirst = 40, .damagedPacketCount = 8}, true},
      // Xvid packs a B-frame into the chunk of the picture before it whenever it makes B-frames.
      {TestVideoKind::PackedBFramesAvi, "PackedBFramesAvi",
       {.container = "avi", .encoder = "libxvid", .frameCount = 50, .frameRate = {25, 1}, .gopSize = 12, .maxBFrames = 1},
       true},
      {TestVideoKind::VfrH264Mkv, "VfrH264Mkv", VariableRate("matroska"), true},
      {TestVideoKind::VfrH264Mp4, "VfrH264Mp4", VariableRate("mp4"), true},
      {TestVideoKind::Ntsc30H264Mkv, "Ntsc30H264Mkv",
       {.container = "matroska", .frameCount = 90, .frameRate = {30000, 1001}}, true},
      {TestVideoKind::Ntsc30Vp9Webm, "Ntsc30Vp9Webm",
       {.container = "webm", .encoder = "libvpx-vp9", .frameCount = 60, .frameRate = {30000, 1001}, .maxBFrames = 0},
       true},
      {TestVideoKind::VfrPhoneMp4, "VfrPhoneMp4",
       {.frameCount = 80, .withAudio = true, .rotationDegrees = 90,
        .frameTimes100ns = TimesOf({{30, 333'333}, {20, 416'667}, {15, 666'667}, {15, 333'333}})},
       true},
  };
  return kinds;
}

const KindEntry& Entry(TestVideoKind kind) {
  const auto& kinds = Kinds();
  const auto found = std::find_if(kinds.begin(), kinds.end(), [&](const KindEntry& e) { return e.kind == kind; });
  if (found == kinds.end()) throw std::invalid_argument("unknown TestVideoKind " + std::to_string(static_cast<int>(kind)));
  return *found;
}

std::vector<TestVideoKind> KindsWhere(bool realWorld) {
  std::vector<TestVideoKind> kinds;
  for (const KindEntry& entry : Kinds())
    if (entry.realWorld == realWorld) kinds.push_back(entry.kind);
  return kinds;
}

// The file `name` in the per-process folder, written by `make` (given its path) on first use.
const std::string& CachedFile(const std::string& name, const std::function<void(const std::string&)>& make) {
  // Constructed first so that it is removed last, after nothing refers to its files any more.
  static TempFolder folder("korvane-media");
  static std::mutex mutex;
  // -- guarded by mutex (entries are never erased, so returned references stay valid)
  static std::map<std::string, std::string> files;
  std::lock_guard lock(mutex);
  if (const auto found = files.find(name); found != files.end()) return found->second;
  const std::string path = folder.File(name);
  make(path);
  return files.emplace(name, path).first->second;
}

std::string Extension(const std::string& container) {
  if (container == "matroska") return ".mkv";
  if (container == "mpegts") return ".ts";
  return "." + container;
}

}  // namespace

const std::vector<TestVideoKind>& AllTestVideoKinds() {
  static const std::vector<TestVideoKind> kinds = KindsWhere(false);
  return kinds;
}

const std::vector<TestVideoKind>& RealWorldTestVideoKinds() {
  static const std::vector<TestVideoKind> kinds = KindsWhere(true);
  return kinds;
}

const char* TestVideoKindName(TestVideoKind kind) { return Entry(kind).name; }

const VideoSpec& TestVideoSpec(TestVideoKind kind) { return Entry(kind).spec; }

const std::string& TestVideo(TestVideoKind kind) {
  const KindEntry& entry = Entry(kind);
  return CachedFile(std::string(entry.name) + Extension(entry.spec.container),
                    [&](const std::string& path) { WriteTestVideo(entry.spec, path); });
}

const std::string& BadMediaFile(BadMediaKind kind) {
  const auto text = [](std::string content) {
    return [content](const std::string& path) { std::ofstream(path, std::ios::binary) << content; };
  };
  // Cut at half the file: the index is small beside the pictures, so the cut falls inside the
  // media data, after an index at the front and before one at the end.
  const auto truncated = [](bool indexAtFront) {
    return [indexAtFront](const std::string& path) {
      VideoSpec spec = TestVideoSpec(TestVideoKind::H264Mp4);
      spec.indexAtFront = indexAtFront;
      std::filesystem::resize_file(path, std::filesystem::file_size(WriteTestVideo(spec, path)) / 2);
    };
  };
  switch (kind) {
    case BadMediaKind::AudioOnly:
      return CachedFile("AudioOnly.m4a", [](const std::string& path) { WriteTestAudio(1.0, path); });
    case BadMediaKind::Text: return CachedFile("Text.txt", text("This is a plain text file.\nIt holds no video at all.\n"));
    case BadMediaKind::Empty: return CachedFile("Empty.mp4", text(""));
    case BadMediaKind::TruncatedMp4: return CachedFile("TruncatedMp4.mp4", truncated(true));
    case BadMediaKind::TruncatedMp4NoIndex: return CachedFile("TruncatedMp4NoIndex.mp4", truncated(false));
  }
  throw std::invalid_argument("unknown BadMediaKind " + std::to_string(static_cast<int>(kind)));
}

const char* BadMediaKindName(BadMediaKind kind) {
  switch (kind) {
    case BadMediaKind::AudioOnly: return "AudioOnly";
    case BadMediaKind::Text: return "Text";
    case BadMediaKind::Empty: return "Empty";
    case BadMediaKind::TruncatedMp4: return "TruncatedMp4";
    case BadMediaKind::TruncatedMp4NoIndex: return "TruncatedMp4NoIndex";
  }
  return "Unknown";
}

const std::string& BenchmarkVideo(int frameCount) {
  if (frameCount < 1 || frameCount > kMaxFrameIndex + 1) {
    throw std::invalid_argument("BenchmarkVideo: frame count " + std::to_string(frameCount) + " is outside 1..65536");
  }
  const VideoSpec spec{.width = 1920, .height = 1080, .frameCount = frameCount, .gopSize = 60};
  return CachedFile("Benchmark1080p-" + std::to_string(frameCount) + ".mp4",
                    [&](const std::string& path) { WriteTestVideo(spec, path); });
}

}  // namespace korvane::test
