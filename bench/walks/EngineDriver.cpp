#include "walks/EngineDriver.h"

#include "walks/Player.h"

#include "korvane/Korvane.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace korvane::bench {

namespace {

using namespace std::chrono_literals;

constexpr auto kWaitBound = 300s;

// What the position and error events have said so far; shared with the handlers, which may
// outlive the driver.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int64_t> positions;  // guarded by mutex: every PositionHasChanged, in order
  int error = -1;                  // guarded by mutex: the ErrorOccured code, -1 for none

  template <class Ready>
  void WaitUntil(const char* what, Ready ready) {
    std::unique_lock lock(mutex);
    const bool done = changed.wait_for(lock, kWaitBound, [&] { return error >= 0 || ready(); });
    if (error >= 0) throw std::runtime_error("engine: ErrorOccured " + std::to_string(error) + " while waiting for " + what);
    if (!done) throw std::runtime_error(std::string("engine: no ") + what + " within the bound");
  }

  template <class Change>
  void Update(Change change) {
    {
      std::lock_guard lock(mutex);
      change();
    }
    changed.notify_all();
  }
};

}  // namespace

struct EngineDriver::State {
  std::string cacheFolder;
  korvane::Device device = korvane::Device::CreateSoftware();
  korvane::VideoDecoder video;
  std::shared_ptr<Events> events = std::make_shared<Events>();
  korvane::Subscription positionChanged;
  korvane::Subscription errorOccured;

  // Runs `request`, then waits until a frame in [start, end) is shown and fetches it.
  //
  // The driver keeps every report itself rather than use VideoDecoder::WaitForPosition, which
  // waits for a report that never comes when the frame asked for is shown already.
  template <class Request>
  int64_t ShowFrame(const Request& request, int64_t start, int64_t end) {
    const int64_t before = video.Position();
    size_t mark = 0;
    {
      std::lock_guard lock(events->mutex);
      mark = events->positions.size();
    }
    request();
    // Asking for the frame already shown reports no change: it is shown as it is.
    if (before < start || before >= end) {
      events->WaitUntil("PositionHasChanged into the frame", [&] {
        for (size_t i = mark; i < events->positions.size(); ++i)
          if (events->positions[i] >= start && events->positions[i] < end) return true;
        return false;
      });
    }
    const int64_t shown = video.Position();
    if (!video.FrameTexture(shown))
      throw std::runtime_error("engine: the frame at " + std::to_string(shown) + " has no texture");
    return shown;
  }
};

EngineDriver::EngineDriver(std::string cacheFolder) : state_(std::make_unique<State>()) {
  state_->cacheFolder = std::move(cacheFolder);
  const std::shared_ptr<Events> events = state_->events;
  state_->positionChanged = state_->video.OnPositionChanged(
      [events](int64_t position) { events->Update([&] { events->positions.push_back(position); }); });
  state_->errorOccured =
      state_->video.OnError([events](int32_t code) { events->Update([&] { events->error = code; }); });
}

// The decoder closes when its handle goes, after which no handler runs.
EngineDriver::~EngineDriver() = default;

void EngineDriver::SetCachingPolicy(uint64_t diskBudget, bool evictFarthest, uint64_t ramBudget, bool zstd) {
  state_->video.SetCachingPolicy({.diskBudgetBytes = diskBudget,
                                  .atBudget = evictFarthest ? korvane::CachingPolicy::AtBudget::EvictFarthest
                                                            : korvane::CachingPolicy::AtBudget::Stop,
                                  .ramBudgetBytes = ramBudget,
                                  .compression = zstd ? korvane::CachingPolicy::Compression::Zstd
                                                      : korvane::CachingPolicy::Compression::None});
}

void EngineDriver::Open(const std::string& path) {
  state_->video.Open(korvane::Stream::FromFile(path), state_->cacheFolder, state_->device);
  // Throws when the decoder reports an error first.
  if (!state_->video.WaitForInitialized(kWaitBound))
    throw std::runtime_error("engine: no DecoderInitialized and first position within the bound");
}

int64_t EngineDriver::Duration() { return state_->video.Duration(); }

int64_t EngineDriver::Seek(int64_t time, int64_t start, int64_t end) {
  return state_->ShowFrame([&] { state_->video.SetPosition(time); }, start, end);
}

int64_t EngineDriver::Step(bool forward, int64_t start, int64_t end) {
  return state_->ShowFrame(
      [&] {
        if (forward) {
          state_->video.MoveNext();
        } else {
          state_->video.MovePrevious();
        }
      },
      start, end);
}

uint64_t EngineDriver::LumaHash(int64_t time) {
  const std::optional<korvane::Frame> frame = state_->video.FrameAt(time);
  if (!frame) throw std::runtime_error("engine: no frame decoded at " + std::to_string(time));
  return HashPlane(frame->nv12.data(), frame->width, static_cast<int>(frame->width), static_cast<int>(frame->height));
}

std::optional<uint64_t> EngineDriver::TextureBytesInUse() { return std::nullopt; }

}  // namespace korvane::bench
