// The Python package `korvane`: frame-exact stepping through a video from Python, frames as
// NumPy arrays. A thin layer over the C++ API (korvane/Korvane.hpp) and nothing else of the
// library; korvane.pyi carries the same contract for type checkers.
//
// Threads and the GIL. Every call that waits (the first pass, a step, a seek, a frame's
// read-back, an encode, close) releases the GIL. The decoder raises its events on its own
// threads; a Python callback runs there with the GIL taken for the call. A callback holds the
// C++ subscription's lock while it waits for the GIL, so whatever ends a subscription (close,
// replacing a callback) must not hold the GIL while it waits for a callback to finish: every
// such wait goes through ReleaseGil, whoever calls it (Python code or the garbage collector).
//
// Ownership. A Python Video owns a VideoCore (shared_ptr); frame iterators share it. A Frame
// holds the decoded texture and the device only, so it outlives its video and its pixels stay
// those of its frame (the decoder reuses a texture only when nothing else holds it).
#include <korvane/Korvane.hpp>

#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace py = pybind11;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr double kTicksPerSecondF = static_cast<double>(korvane::kTicksPerSecond);
// How often waits look for Ctrl-C and a close from another thread.
constexpr auto kPollInterval = 100ms;
// A step, a seek or a frame that takes longer than this has failed.
constexpr auto kStepBound = 120s;
// How long a video that the decoder refused at Open takes to say why.
constexpr auto kRefusalBound = 10s;
constexpr HRESULT kClosed = static_cast<HRESULT>(0x80000013);  // RO_E_CLOSED
// The only quality the library's encoder writes at.
constexpr double kJpegQuality = 0.9;

// Objects of this module alive now (videos, frames, iterators): korvane._live_objects().
std::atomic<long> liveObjects{0};
struct Counted {
  Counted() { ++liveObjects; }
  Counted(const Counted&) { ++liveObjects; }
  ~Counted() { --liveObjects; }
};

// korvane.Error, made in the module's initialisation; never freed (exceptions may be raised
// until the interpreter ends).
PyObject* errorType = nullptr;

// An OSError subclass to raise with errno and a file name, as open() does.
struct OsError {
  PyObject* type;
  int error;
  std::string text;
  std::string path;
};
struct TimeoutError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int64_t ToTicks(double seconds, const char* what) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e9) {
    throw py::value_error(std::string(what) + ": " + std::to_string(seconds) + " is not a time in seconds");
  }
  return std::llround(seconds * kTicksPerSecondF);
}
double ToSeconds(int64_t ticks) { return static_cast<double>(ticks) / kTicksPerSecondF; }

// Releases the GIL for its lifetime when the calling thread holds it (a wait may be entered from
// Python code, from a destructor run by the collector, or from a thread without the GIL).
class ReleaseGil {
 public:
  ReleaseGil() : state_(Py_IsInitialized() && PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
  ~ReleaseGil() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

bool InterpreterRunning() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// Raises KeyboardInterrupt and the like in a wait; takes the GIL for the check.
void CheckSignals() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// A Python object that C++ threads may hold and drop: the last owner takes the GIL to let it go.
using PyRef = std::shared_ptr<py::object>;
PyRef Hold(py::object object) {
  return PyRef(new py::object(std::move(object)), [](py::object* held) {
    if (InterpreterRunning()) {
      py::gil_scoped_acquire gil;
      delete held;
    } else {
      held->release();  // the interpreter is gone or going: leak rather than touch it
      delete held;
    }
  });
}

// The private cache folder root: $XDG_CACHE_HOME/korvane (else ~/.cache/korvane), made 0700.
fs::path DefaultCacheRoot() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = fs::path(home) / ".cache";
  } else {
    throw OsError{PyExc_FileNotFoundError, ENOENT, "no cache folder: neither XDG_CACHE_HOME nor HOME is set", ""};
  }
  std::error_code ignored;
  fs::create_directories(base, ignored);
  const fs::path root = base / "korvane";
  if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
    throw OsError{PyExc_PermissionError, errno, "cache folder cannot be made", root.string()};
  }
  return root;
}

