// What every subcommand shares: a private cache folder that is gone when the program ends (also
// after Ctrl-C), a terminal progress bar, the errors that end the program with a status, and a
// Session that opens a video, waits for its first pass and steps through it.
#pragma once

#include <korvane/Korvane.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace korvane::cli {

// Exit statuses: bad input (a file, a folder, a time the video does not have) and bad usage.
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitBadUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// SIGINT and SIGTERM only set a flag; waits check it and throw Interrupted, so that the stack
// unwinds through the decoder's close and the cache folder's removal.
void InstallInterruptHandler();
bool WasInterrupted();
void ThrowIfInterrupted();

// `$XDG_CACHE_HOME/korvane` (else `~/.cache/korvane`), made private to the user (0700).
std::filesystem::path DefaultCacheRoot();

// A folder of its own for one run, `run-PID` under `root`, made 0700 and removed with everything
// in it when this goes. Folders left by runs that were killed outright are removed on the way.
class CacheFolder {
 public:
  explicit CacheFolder(const std::filesystem::path& root);
  ~CacheFolder();
  CacheFolder(const CacheFolder&) = delete;
  CacheFolder& operator=(const CacheFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One line on stderr redrawn in place, only when stderr is a terminal.
class ProgressBar {
 public:
  ProgressBar(std::string label, bool enabled);
  ~ProgressBar() { Finish(); }
  void Show(double fraction, const std::string& detail = {});
  // Erases the bar, so that a line printed next starts clean; the next Show draws it again.
  void Clear();
  void Finish();

 private:
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  int lastPermille_ = -1;
};

struct OpenOptions {
  std::filesystem::path video;
  std::filesystem::path cacheRoot;  // empty: DefaultCacheRoot()
  uint32_t divisor = 1;
  CachingPolicy cachingPolicy;  // how frames off the ±0.1 s window are kept
  bool progress = true;  // the terminal progress bar during the first pass
  // Called about ten times a second during the first pass with its progress (0 to 1), instead
  // of the terminal bar; it may throw to give up.
  std::function<void(double)> onScanProgress;
};

// Seconds as the program prints them: milliseconds, e.g. "1.234".
std::string Seconds(int64_t ticks);
// "1.5" (seconds) to ticks; UsageError naming `option` for anything else.
int64_t ParseSeconds(const std::string& text, const std::string& option);

// An open video after its first pass.
class Session {
 public:
  // Throws InputError in plain words (no such file, a folder, unreadable, not a video, cache
  // folder not writable), Interrupted on Ctrl-C.
  explicit Session(const OpenOptions& options);

  VideoDecoder& Video() { return video_; }
  const std::filesystem::path& File() const { return file_; }
  double ScanSeconds() const { return scanSeconds_; }
  // The length of the first frame: the nominal frame duration (0 when unknown).
  int64_t NominalFrameDuration();

  // Shows the frame containing `time` and returns it (its `time` the frame's start).
  Frame ShowAt(int64_t time);
  // Steps one frame on or back and returns the frame; nullopt at either end.
  std::optional<Frame> Step(bool forward);

 private:
  // Waits until the position satisfies `arrived`, then for its frame.
  Frame WaitShown(const std::function<bool(int64_t position)>& arrived, const std::string& what);

  // Position reports, counted: a wait wakes on each and looks at the position itself, because
  // a late report of an earlier request can come after a new request.
  struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t count = 0;  // guarded by mutex
  };

  std::filesystem::path file_;
  CacheFolder cache_;  // outlives the decoder: removed after it has closed
  Device device_;
  VideoDecoder video_;
  std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  Subscription reportSubscription_;
  double scanSeconds_ = 0;
  std::chrono::seconds timeout_{120};
};

}  // namespace korvane::cli
