#include "walks/EngineDriver.h"

#include "walks/Player.h"

#include "korvane/VideoDecoderInterop.h"
#include "platform/d3d11/D3D11.h"
#include "platform/d3d11/DeviceDiagnostics.h"
#include "platform/winrt/Callback.h"
#include "support/TextureReadback.h"
#include "toolkit/GraphicsDevice.h"
// Only to make the object: the module's activation entry point is not built yet. Everything
// after construction goes through IVideoDecoderInterop.
#include "interop/VideoDecoderInterop.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace korvane::bench {

namespace {

using ABI::Korvane::Native::IVideoDecoderInterop;
using namespace std::chrono_literals;

constexpr auto kWaitBound = 300s;

void Check(HRESULT hr, const char* call) {
  if (FAILED(hr)) throw std::runtime_error(std::string("engine: ") + call + " failed with HRESULT " + std::to_string(hr));
}

// What the events have said so far; shared with the handlers, which may outlive the driver.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  bool initialized = false;        // guarded by mutex, as is everything below
  std::vector<int64_t> positions;  // every PositionHasChanged, in order
  int error = -1;                  // the ErrorOccured code, -1 for none

  template <class Ready>
  void WaitUntil(const char* what, Ready ready) {
    std::unique_lock lock(mutex);
    const bool done = changed.wait_for(lock, kWaitBound, [&] { return error >= 0 || ready(); });
    if (error >= 0) throw std::runtime_error("engine: ErrorOccured " + std::to_string(error) + " while waiting for " + what);
    if (!done) throw std::runtime_error(std::string("engine: no ") + what + " within the bound");
  }
};

}  // namespace

struct EngineDriver::State {
  std::string cacheFolder;
  ComPtr<ID3D11Device> device;
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics;
  ComPtr<IVideoDecoderInterop> interop;
  std::shared_ptr<Events> events = std::make_shared<Events>();

  ComPtr<ID3D11Texture2D> Texture(int64_t time) {
    int64_t handed = 0;
    Check(interop->GetFrameTexture(time, &handed), "GetFrameTexture");
    ComPtr<ID3D11Texture2D> texture;
    texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<intptr_t>(handed)));
    return texture;
  }

  int64_t Position() {
    int64_t position = -1;
    Check(interop->get_Position(&position), "get_Position");
    return position;
  }

  // Runs `request`, then waits until a frame in [start, end) is shown and fetches it.
  template <class Request>
  int64_t ShowFrame(const Request& request, int64_t start, int64_t end) {
    const int64_t before = Position();
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
    const int64_t shown = Position();
    if (!Texture(shown)) throw std::runtime_error("engine: the frame at " + std::to_string(shown) + " has no texture");
    return shown;
  }
};

EngineDriver::EngineDriver(std::string cacheFolder) : state_(std::make_unique<State>()) {
  state_->cacheFolder = std::move(cacheFolder);
  Check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                          &state_->device, nullptr, nullptr),
        "D3D11CreateDevice");
  Check(CreateGraphicsDevice(state_->device.Get(), &state_->graphics), "CreateGraphicsDevice");
  state_->interop = MakeRuntimeObject<VideoDecoderInterop>();

  using namespace ABI::Korvane::Native;
  const std::shared_ptr<Events> events = state_->events;
  auto update = [events](auto change) {
    {
      std::lock_guard lock(events->mutex);
      change(*events);
    }
    events->changed.notify_all();
  };
  EventRegistrationToken token;
  Check(state_->interop->add_DecoderInitialized(
            Callback<DecoderInitialized>([=] { update([](Events& e) { e.initialized = true; }); }).Get(), &token),
        "add_DecoderInitialized");
  Check(state_->interop->add_PositionHasChanged(
            Callback<PositionHasChanged>([=](int64_t p) { update([p](Events& e) { e.positions.push_back(p); }); }).Get(),
            &token),
        "add_PositionHasChanged");
  Check(state_->interop->add_ErrorOccured(
            Callback<ErrorOccured>([=](int32_t code) { update([code](Events& e) { e.error = code; }); }).Get(), &token),
        "add_ErrorOccured");
}

EngineDriver::~EngineDriver() {
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  if (SUCCEEDED(state_->interop.As(&closable))) closable->Close();
}

void EngineDriver::Open(const std::string& path) {
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
  Check(CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream)),
        "CreateRandomAccessStreamOnFile");
  const Platform::String folder(state_->cacheFolder);
  Check(state_->interop->Open(stream.Get(), folder.Get(), state_->graphics.Get()), "Open");
  Events& events = *state_->events;
  events.WaitUntil("DecoderInitialized and a first position",
                   [&] { return events.initialized && !events.positions.empty(); });
}

int64_t EngineDriver::Duration() {
  int64_t duration = 0;
  Check(state_->interop->get_Duration(&duration), "get_Duration");
  return duration;
}

int64_t EngineDriver::Seek(int64_t time, int64_t start, int64_t end) {
  return state_->ShowFrame([&] { Check(state_->interop->put_Position(time), "put_Position"); }, start, end);
}

int64_t EngineDriver::Step(bool forward, int64_t start, int64_t end) {
  return state_->ShowFrame(
      [&] { Check(forward ? state_->interop->MoveNext() : state_->interop->MovePrevious(), "MoveNext/MovePrevious"); },
      start, end);
}

uint64_t EngineDriver::LumaHash(int64_t time) {
  const ComPtr<ID3D11Texture2D> texture = state_->Texture(time);
  if (!texture) throw std::runtime_error("engine: no frame decoded at " + std::to_string(time));
  const test::TextureBytes read = test::ReadTexture(state_->device.Get(), texture.Get());
  if (read.bytes.empty()) throw std::runtime_error("engine: cannot read the frame at " + std::to_string(time));
  return HashPlane(read.bytes.data(), read.rowPitch, static_cast<int>(read.desc.Width),
                   static_cast<int>(read.desc.Height));
}

uint64_t EngineDriver::TextureBytesInUse() {
  ComPtr<d3d11::IDeviceDiagnostics> diagnostics;
  Check(state_->device.As(&diagnostics), "QueryInterface(IDeviceDiagnostics)");
  return diagnostics->GetStatistics().liveBytes;
}

}  // namespace korvane::bench