// A folder of its own under `root` for one Video, made 0700 (mkdtemp), removed with everything in
// it when this goes. The decoder wipes the folder it is given, so it never gets `root` itself.
class CacheFolder {
 public:
  explicit CacheFolder(const std::optional<fs::path>& root) {
    const fs::path parent = root ? *root : DefaultCacheRoot();
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0) throw OsError{PyExc_FileNotFoundError, errno, "no cache folder", parent.string()};
    if (!S_ISDIR(info.st_mode)) throw OsError{PyExc_NotADirectoryError, ENOTDIR, "cache folder", parent.string()};
    // access() passes everything for root; a folder that refuses the file made in it is the test
    // that holds for every user.
    std::string pattern = (parent / "video-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw OsError{errno == EACCES || errno == EPERM || errno == EROFS ? PyExc_PermissionError : PyExc_OSError, errno,
                    std::string("cache folder not writable: ") + std::strerror(errno), parent.string()};
    }
    path_ = pattern;
  }
  ~CacheFolder() { Remove(); }
  CacheFolder(const CacheFolder&) = delete;
  CacheFolder& operator=(const CacheFolder&) = delete;

  const fs::path& Path() const { return path_; }
  void Remove() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }

 private:
  fs::path path_;
};

// ---- Frame ----

// One decoded frame. Its NV12 bytes are read back from the texture on first use and kept.
class FrameData : Counted {
 public:
  FrameData(ComPtr<ID3D11Device> device, ComPtr<ID3D11Texture2D> texture, uint32_t width, uint32_t height,
            int64_t start, int64_t nominalDuration)
      : device_(std::move(device)), texture_(std::move(texture)), width_(width), height_(height), start_(start),
        nominalDuration_(nominalDuration) {}

  double Time() const { return ToSeconds(start_); }
  int64_t Ticks() const { return start_; }
  std::optional<int64_t> Index() const {
    if (nominalDuration_ <= 0) return std::nullopt;
    return (start_ + nominalDuration_ / 2) / nominalDuration_;
  }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }

  // The packed NV12 bytes, read back once. The GIL goes before the lock: a thread that holds the
  // lock never waits for the GIL.
  const korvane::Frame& Pixels() {
    if (!ready_.load(std::memory_order_acquire)) {
      ReleaseGil release;
      std::lock_guard lock(mutex_);
      if (!ready_.load(std::memory_order_relaxed)) {
        pixels_ = korvane::ReadFrame(device_.Get(), texture_.Get(), start_, width_, height_);
        ready_.store(true, std::memory_order_release);
      }
    }
    return *pixels_;
  }

  py::array Nv12(py::object self) {
    const korvane::Frame& pixels = Pixels();
    // A view of the frame's own copy, kept alive by the Frame; read-only because it is shared by
    // every nv12 array of this frame.
    py::array_t<uint8_t> array({static_cast<py::ssize_t>(pixels.nv12.size())}, {1}, pixels.nv12.data(), self);
    array.attr("flags").attr("writeable") = false;
    return array;
  }

  py::array_t<uint8_t> ToRgb() {
    const korvane::Frame& pixels = Pixels();
    py::array_t<uint8_t> rgb({static_cast<py::ssize_t>(height_), static_cast<py::ssize_t>(width_), py::ssize_t{3}});
    uint8_t* out = rgb.mutable_data();
    ReleaseGil release;
    std::unique_ptr<SwsContext, decltype(&sws_freeContext)> context(
        sws_getContext(static_cast<int>(width_), static_cast<int>(height_), AV_PIX_FMT_NV12, static_cast<int>(width_),
                       static_cast<int>(height_), AV_PIX_FMT_RGB24, SWS_BICUBIC,
                       nullptr, nullptr, nullptr),
        &sws_freeContext);
    if (!context) korvane::detail::Throw(E_FAIL, "Frame.to_rgb", "no conversion for " + SizeText());
    const uint8_t* planes[4] = {pixels.nv12.data(), pixels.Chroma(), nullptr, nullptr};
    const int strides[4] = {static_cast<int>(width_), static_cast<int>(korvane::Frame::ChromaRowBytes(width_)), 0, 0};
    uint8_t* outPlanes[4] = {out, nullptr, nullptr, nullptr};
    const int outStrides[4] = {static_cast<int>(width_) * 3, 0, 0, 0};
    sws_scale(context.get(), planes, strides, 0, static_cast<int>(height_), outPlanes, outStrides);
    return rgb;
  }

  void SaveJpeg(const fs::path& path, double quality) {
    if (quality != kJpegQuality) {
      throw py::value_error("quality " + std::to_string(quality) + ": the encoder writes at quality 0.9 only");
    }
    const korvane::Frame& pixels = Pixels();
    ReleaseGil release;
    korvane::JpegEncoder().Write(pixels, path);
  }

  std::string Repr() const {
    char text[96];
    std::snprintf(text, sizeof text, "<korvane.Frame time=%.4f %s>", Time(), SizeText().c_str());
    return text;
  }

 private:
  std::string SizeText() const { return std::to_string(width_) + "x" + std::to_string(height_); }

  const ComPtr<ID3D11Device> device_;
  const ComPtr<ID3D11Texture2D> texture_;
  const uint32_t width_;
  const uint32_t height_;
  const int64_t start_;
  const int64_t nominalDuration_;
  std::mutex mutex_;
  std::atomic<bool> ready_{false};        // pixels_ is written (then never again)
  std::optional<korvane::Frame> pixels_;  // written under mutex_ before ready_
};
using FramePtr = std::shared_ptr<FrameData>;

