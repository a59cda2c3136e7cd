// Bad input as the application meets it: through the front end's public interface only, each row
// a bad video or a hostile disk. What the application must see: a file that is no video is one
// ErrorOccured 0 and nothing else; a stream that fails is ErrorOccured 1; a cache folder that
// misbehaves still shows every frame it asks for, exactly (the disk cache only ever saves
// decoding). In every row nothing crashes or hangs, and nothing on disk outside the cache folder
// changes. (Stepping through a damaged file is the decoder's walk over the files from the field.)
#include "interop/InteropTestSupport.h"

#include "platform/win32/Stdio.h"
#include "support/FailingStream.h"
#include "support/TestMedia.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

enum class Outcome {
  kNotAVideo,  // ErrorOccured 0, nothing else; the interop stays unloaded
  kReadError,  // ErrorOccured 1 during the first pass, which never ends
  kPlays,      // no error; every frame asked for shows its own picture
};

class BadInputFixture;

struct Row {
  const char* name;
  Outcome outcome;
  std::function<ComPtr<IRandomAccessStream>(BadInputFixture&)> video;
  std::function<void(BadInputFixture&)> arrange = nullptr;  // before Open
  // Once, inside the first progress event: on the decoder's thread while it stores frames.
  std::function<void(BadInputFixture&)> duringFirstPass = nullptr;
  // After the first pass; returns the frame times to visit before the usual ones.
  std::function<std::vector<int64_t>(BadInputFixture&)> afterFirstPass = nullptr;
};

// A small H.264 file whose first pass leaves most frames on disk.
const std::string& PlainVideo() {
  static const TempFolder folder("korvane-bad-input-media");
  static const std::string path =
      WriteTestVideo({.width = 160, .height = 120, .frameCount = 60, .gopSize = 15}, folder.File("plain.mp4"));
  return path;
}

// The frames an application must be able to step to in `path`, with their pictures.
std::vector<ReferenceFrame> Reachable(const std::string& path, const VideoSpec& spec) {
  std::vector<ReferenceFrame> frames = FramesToReach(DecodeReference(path, true), spec);
  const int64_t origin = frames.empty() ? 0 : frames.front().time100ns;
  for (ReferenceFrame& frame : frames) frame.time100ns -= origin;
  return frames;
}

// Every entry under `root` (links not followed) with its kind and content, except what lies
// inside `owned` when that is a real folder: the part of the disk a row must leave alone.
std::map<std::string, std::string> Untouchable(const fs::path& root, const fs::path& owned) {
  std::map<std::string, std::string> entries;
  const bool ownedIsFolder = fs::is_directory(fs::symlink_status(owned));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path path = it->path();
    if (ownedIsFolder && path == owned) {
      it.disable_recursion_pending();
      continue;
    }
    const fs::file_status status = fs::symlink_status(path);
    std::string& entry = entries[path.lexically_relative(root).string()];
    if (fs::is_symlink(status)) {
      entry = "link to " + fs::read_symlink(path).string();
    } else if (fs::is_directory(status)) {
      entry = "folder";
    } else {
      std::ifstream file(path, std::ios::binary);
      entry = "file " + std::string(std::istreambuf_iterator<char>(file), {});
    }
  }
  return entries;
}

class BadInputFixture : public InteropFixture {
 public:
  // A folder holding the cache folder the application names ("cache" unless a row says
  // otherwise) and, beside it, a folder with content that must survive every row.
  const TempFolder sandbox_{"korvane-bad-input"};
  fs::path cachePath_ = sandbox_.Root() / "cache";
  const TempFolder media_{"korvane-bad-input-files"};

