#include "Session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace korvane::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted.store(true); }

// How often waits look at the interrupt flag.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Makes `path` (one level) with mode 0700, or takes the existing one; `makePrivate` also narrows
// an existing folder of ours to 0700.
void MakePrivateFolder(const fs::path& path, bool makePrivate) {
  if (::mkdir(path.c_str(), 0700) == 0) return;
  const int error = errno;
  struct stat info {};
  if (error != EEXIST || ::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw InputError("cache folder " + path.string() + ": cannot be made (" + std::strerror(error) + ")");
  }
  if (makePrivate && info.st_uid == ::getuid() && (info.st_mode & 077) != 0) ::chmod(path.c_str(), 0700);
  if (::access(path.c_str(), W_OK | X_OK) != 0) {
    throw InputError("cache folder " + path.string() + ": not writable (" + std::strerror(errno) + ")");
  }
}

// Removes `run-PID` folders of processes that no longer exist (killed before they could clean).
void RemoveAbandonedRuns(const fs::path& root) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("run-", 0) != 0 || !entry.is_directory(ec) || entry.is_symlink(ec)) continue;
    long pid = 0;
    const char* digits = name.c_str() + 4;
    const auto [end, parsed] = std::from_chars(digits, name.c_str() + name.size(), pid);
    if (parsed != std::errc() || *end != '\0' || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
  }
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool WasInterrupted() { return interrupted.load(); }

void ThrowIfInterrupted() {
  if (WasInterrupted()) throw Interrupted();
}

fs::path DefaultCacheRoot() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = fs::path(home) / ".cache";
  } else {
    throw InputError("no cache folder: neither XDG_CACHE_HOME nor HOME is set (use --cache-dir)");
  }
  std::error_code ec;
  fs::create_directories(base, ec);
  const fs::path root = base / "korvane";
  MakePrivateFolder(root, true);
  return root;
}

CacheFolder::CacheFolder(const fs::path& root) {
  const fs::path parent = root.empty() ? DefaultCacheRoot() : root;
  std::error_code ec;
  if (!fs::is_directory(parent, ec)) throw InputError("cache folder " + parent.string() + ": no such folder");
  if (::access(parent.c_str(), W_OK | X_OK) != 0) {
    throw InputError("cache folder " + parent.string() + ": not writable (" + std::strerror(errno) + ")");
  }
  RemoveAbandonedRuns(parent);
  path_ = parent / ("run-" + std::to_string(::getpid()));
  fs::remove_all(path_, ec);
  MakePrivateFolder(path_, false);
}

CacheFolder::~CacheFolder() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

ProgressBar::ProgressBar(std::string label, bool enabled)
    : label_(std::move(label)), enabled_(enabled && ::isatty(STDERR_FILENO) == 1) {}

void ProgressBar::Show(double fraction, const std::string& detail) {
  if (!enabled_) return;
  constexpr int kWidth = 30;
  const double clamped = std::clamp(fraction, 0.0, 1.0);
  const int permille = static_cast<int>(clamped * 1000);
  if (permille == lastPermille_ && detail.empty()) return;
  lastPermille_ = permille;
  const int filled = static_cast<int>(clamped * kWidth);
  std::string line = "\r" + label_ + " [" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
                     std::to_string(permille / 10) + "%";
  if (!detail.empty()) line += "  " + detail;
  std::cerr << line << "\x1b[K" << std::flush;
  drawn_ = true;
}

void ProgressBar::Clear() {
  if (drawn_) std::cerr << "\r\x1b[K" << std::flush;
  drawn_ = false;
  lastPermille_ = -1;
}

void ProgressBar::Finish() {
  if (drawn_) std::cerr << "\n" << std::flush;
  drawn_ = false;
}

std::string Seconds(int64_t ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks) / kTicksPerSecond);
  return text;
}

int64_t ParseSeconds(const std::string& text, const std::string& option) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0 || seconds > 1e9) {
    throw UsageError(option + " " + text + ": not a time in seconds (e.g. 1.5)");
  }
  return std::llround(seconds * kTicksPerSecond);
}