// ---- Video ----

// What the decoder's own handlers record for the waits; shared with them, as they may run until
// the decoder is closed.
struct Reports {
  std::mutex mutex;
  std::condition_variable changed;
  // -- guarded by mutex
  uint64_t count = 0;  // PositionHasChanged reports so far
  bool loaded = false;
  std::optional<int32_t> error;  // the ErrorOccured code
  // Set (under the mutex, GIL held) when closing starts; callbacks look at it after taking the GIL.
  std::atomic<bool> closed{false};
};

// A callback's body: runs the callable with the GIL, unless closing has begun. An exception it
// raises goes to sys.unraisablehook and the callback stays.
auto MakeCaller(std::shared_ptr<Reports> reports, PyRef held) {
  return [reports = std::move(reports), held = std::move(held)](auto value) {
    if (reports->closed.load() || !InterpreterRunning()) return;
    py::gil_scoped_acquire gil;
    if (reports->closed.load()) return;  // Close sets it with the GIL held
    try {
      (*held)(value);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("korvane callback");
    }
  };
}

enum class Event { kPositionChanged, kFrameCached, kError, kCount };

class VideoCore : Counted {
 public:
  VideoCore(fs::path file, std::optional<fs::path> cacheRoot, uint32_t divisor) : file_(std::move(file)) {
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) throw OsError{PyExc_FileNotFoundError, errno, std::strerror(errno), file_.string()};
    if (S_ISDIR(info.st_mode)) throw OsError{PyExc_IsADirectoryError, EISDIR, std::strerror(EISDIR), file_.string()};
    cache_.emplace(cacheRoot);
    ReleaseGil release;
    korvane::Stream stream = korvane::Stream::FromFile(file_);
    device_ = korvane::Device::CreateSoftware();
    decoder_.emplace();
    const auto reports = reports_;
    auto update = [reports](auto change) {
      {
        std::lock_guard lock(reports->mutex);
        change(*reports);
      }
      reports->changed.notify_all();
    };
    internal_.push_back(decoder_->OnPositionChanged([update](int64_t) { update([](Reports& r) { ++r.count; }); }));
    internal_.push_back(decoder_->OnError([update](int32_t code) { update([code](Reports& r) { r.error = code; }); }));
    // The divisor must be set between loading and the first pass, which is where DecoderLoaded
    // comes (on this thread, inside Open).
    korvane::Subscription loaded = decoder_->OnLoaded([this, update, divisor] {
      decoder_->SetResolutionDivisor(divisor);
      update([](Reports& r) { r.loaded = true; });
    });
    decoder_->Open(stream, cache_->Path(), device_);
    // A file the decoder cannot read is refused before loading: say so here, not at first use.
    std::unique_lock lock(reports_->mutex);
    if (!reports_->loaded) {
      reports_->changed.wait_for(lock, kRefusalBound, [&] { return reports_->error.has_value(); });
      lock.unlock();
      Close();
      korvane::detail::Throw(E_FAIL, "Video", Quoted() + " is not a video korvane can read");
    }
  }
  ~VideoCore() { Close(); }

  // Ends every callback and the decoder, removes the cache folder. Returns promptly while
  // callbacks run: they finish on their threads, the GIL released here; none starts after.
  void Close() {
    {
      std::lock_guard lock(reports_->mutex);
      if (reports_->closed.exchange(true)) return;
    }
    reports_->changed.notify_all();
    ReleaseGil release;
    {
      std::lock_guard lock(callbacksMutex_);
      for (korvane::Subscription& subscription : callbacks_) subscription.reset();
      // Breaks the cycle of a callback that refers to its video (the collector cannot see it).
      for (PyRef& callable : callables_) callable.reset();
    }
    if (decoder_) {
      try {
        decoder_->Close();
      } catch (const korvane::Error&) {
        // Closing twice or after a failed open: nothing more to end.
      }
    }
    if (cache_) cache_->Remove();
  }
  bool Closed() const { return reports_->closed.load(); }

  // True once the first pass has ended; false on timeout (nullopt: no bound). `progress` is
  // called on this thread with each new fraction.
  bool WaitInitialized(std::optional<double> timeout, const py::object& progress) {
    const auto start = std::chrono::steady_clock::now();
    double reported = -1;
    for (;;) {
      ThrowIfClosed("wait_initialized");
      bool done = false;
      double fraction = 0;
      {
        ReleaseGil release;
        try {
          done = decoder_->WaitForInitialized(kPollInterval);
        } catch (const korvane::Error& e) {
          korvane::detail::Throw(e.code(), "Video.wait_initialized", Quoted() + ": " + e.what());
        }
        fraction = done ? 1.0 : decoder_->InitializationProgress();
      }
      if (!progress.is_none() && fraction != reported) {
        reported = fraction;
        progress(fraction);
      }
      if (done) {
        OnInitialized();
        return true;
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (timeout && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= *timeout) {
        return false;
      }
    }
  }

  int64_t DurationTicks() {
    EnsureInitialized();
    return Call([&] { return decoder_->Duration(); });
  }
  std::optional<double> Position() {
    EnsureInitialized();
    const int64_t position = Call([&] { return decoder_->Position(); });
    if (position < 0) return std::nullopt;
    return ToSeconds(position);
  }
  std::pair<uint32_t, uint32_t> Size() {
    ThrowIfClosed("size");
    return Call([&] { return std::pair(decoder_->FrameWidth(), decoder_->FrameHeight()); });
  }
  uint32_t Rotation() {
    ThrowIfClosed("rotation");
    return Call([&] { return decoder_->Rotation(); });
  }
  std::optional<double> FrameRate() {
    EnsureInitialized();
    if (nominalDuration_ <= 0) return std::nullopt;
    return kTicksPerSecondF / static_cast<double>(nominalDuration_);
  }
  // Frames at the nominal rate: the last frame starts at the duration.
  int64_t FrameCount() {
    const int64_t duration = DurationTicks();
    if (nominalDuration_ <= 0) return 1;
    return (duration + nominalDuration_ / 2) / nominalDuration_ + 1;
  }

  // Shows the frame containing `time` (ticks) and returns it.
  FramePtr Seek(int64_t time, const char* call) {
    EnsureInitialized();
    ReleaseGil release;
    std::lock_guard request(requestMutex_);
    ThrowIfClosed(call);
    const int64_t duration = Call([&] { return decoder_->Duration(); });
    const int64_t end = duration + std::max<int64_t>(Call([&] { return decoder_->FrameDuration(duration); }), 1);
    if (time < 0 || time >= end) {
      throw py::value_error(std::string(call) + ": no frame at " + std::to_string(ToSeconds(time)) + " s (the video " +
                            Quoted() + " lasts " + std::to_string(ToSeconds(end)) + " s)");
    }
    const int64_t shown = Call([&] { return decoder_->Position(); });
    if (Contains(shown, time)) return Fetch(shown, call);
    Call([&] { decoder_->SetPosition(time); });
    // Requests are serialised, so a moved position answers this one.
    return WaitShown([&](int64_t position) { return position != shown || Contains(position, time); }, call);
  }

  // Steps one frame on or back; nullptr at either end.
  FramePtr Step(bool forward) {
    const char* call = forward ? "Video.next" : "Video.previous";
    EnsureInitialized();
    ReleaseGil release;
    std::lock_guard request(requestMutex_);
    ThrowIfClosed(call);
    const int64_t shown = Call([&] { return decoder_->Position(); });
    try {
      if (forward) {
        decoder_->MoveNext();
      } else {
        decoder_->MovePrevious();
      }
    } catch (const korvane::Error& e) {
      if (e.code() == E_BOUNDS) return nullptr;
      if (Closed()) ThrowIfClosed(call);
      throw;
    }
    return WaitShown([&](int64_t position) { return forward ? position > shown : position < shown; }, call);
  }

  FramePtr Current() {
    EnsureInitialized();
    ReleaseGil release;
    std::lock_guard request(requestMutex_);
    ThrowIfClosed("Video.frame");
    return Fetch(Call([&] { return decoder_->Position(); }), "Video.frame");
  }

  int64_t NominalDuration() {
    EnsureInitialized();
    return nominalDuration_;
  }

  // The callable of `event`, or None.
  py::object Callback(Event event) {
    std::lock_guard lock(callbacksMutex_);
    const PyRef& held = callables_[static_cast<int>(event)];
    return held ? *held : py::none();
  }
  void SetCallback(Event event, const py::object& callable) {
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) throw py::type_error("a callback must be callable or None");
    ThrowIfClosed("callback");
    PyRef held = callable.is_none() ? nullptr : Hold(callable);
    ReleaseGil release;  // ending the old subscription waits for its call in progress
    std::lock_guard lock(callbacksMutex_);
    const int slot = static_cast<int>(event);
    callbacks_[slot].reset();
    callables_[slot] = held;
    if (!held) return;
    switch (event) {
      case Event::kPositionChanged:
        callbacks_[slot] = decoder_->OnPositionChanged([this, call = MakeCaller(reports_, held)](int64_t middle) {
          // The report gives the middle of the frame; the frame's start is what Frame.time says.
          // (The report that ends the first pass gives the first frame's start, 0, instead.)
          int64_t duration = 0;
          if (!Closed() && SUCCEEDED(decoder_->Get()->GetFrameDuration(middle, &duration))) middle -= duration / 2;
          call(ToSeconds(std::max<int64_t>(middle, 0)));
        });
        break;
      case Event::kFrameCached:
        callbacks_[slot] = decoder_->OnFrameCached([call = MakeCaller(reports_, held)](int64_t start) { call(ToSeconds(start)); });
        break;
      case Event::kError:
        callbacks_[slot] = decoder_->OnError([call = MakeCaller(reports_, held)](int32_t code) { call(code); });
        break;
      case Event::kCount:
        break;
    }
  }

  const fs::path& File() const { return file_; }
  fs::path CacheFolderPath() const { return cache_ ? cache_->Path() : fs::path(); }

 private:
  void EnsureInitialized() {
    if (initialized_.load()) return;
    WaitInitialized(std::nullopt, py::none());
  }
  void OnInitialized() {
    if (initialized_.load()) return;
    nominalDuration_ = Call([&] { return decoder_->FrameDuration(0); });
    initialized_.store(true);
  }

  void ThrowIfClosed(const char* call) const {
    if (Closed()) korvane::detail::Throw(kClosed, call, Quoted() + ": the video is closed");
  }
  // Runs a decoder call without the GIL (the decoder's locks may be held by a thread that waits
  // for it); a failure because another thread closed the video says so.
  template <class F>
  std::invoke_result_t<F> Call(F f) {
    ReleaseGil release;
    try {
      return f();
    } catch (const korvane::Error& e) {
      if (e.code() == kClosed) ThrowIfClosed("Video");
      throw;
    }
  }

  bool Contains(int64_t start, int64_t time) {
    if (start < 0 || time < start) return false;
    return time - start < Call([&] { return decoder_->FrameDuration(start); });
  }

  // Waits until the position satisfies `arrived` (each report wakes it; the position is read
  // from the decoder, as a late report of an earlier request may come after a newer one), then
  // fetches the frame shown. GIL released by the caller.
  template <class Arrived>
  FramePtr WaitShown(const Arrived& arrived, const char* call) {
    const auto deadline = std::chrono::steady_clock::now() + kStepBound;
    for (;;) {
      uint64_t seen = 0;
      {
        std::lock_guard lock(reports_->mutex);
        seen = reports_->count;
      }
      const int64_t position = Call([&] { return decoder_->Position(); });
      if (arrived(position)) return Fetch(position, call);
      WaitForReport(seen, deadline, call);
    }
  }
  void WaitForReport(uint64_t seen, std::chrono::steady_clock::time_point deadline, const char* call) {
    {
      std::unique_lock lock(reports_->mutex);
      reports_->changed.wait_for(lock, kPollInterval, [&] {
        return reports_->count != seen || reports_->closed.load() || reports_->error.has_value();
      });
      if (reports_->error) {
        korvane::detail::Throw(E_FAIL, call, Quoted() + ": the decoder reported ErrorOccured " + std::to_string(*reports_->error));
      }
    }
    ThrowIfClosed(call);
    CheckSignals();
    if (std::chrono::steady_clock::now() > deadline) {
      throw TimeoutError(std::string(call) + ": no frame came within 120 s in " + Quoted());
    }
  }
  // The frame starting at `position`. The position is reported once its frame is decoded; a
  // frame that went to disk meanwhile is back once the window around it is cached.
  FramePtr Fetch(int64_t position, const char* call) {
    const auto deadline = std::chrono::steady_clock::now() + kStepBound;
    ComPtr<ID3D11Texture2D> texture = Call([&] { return decoder_->FrameTexture(position); });
    while (!texture) {
      ThrowIfClosed(call);
      CheckSignals();
      if (std::chrono::steady_clock::now() > deadline) {
        throw TimeoutError(std::string(call) + ": the frame at " + std::to_string(ToSeconds(position)) +
                           " s was not decoded within 120 s in " + Quoted());
      }
      decoder_->WaitForCached(position, kPollInterval);
      texture = Call([&] { return decoder_->FrameTexture(position); });
    }
    const auto [width, height] = Call([&] { return std::pair(decoder_->FrameWidth(), decoder_->FrameHeight()); });
    return std::make_shared<FrameData>(ComPtr<ID3D11Device>(device_.Get()), std::move(texture), width, height, position,
                                       nominalDuration_);
  }

  std::string Quoted() const { return '"' + file_.string() + '"'; }

  const fs::path file_;
  std::optional<CacheFolder> cache_;  // outlives the decoder's use of it: removed after Close
  korvane::Device device_;
  std::optional<korvane::VideoDecoder> decoder_;
  const std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  std::vector<korvane::Subscription> internal_;  // the handlers behind the waits
  std::atomic<bool> initialized_{false};
  int64_t nominalDuration_ = 0;  // the first frame's length; written once before initialized_
  // One request (seek, step) and its wait at a time; property reads go around it.
  std::mutex requestMutex_;
  std::mutex callbacksMutex_;
  // -- guarded by callbacksMutex_
  korvane::Subscription callbacks_[static_cast<int>(Event::kCount)];
  PyRef callables_[static_cast<int>(Event::kCount)];
};
using VideoPtr = std::shared_ptr<VideoCore>;