  // The frame files in the cache folder, by their (relative) times, read from their names.
  std::map<int64_t, fs::path> FrameFiles() const {
    std::map<int64_t, fs::path> files;
    for (const auto& entry : fs::directory_iterator(cachePath_))
      if (entry.path().extension() == ".tmp") files[std::stoll(entry.path().filename().string())] = entry.path();
    return files;
  }
  // Replaces the file of the latest frame on disk (far from the position: nothing keeps it in
  // memory) with `content` made from the other frame files; returns that frame's time.
  std::vector<int64_t> ReplaceLastFrameFile(const std::function<std::string(const std::string& other)>& content) {
    const std::map<int64_t, fs::path> files = FrameFiles();
    EXPECT_GE(files.size(), 2u) << "the first pass leaves frames on disk";
    if (files.size() < 2) return {};
    std::ifstream other(std::prev(files.end(), 2)->second, std::ios::binary);
    const std::string replacement = content(std::string(std::istreambuf_iterator<char>(other), {}));
    std::ofstream(files.rbegin()->second, std::ios::binary | std::ios::trunc) << replacement;
    return {files.rbegin()->first};
  }

 protected:
  void SetUp() override {
    InteropFixture::SetUp();
    sandbox_.MakeFolder("outside/inner");
    sandbox_.WriteFile("outside/keep.txt", "the application's own file");
    sandbox_.WriteFile("outside/0_0_0.tmp", "named as a frame file");
    sandbox_.WriteFile("outside/precache.data", "named as the frame size file");
  }
  void TearDown() override {
    SetDiskWriteLimitForTesting(std::nullopt);
    InteropFixture::TearDown();
  }

  // Asks for each time and checks the frame shown there, then every frame a few apart.
  void VisitFrames(const std::vector<ReferenceFrame>& frames, std::vector<int64_t> times) {
    // Asking for the frame shown already changes nothing and raises nothing: the first frame last.
    for (size_t i = 7; i < frames.size(); i += 7) times.push_back(frames[i].time100ns);
    times.push_back(frames.back().time100ns);
    times.push_back(frames.front().time100ns);
    for (int64_t time : times) {
      const auto frame = std::find_if(frames.begin(), frames.end(), [&](auto& f) { return f.time100ns == time; });
      ASSERT_NE(frame, frames.end()) << "no frame at " << time;
      const int64_t end = std::next(frame) == frames.end() ? INT64_MAX : std::next(frame)->time100ns;
      const size_t mark = log_.Size();
      ASSERT_EQ(S_OK, interop_->put_Position(time));
      ASSERT_TRUE(log_.WaitForPositionIn(time, end, mark))
          << "position " << time << "; events " << ::testing::PrintToString(log_.Lines());
      EXPECT_EQ(frame->frameIndex, FrameIndexAt(time)) << "at " << time;
    }
  }
};

class BadInput : public BadInputFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(BadInput, Open_ProblemSeenAndNothingOutsideTheCacheTouched) {
  const Row& row = GetParam();
  if (row.arrange) row.arrange(*this);
  const auto before = Untouchable(sandbox_.Root(), cachePath_);
  if (row.duringFirstPass) {
    auto once = std::make_shared<std::once_flag>();
    log_.SetHook([this, once, action = row.duringFirstPass](const RaisedEvent& e) {
      if (e.name == "progress") std::call_once(*once, [&] { action(*this); });
    });
  }
  const ComPtr<IRandomAccessStream> stream = row.video(*this);
  ASSERT_TRUE(stream);
  const Platform::String folder(cachePath_.string());
  ASSERT_EQ(S_OK, interop_->Open(stream.Get(), folder.Get(), graphics_.Get()));

  switch (row.outcome) {
    case Outcome::kNotAVideo: {
      ASSERT_TRUE(log_.WaitFor("error"));
      boolean initialized = true;
      EXPECT_EQ(S_OK, interop_->get_IsInitialized(&initialized));
      EXPECT_FALSE(initialized);
      EXPECT_EQ(-1, FrameIndexAt(0)) << "no frame";
      EXPECT_EQ(S_OK, interop_->Close());
      EXPECT_EQ(std::vector<std::string>{"error 0"}, log_.Lines());
      break;
    }
    case Outcome::kReadError: {
      ASSERT_TRUE(log_.WaitFor("error"));
      EXPECT_EQ(S_OK, interop_->Close());
      const std::vector<std::string> lines = log_.Lines();
      EXPECT_EQ("loaded", lines.empty() ? "" : lines.front());
      EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "error 1")) << ::testing::PrintToString(lines);
      EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "initialized")) << ::testing::PrintToString(lines);
      break;
    }
    case Outcome::kPlays: {
      ASSERT_NO_FATAL_FAILURE(WaitForFirstPass());
      log_.SetHook(nullptr);
      std::vector<int64_t> first = row.afterFirstPass ? row.afterFirstPass(*this) : std::vector<int64_t>{};
      ASSERT_NO_FATAL_FAILURE(VisitFrames(Reachable(PlainVideo(), {.frameCount = 60}), first));
      EXPECT_EQ(0u, log_.Count("error")) << ::testing::PrintToString(log_.Lines());
      EXPECT_EQ(S_OK, interop_->Close());
      break;
    }
  }
  interop_.Reset();
  EXPECT_EQ(before, Untouchable(sandbox_.Root(), cachePath_));
}

