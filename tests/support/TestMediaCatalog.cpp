// TestMediaCatalog: the ready-made files, each written once per process into one temp folder
// that is removed when the process exits. TestVideo, BadMediaFile and BenchmarkVideo are its
// entry points.
#include "TestMedia.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace korvane::test {
namespace {

VideoSpec MakeSpec(const char* container, const char* encoder, int frameCount, Ratio frameRate, int gopSize,
                   int maxBFrames) {
  VideoSpec spec;
  spec.container = container;
  spec.encoder = encoder;
  spec.frameCount = frameCount;
  spec.frameRate = frameRate;
  spec.gopSize = gopSize;
  spec.maxBFrames = maxBFrames;
  return spec;
}

VideoSpec SpecOf(TestVideoKind kind) {
  switch (kind) {
    case TestVideoKind::H264Mp4: return MakeSpec("mp4", "libx264", 90, {30, 1}, 45, 3);
    case TestVideoKind::H264Mp4Audio: {
      VideoSpec spec = MakeSpec("mp4", "libx264", 60, {30, 1}, 30, 2);
      spec.withAudio = true;
      return spec;
    }
    case TestVideoKind::H264OpenGopMp4: {
      VideoSpec spec = MakeSpec("mp4", "libx264", 90, {30, 1}, 30, 3);
      spec.openGop = true;
      return spec;
    }
    case TestVideoKind::Mpeg4Avi:
      // AVI stores no presentation times, so libavformat cannot time reordered B-frames in it:
      // they come out one frame late and the last one without a time.
      return MakeSpec("avi", "mpeg4", 50, {25, 1}, 12, 0);
    case TestVideoKind::Vp9Webm: return MakeSpec("webm", "libvpx-vp9", 30, {30, 1}, 15, 0);
    case TestVideoKind::HevcMkv: return MakeSpec("matroska", "libx265", 40, {25, 1}, 20, 3);
    case TestVideoKind::Mpeg2Ts: {
      VideoSpec spec = MakeSpec("mpegts", "mpeg2video", 40, {25, 1}, 12, 2);
      spec.startOffset100ns = 14'000'000;
      return spec;
    }
    case TestVideoKind::Rotated90Mp4: {
      VideoSpec spec = MakeSpec("mp4", "libx264", 30, {30, 1}, 30, 2);
      spec.rotationDegrees = 90;
      return spec;
    }
    case TestVideoKind::NonSquareMp4: {
      VideoSpec spec = MakeSpec("mp4", "libx264", 30, {30, 1}, 30, 2);
      spec.sampleAspect = {4, 3};
      return spec;
    }
    case TestVideoKind::OddSizeWebm: {
      // libx264 and libx265 refuse odd sizes in 4:2:0; VP9 stores them exactly.
      VideoSpec spec = MakeSpec("webm", "libvpx-vp9", 30, {30, 1}, 15, 0);
      spec.width = 321;
      spec.height = 241;
      return spec;
    }
  }
  throw std::invalid_argument("unknown TestVideoKind " + std::to_string(static_cast<int>(kind)));
}

std::string Extension(const std::string& container) {
  if (container == "matroska") return ".mkv";
  if (container == "mpegts") return ".ts";
  return "." + container;
}

const char* BadMediaKindName(BadMediaKind kind) {
  switch (kind) {
    case BadMediaKind::AudioOnly: return "AudioOnly";
    case BadMediaKind::Text: return "Text";
    case BadMediaKind::Empty: return "Empty";
    case BadMediaKind::TruncatedMp4: return "TruncatedMp4";
    case BadMediaKind::TruncatedMp4NoIndex: return "TruncatedMp4NoIndex";
  }
  throw std::invalid_argument("unknown BadMediaKind " + std::to_string(static_cast<int>(kind)));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

uint64_t BigEndian(const std::string& bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// The offset halfway through the payload of an MP4's top-level 'mdat' box.
size_t MiddleOfMediaData(const std::string& mp4, const std::string& path) {
  size_t at = 0;
  while (at + 8 <= mp4.size()) {
    uint64_t size = BigEndian(mp4, at, 4);
    size_t header = 8;
    if (size == 1 && at + 16 <= mp4.size()) {
      size = BigEndian(mp4, at + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = mp4.size() - at;  // the box runs to the end of the file
    }
    if (size < header || size > mp4.size() - at) break;
    if (mp4.compare(at + 4, 4, "mdat") == 0) return at + header + (size - header) / 2;
    at += size;
  }
  throw std::runtime_error(path + " has no complete top-level mdat box");
}

class TestMediaCatalog {
 public:
  static TestMediaCatalog& Instance() {
    static TestMediaCatalog catalog;
    return catalog;
  }

  const std::string& Video(TestVideoKind kind) {
    std::lock_guard lock(mutex_);
    auto found = videos_.find(kind);
    if (found != videos_.end()) return found->second;
    const VideoSpec& spec = TestVideoSpec(kind);
    const std::string path = folder_.File(TestVideoKindName(kind) + Extension(spec.container));
    return videos_.emplace(kind, WriteTestVideo(spec, path)).first->second;
  }

  const std::string& Bad(BadMediaKind kind) {
    std::lock_guard lock(mutex_);
    auto found = badFiles_.find(kind);
    if (found != badFiles_.end()) return found->second;
    return badFiles_.emplace(kind, MakeBad(kind)).first->second;
  }

  const std::string& Benchmark(int frameCount) {
    std::lock_guard lock(mutex_);
    auto found = benchmarks_.find(frameCount);
    if (found != benchmarks_.end()) return found->second;
    const std::string path = folder_.File("Benchmark1080p-" + std::to_string(frameCount) + ".mp4");
    return benchmarks_.emplace(frameCount, WriteTestVideo(BenchmarkSpec(frameCount), path)).first->second;
  }

 private:
  TestMediaCatalog() : folder_("korvane-media") {}

  std::string MakeBad(BadMediaKind kind) {
    const std::string name = BadMediaKindName(kind);
    switch (kind) {
      case BadMediaKind::AudioOnly: return WriteTestAudio(1.0, folder_.File(name + ".m4a"));
      case BadMediaKind::Text: {
        const std::string path = folder_.File(name + ".txt");
        WriteWholeFile(path, "This is a plain text file.\nIt holds no video at all.\n");
        return path;
      }
      case BadMediaKind::Empty: {
        const std::string path = folder_.File(name + ".mp4");
        WriteWholeFile(path, "");
        return path;
      }
      case BadMediaKind::TruncatedMp4:
      case BadMediaKind::TruncatedMp4NoIndex: {
        VideoSpec spec = TestVideoSpec(TestVideoKind::H264Mp4);
        spec.indexAtFront = kind == BadMediaKind::TruncatedMp4;
        const std::string whole = WriteTestVideo(spec, folder_.File(name + "-whole.mp4"));
        const std::string bytes = ReadWholeFile(whole);
        const std::string path = folder_.File(name + ".mp4");
        WriteWholeFile(path, bytes.substr(0, MiddleOfMediaData(bytes, whole)));
        return path;
      }
    }
    throw std::invalid_argument("unknown BadMediaKind " + std::to_string(static_cast<int>(kind)));
  }

  // Declared first so that it is removed last, after nothing refers to its files any more.
  TempFolder folder_;
  std::mutex mutex_;
  // -- guarded by mutex_ (entries are never erased, so returned references stay valid)
  std::map<TestVideoKind, std::string> videos_;
  std::map<BadMediaKind, std::string> badFiles_;
  std::map<int, std::string> benchmarks_;
};

}  // namespace

const std::vector<TestVideoKind>& AllTestVideoKinds() {
  static const std::vector<TestVideoKind> kinds{TestVideoKind::H264Mp4,        TestVideoKind::H264Mp4Audio,
                                                TestVideoKind::H264OpenGopMp4, TestVideoKind::Mpeg4Avi,
                                                TestVideoKind::Vp9Webm,        TestVideoKind::HevcMkv,
                                                TestVideoKind::Mpeg2Ts,        TestVideoKind::Rotated90Mp4,
                                                TestVideoKind::NonSquareMp4,   TestVideoKind::OddSizeWebm};
  return kinds;
}

const char* TestVideoKindName(TestVideoKind kind) {
  switch (kind) {
    case TestVideoKind::H264Mp4: return "H264Mp4";
    case TestVideoKind::H264Mp4Audio: return "H264Mp4Audio";
    case TestVideoKind::H264OpenGopMp4: return "H264OpenGopMp4";
    case TestVideoKind::Mpeg4Avi: return "Mpeg4Avi";
    case TestVideoKind::Vp9Webm: return "Vp9Webm";
    case TestVideoKind::HevcMkv: return "HevcMkv";
    case TestVideoKind::Mpeg2Ts: return "Mpeg2Ts";
    case TestVideoKind::Rotated90Mp4: return "Rotated90Mp4";
    case TestVideoKind::NonSquareMp4: return "NonSquareMp4";
    case TestVideoKind::OddSizeWebm: return "OddSizeWebm";
  }
  throw std::invalid_argument("unknown TestVideoKind " + std::to_string(static_cast<int>(kind)));
}

const VideoSpec& TestVideoSpec(TestVideoKind kind) {
  // Built on first use from SpecOf; immutable afterwards, so no lock is needed to read it.
  static const std::map<TestVideoKind, VideoSpec> specs = [] {
    std::map<TestVideoKind, VideoSpec> all;
    for (TestVideoKind each : AllTestVideoKinds()) all.emplace(each, SpecOf(each));
    return all;
  }();
  const auto found = specs.find(kind);
  if (found == specs.end()) {
    throw std::invalid_argument("unknown TestVideoKind " + std::to_string(static_cast<int>(kind)));
  }
  return found->second;
}

const std::string& TestVideo(TestVideoKind kind) { return TestMediaCatalog::Instance().Video(kind); }

const std::string& BadMediaFile(BadMediaKind kind) { return TestMediaCatalog::Instance().Bad(kind); }

VideoSpec BenchmarkSpec(int frameCount) {
  VideoSpec spec = MakeSpec("mp4", "libx264", frameCount, {30, 1}, 60, 2);
  spec.width = 1920;
  spec.height = 1080;
  return spec;
}

const std::string& BenchmarkVideo(int frameCount) {
  if (frameCount < 1 || frameCount > kMaxFrameIndex + 1) {
    throw std::invalid_argument("BenchmarkVideo: frame count " + std::to_string(frameCount) +
                                " is outside 1..65536");
  }
  return TestMediaCatalog::Instance().Benchmark(frameCount);
}

}  // namespace korvane::test