// frames(start, stop, backwards): the frames whose time span meets [start, stop), in order.
class FrameIterator : Counted {
 public:
  FrameIterator(VideoPtr video, std::optional<double> start, std::optional<double> stop, bool backwards)
      : video_(std::move(video)), backwards_(backwards) {
    start_ = start ? ToTicks(*start, "frames: start") : 0;
    stop_ = stop ? std::optional(ToTicks(*stop, "frames: stop")) : std::nullopt;
    if (stop_ && *stop_ <= start_) done_ = true;
  }

  FramePtr Next() {
    if (done_) throw py::stop_iteration();
    FramePtr frame;
    if (!started_) {
      started_ = true;
      int64_t first = start_;
      if (backwards_) {
        const int64_t duration = video_->DurationTicks();
        first = stop_ ? std::min(*stop_ - 1, duration) : duration;
      }
      frame = video_->Seek(first, "frames");
    } else {
      frame = video_->Step(!backwards_);
    }
    if (!frame || (!backwards_ && stop_ && frame->Ticks() >= *stop_)) {
      done_ = true;
      throw py::stop_iteration();
    }
    if (backwards_ && frame->Ticks() <= start_) done_ = true;  // the frame containing start ends it
    return frame;
  }

 private:
  VideoPtr video_;
  const bool backwards_;
  int64_t start_ = 0;
  std::optional<int64_t> stop_;
  bool started_ = false;
  bool done_ = false;
};