ComPtr<IRandomAccessStream> Plain(BadInputFixture&) { return FileStream(PlainVideo()); }
template <BadMediaKind kind>
ComPtr<IRandomAccessStream> Bad(BadInputFixture&) { return FileStream(BadMediaFile(kind)); }

void CacheParentIsAFile(BadInputFixture& t) {
  t.sandbox_.WriteFile("file", "a file where a folder should be");
  t.cachePath_ = t.sandbox_.Root() / "file" / "cache";
}

const Row kRows[] = {
    {"EmptyFile", Outcome::kNotAVideo, Bad<BadMediaKind::Empty>},
    {"TextFile", Outcome::kNotAVideo, Bad<BadMediaKind::Text>},
    {"Mp4TruncatedBeforeItsIndex", Outcome::kNotAVideo, Bad<BadMediaKind::TruncatedMp4NoIndex>},
    {"AudioOnly", Outcome::kNotAVideo, Bad<BadMediaKind::AudioOnly>},
    {"StreamFailsReadsHalfWay", Outcome::kReadError,
     [](BadInputFixture& t) {
       // The index at the front, so that opening succeeds and the pictures fail.
       const std::string path =
           WriteTestVideo({.width = 160, .height = 120, .frameCount = 120, .gopSize = 15, .indexAtFront = true},
                          t.media_.File("index-at-front.mp4"));
       UINT64 size = 0;
       ComPtr<IRandomAccessStream> file = FileStream(path);
       file->get_Size(&size);
       return ComPtr<IRandomAccessStream>(MakeRuntimeObject<FailingStream>(file, size / 2));
     }},
    {"CacheFolderCannotBeCreated", Outcome::kPlays, Plain, CacheParentIsAFile},
    {"CachePathIsAFile", Outcome::kPlays, Plain,
     [](BadInputFixture& t) { t.sandbox_.WriteFile("cache", "the application's file, named as the cache folder"); }},
    {"CachePathIsALinkToAnotherFolder", Outcome::kPlays, Plain,
     [](BadInputFixture& t) { t.sandbox_.MakeLink("cache", t.sandbox_.Root() / "outside"); }},
    {"CacheFolderRemovedWhileFramesAreStored", Outcome::kPlays, Plain, nullptr,
     [](BadInputFixture& t) { fs::remove_all(t.cachePath_); }},
    {"DiskFillsUp", Outcome::kPlays, Plain,
     // Room for about three frame files, the third written only in part.
     [](BadInputFixture&) { SetDiskWriteLimitForTesting(100'000); }},
    // Nothing on disk, and the last frame asked for first: the first pass left the reader at
    // the end, from where only a seek back reaches it.
    {"CacheFolderCannotBeCreatedLastFrameFirst", Outcome::kPlays, Plain, CacheParentIsAFile, nullptr,
     [](BadInputFixture&) { return std::vector<int64_t>{Reachable(PlainVideo(), {.frameCount = 60}).back().time100ns}; }},
    {"FrameFileReplacedByAShorterOne", Outcome::kPlays, Plain, nullptr, nullptr,
     [](BadInputFixture& t) { return t.ReplaceLastFrameFile([](const std::string& other) { return other.substr(0, 1000); }); }},
    {"FrameFileReplacedByALongerOne", Outcome::kPlays, Plain, nullptr, nullptr,
     [](BadInputFixture& t) {
       return t.ReplaceLastFrameFile([](const std::string& other) { return other + std::string(4096, '\x10'); });
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, BadInput, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::test