Session::Session(const OpenOptions& options) : file_(options.video), cache_(options.cacheRoot) {
  std::error_code ec;
  const std::string name = file_.string();
  if (!fs::exists(file_, ec)) throw InputError(name + ": no such file");
  if (fs::is_directory(file_, ec)) throw InputError(name + ": is a folder, not a video file");
  if (::access(file_.c_str(), R_OK) != 0) throw InputError(name + ": cannot be read (" + std::strerror(errno) + ")");
  Stream stream;
  try {
    stream = Stream::FromFile(file_);
  } catch (const Error& e) {
    throw InputError(name + ": cannot be opened (" + e.what() + ")");
  }
  device_ = Device::CreateSoftware();
  reportSubscription_ = video_.OnPositionChanged([reports = reports_](int64_t) {
    std::lock_guard lock(reports->mutex);
    ++reports->count;
    reports->changed.notify_all();
  });
  const uint32_t divisor = options.divisor;
  // Frames are decoded at the divisor's size from the first pass on: it must be set between
  // loading and the pass, which is where DecoderLoaded comes.
  Subscription loaded = video_.OnLoaded([this, divisor] { video_.SetResolutionDivisor(divisor); });
  video_.SetCachingPolicy(options.cachingPolicy);
  const auto start = std::chrono::steady_clock::now();
  try {
    video_.Open(stream, cache_.Path(), device_);
  } catch (const Error& e) {
    throw InputError(name + ": cannot be opened (" + e.what() + ")");
  }
  ProgressBar bar("scanning " + file_.filename().string(), options.progress && !options.onScanProgress);
  try {
    while (!video_.WaitForInitialized(kPollInterval)) {
      ThrowIfInterrupted();
      if (options.onScanProgress) {
        options.onScanProgress(video_.InitializationProgress());
      } else {
        bar.Show(video_.InitializationProgress());
      }
    }
  } catch (const Error&) {
    throw InputError(name + ": not a video this program can read (no decodable video stream)");
  }
  bar.Show(1.0);
  bar.Finish();
  scanSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int64_t Session::NominalFrameDuration() { return video_.FrameDuration(0); }

Frame Session::WaitShown(const std::function<bool(int64_t)>& arrived, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  uint64_t seen = 0;
  for (;;) {
    {
      std::lock_guard lock(reports_->mutex);
      seen = reports_->count;
    }
    if (arrived(video_.Position())) break;
    ThrowIfInterrupted();
    if (std::chrono::steady_clock::now() > deadline) {
      throw InputError(file_.string() + ": no frame came for " + what);
    }
    std::unique_lock lock(reports_->mutex);
    reports_->changed.wait_for(lock, kPollInterval, [&] { return reports_->count != seen; });
  }
  // The position is reported once its frame is decoded; a frame that went to disk meanwhile is
  // back once the window around it is cached.
  const int64_t position = video_.Position();
  std::optional<Frame> frame = video_.FrameAt(position);
  while (!frame) {
    ThrowIfInterrupted();
    if (std::chrono::steady_clock::now() > deadline) {
      throw InputError(file_.string() + ": the frame at " + Seconds(position) + " s could not be decoded");
    }
    video_.WaitForCached(position, kPollInterval);
    frame = video_.FrameAt(position);
  }
  frame->time = position;
  return *std::move(frame);
}

Frame Session::ShowAt(int64_t time) {
  if (time > video_.Duration()) {
    throw InputError(file_.string() + ": no frame at " + Seconds(time) + " s (the video lasts " +
                     Seconds(video_.Duration()) + " s)");
  }
  // A request inside the frame shown changes nothing, so no position report would answer it.
  const int64_t shown = video_.Position();
  if (shown >= 0 && shown <= time && time < shown + video_.FrameDuration(shown)) {
    if (std::optional<Frame> frame = video_.FrameAt(shown)) {
      frame->time = shown;
      return *std::move(frame);
    }
  }
  video_.SetPosition(time);
  return WaitShown(
      [&](int64_t position) {
        return position != shown || (position >= 0 && position <= time && time < position + video_.FrameDuration(position));
      },
      Seconds(time) + " s");
}

std::optional<Frame> Session::Step(bool forward) {
  if (forward ? !video_.HasNextFrame() : !video_.HasPreviousFrame()) return std::nullopt;
  const int64_t shown = video_.Position();
  try {
    forward ? video_.MoveNext() : video_.MovePrevious();
  } catch (const Error& e) {
    if (e.code() == E_BOUNDS) return std::nullopt;
    throw;
  }
  return WaitShown([&](int64_t position) { return forward ? position > shown : position < shown; },
                   std::string(forward ? "the step after " : "the step before ") + Seconds(shown) + " s");
}

}  // namespace korvane::cli