// The time inside frame `index` (negative: from the end) that the index names.
int64_t IndexTime(VideoCore& video, int64_t index) {
  const int64_t count = video.FrameCount();
  const int64_t resolved = index < 0 ? index + count : index;
  if (resolved < 0 || resolved >= count) {
    throw py::index_error("frame index " + std::to_string(index) + " out of range for " + std::to_string(count) +
                          " frames");
  }
  const int64_t nominal = video.NominalDuration();
  return resolved * nominal + nominal / 2;
}

void RaiseTranslated(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const korvane::Error& e) {
    py::object error = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(errorType, "Is", static_cast<unsigned>(e.code()), e.what()));
    if (!error) return;  // the call's own exception stays set
    PyErr_SetObject(errorType, error.ptr());
  } catch (const OsError& e) {
    py::object error = e.path.empty()
                           ? py::reinterpret_steal<py::object>(PyObject_CallFunction(e.type, "is", e.error, e.text.c_str()))
                           : py::reinterpret_steal<py::object>(
                                 PyObject_CallFunction(e.type, "iss", e.error, e.text.c_str(), e.path.c_str()));
    if (!error) return;
    PyErr_SetObject(e.type, error.ptr());
  } catch (const TimeoutError& e) {
    PyErr_SetString(PyExc_TimeoutError, e.what());
  }
}

constexpr const char* kErrorClass = R"(
class Error(RuntimeError):
    """A failure the library reported: `hresult` is its HRESULT (an unsigned 32-bit code, e.g.
    0x80070002 for a missing file), `message` names the call and the value it refused."""

    def __init__(self, hresult, message):
        super().__init__(message)
        self.hresult = hresult
        self.message = message

    def __reduce__(self):
        return (type(self), (self.hresult, self.message))
)";

}  // namespace

PYBIND11_MODULE(korvane, m) {
  m.doc() =
      "Frame-exact stepping through a video, forwards and backwards, frames as NumPy arrays.\n\n"
      "    with korvane.Video('clip.mp4') as video:\n"
      "        frame = video.at(video.duration / 2)\n"
      "        for _ in range(10):\n"
      "            frame = video.previous()\n"
      "        frame.save_jpeg('frame.jpg')\n";
  m.attr("__version__") = "0.1.0";
  py::dict scope;
  scope["__name__"] = "korvane";
  py::exec(kErrorClass, scope);
  errorType = scope["Error"].ptr();
  Py_INCREF(errorType);
  m.attr("Error") = scope["Error"];
  py::register_exception_translator(RaiseTranslated);

  m.def("_live_objects", [] { return liveObjects.load(); },
        "The module's objects alive now (videos, frames, iterators): a leak check for tests.");

  py::class_<FrameData, FramePtr>(m, "Frame",
                                  "A decoded frame. It holds its own picture and stays valid after its video is "
                                  "closed.")
      .def_property_readonly("time", &FrameData::Time, "The frame's start in seconds from the first frame.")
      .def_property_readonly("ticks", &FrameData::Ticks, "The frame's start in 100 ns units.")
      .def_property_readonly("index", &FrameData::Index,
                             "The frame's number at the video's nominal frame rate (the length of its first "
                             "frame), or None when that is unknown.")
      .def_property_readonly("width", &FrameData::Width, "Width in pixels (display orientation).")
      .def_property_readonly("height", &FrameData::Height, "Height in pixels (display orientation).")
      .def_property_readonly(
          "nv12", [](py::object self) { return self.cast<FrameData&>().Nv12(self); },
          "The tightly packed NV12 bytes as a read-only 1-D uint8 array: width*height luma bytes, then "
          "(height+1)//2 rows of (width+1)//2 interleaved Cb, Cr pairs. The frame copies its picture out "
          "of the decoder on first use; every nv12 array is a view of that copy (np.array(frame.nv12) "
          "for a writable one).")
      .def("to_rgb", &FrameData::ToRgb,
           "The picture as a new height x width x 3 uint8 RGB array (libswscale, BT.601 limited range), "
           "upright: the decoder has already turned a rotated video by its rotation.")
      .def("save_jpeg", &FrameData::SaveJpeg, py::arg("path"), py::arg("quality") = kJpegQuality,
           "Writes the frame as a JPEG through the library's encoder (its even-sized part for odd sizes). "
           "The encoder writes at quality 0.9 only; another quality raises ValueError.")
      .def("__repr__", &FrameData::Repr);

  py::class_<FrameIterator>(m, "FrameIterator", "An iterator over frames (Video.frames).")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &FrameIterator::Next);

  py::class_<VideoCore, VideoPtr>(
      m, "Video",
      "An open video, stepped through frame by frame.\n\n"
      "Video(path, cache_dir=None, divisor=1) opens `path` and starts the first pass over it. The frame "
      "cache goes into a private folder of its own under `cache_dir` (default $XDG_CACHE_HOME/korvane, "
      "else ~/.cache/korvane), removed on close. `divisor` decodes at 1/divisor of the size.\n"
      "Raises FileNotFoundError / IsADirectoryError for the path, korvane.Error for a file that is not "
      "a video, PermissionError for a cache folder that cannot be written, ValueError for a divisor < 1.\n"
      "Calls that need the first pass wait for it. Any thread may call any method; steps and seeks are "
      "served one at a time.")
      .def(py::init([](const fs::path& path, std::optional<fs::path> cacheDir, int64_t divisor) {
             if (divisor < 1 || divisor > 0xFFFF) {
               throw py::value_error("divisor " + std::to_string(divisor) + ": must be between 1 and 65535");
             }
             return std::make_shared<VideoCore>(path, std::move(cacheDir), static_cast<uint32_t>(divisor));
           }),
           py::arg("path"), py::arg("cache_dir") = py::none(), py::arg("divisor") = 1)
      .def("close", &VideoCore::Close,
           "Closes the video: no callback runs once this has returned and the callbacks are dropped; the "
           "cache folder is removed. Idempotent. Later calls raise korvane.Error (0x80000013). Close a video "
           "whose callbacks refer to it: the collector cannot break that cycle.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](VideoCore& video, py::args) {
        video.Close();
        return false;
      })
      .def_property_readonly("closed", &VideoCore::Closed)
      .def("wait_initialized", &VideoCore::WaitInitialized, py::arg("timeout") = py::none(),
           py::arg("progress") = py::none(),
           "Waits until the first pass has ended: True, or False when `timeout` seconds passed first. "
           "`progress(fraction)` is called on this thread as the pass goes on. Raises korvane.Error "
           "when the video proves unreadable.")
      .def_property_readonly("duration", [](VideoCore& v) { return ToSeconds(v.DurationTicks()); },
                             "The start of the last frame in seconds.")
      .def_property_readonly("duration_ticks", &VideoCore::DurationTicks, "duration in 100 ns units.")
      .def_property_readonly("size", &VideoCore::Size, "(width, height) of the frames, in display orientation.")
      .def_property_readonly("rotation", &VideoCore::Rotation,
                             "The rotation the file asks for, in degrees; frames come already turned by it.")
      .def_property_readonly("frame_rate", &VideoCore::FrameRate,
                             "Frames per second from the first frame's length (None when unknown).")
      .def_property_readonly("position", &VideoCore::Position,
                             "The start (seconds) of the frame shown now, or None before any.")
      .def_property_readonly("frame", &VideoCore::Current, "The frame shown now.")
      .def("seek", [](VideoCore& v, double seconds) { return v.Seek(ToTicks(seconds, "Video.seek"), "Video.seek"); },
           py::arg("seconds"), "Shows the frame containing `seconds` and returns it; ValueError outside the video.")
      .def("at", [](VideoCore& v, double seconds) { return v.Seek(ToTicks(seconds, "Video.at"), "Video.at"); },
           py::arg("seconds"), "The frame containing `seconds` (the video moves there, as seek does).")
      .def("next", [](VideoCore& v) { return v.Step(true); },
           "Steps one frame on and returns that frame; None at the last frame.")
      .def("previous", [](VideoCore& v) { return v.Step(false); },
           "Steps one frame back and returns that frame; None at the first frame.")
      .def("frames", [](const VideoPtr& v, std::optional<double> start, std::optional<double> stop,
                        bool backwards) { return FrameIterator(v, start, stop, backwards); },
           py::arg("start") = py::none(), py::arg("stop") = py::none(), py::arg("backwards") = false,
           "Iterates over the frames whose time spans meet [start, stop) seconds (default: all), from the "
           "frame containing `start` on, or with backwards=True from the last of them back. The video "
           "moves with the iterator.")
      .def("__iter__", [](const VideoPtr& v) { return FrameIterator(v, std::nullopt, std::nullopt, false); })
      .def("__reversed__", [](const VideoPtr& v) { return FrameIterator(v, std::nullopt, std::nullopt, true); })
      .def("__len__", &VideoCore::FrameCount, "The number of frames at the nominal frame rate.")
      .def("__getitem__",
           [](VideoCore& v, int64_t index) { return v.Seek(IndexTime(v, index), "Video[]"); },
           py::arg("index"), "Frame `index` at the nominal frame rate (negative: from the end); the video moves there.")
      .def_property(
          "on_position_changed", [](VideoCore& v) { return v.Callback(Event::kPositionChanged); },
          [](VideoCore& v, const py::object& f) { v.SetCallback(Event::kPositionChanged, f); },
          "callable(seconds) run on a worker thread (GIL held) when another frame is shown; its start.")
      .def_property(
          "on_frame_cached", [](VideoCore& v) { return v.Callback(Event::kFrameCached); },
          [](VideoCore& v, const py::object& f) { v.SetCallback(Event::kFrameCached, f); },
          "callable(seconds) run on a worker thread (GIL held) when a frame has been decoded and cached.")
      .def_property(
          "on_error", [](VideoCore& v) { return v.Callback(Event::kError); },
          [](VideoCore& v, const py::object& f) { v.SetCallback(Event::kError, f); },
          "callable(code) run on a worker thread (GIL held) when the decoder fails (1: the media reader).")
      .def_property_readonly("path", &VideoCore::File)
      .def_property_readonly("cache_folder", &VideoCore::CacheFolderPath, "This video's own cache folder.")
      .def("__repr__", [](VideoCore& v) { return "<korvane.Video \"" + v.File().string() + "\">"; });
}
