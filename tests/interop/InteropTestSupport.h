// Shared pieces of the interop tests: an event log on all seven events, a counter of signals,
// and a fixture with a device, a cache folder and an interop that is closed at the end.
#pragma once

#include "decoder/DecoderTestSupport.h"
#include "interop/VideoDecoderInterop.h"
#include "interop/VideoDecoderIterator.h"
#include "platform/winrt/Callback.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::test {

using ABI::Korvane::Native::IVideoDecoderInterop;
using ABI::Korvane::Native::IVideoDecoderIterator;
using ABI::Windows::Storage::Streams::IRandomAccessStream;
using Brindle::Tamsel::SceneGraph::IVideoDecoder;

// One raised event: loaded, progress, initialized, position, cached, completed or error, with
// its integer arguments (position, time, start and end, code), its progress and its thread.
struct RaisedEvent {
  std::string name;
  int64_t a = 0;
  int64_t b = 0;
  double progress = 0;
  std::thread::id thread;

  std::string Text() const {
    if (name == "progress") {
      char text[32];
      std::snprintf(text, sizeof text, "progress %.4g", progress);
      return text;
    }
    if (name == "completed") return name + " " + std::to_string(a) + " " + std::to_string(b);
    if (name == "position" || name == "cached" || name == "error") return name + " " + std::to_string(a);
    return name;
  }
};

// Records every event of one interop in the order raised; waits are bounded by kWaitBound. The
// handlers share the record with this object, so a handler still running after the object is
// gone touches nothing freed.
class EventLog {
 public:
  void Attach(IVideoDecoderInterop* interop) {
    using namespace ABI::Korvane::Native;
    auto record = [state = state_](const char* name, int64_t a = 0, int64_t b = 0, double progress = 0) {
      state->Add(RaisedEvent{name, a, b, progress, std::this_thread::get_id()});
    };
    EventRegistrationToken t;
    const std::vector<HRESULT> added{
        interop->add_DecoderLoaded(Callback<DecoderLoaded>([=] { record("loaded"); }).Get(), &t),
        interop->add_InitializationProgressChanged(
            Callback<InitializationProgressChanged>([=](double p) { record("progress", 0, 0, p); }).Get(), &t),
        interop->add_DecoderInitialized(Callback<DecoderInitialized>([=] { record("initialized"); }).Get(), &t),
        interop->add_PositionHasChanged(
            Callback<PositionHasChanged>([=](int64_t p) { record("position", p); }).Get(), &t),
        interop->add_FrameCached(Callback<FrameCached>([=](int64_t c) { record("cached", c); }).Get(), &t),
        interop->add_CachingCompleted(
            Callback<CachingCompleted>([=](int64_t s, int64_t e) { record("completed", s, e); }).Get(), &t),
        interop->add_ErrorOccured(Callback<ErrorOccured>([=](int32_t c) { record("error", c); }).Get(), &t)};
    EXPECT_EQ(std::vector<HRESULT>(added.size(), S_OK), added);
  }
  // Runs inside every handler, on the raising thread, after the event is recorded. It must
  // capture what it uses by value (shared pointers): handlers may outlive a test body.
  void SetHook(std::function<void(const RaisedEvent&)> hook) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->hook = std::move(hook);
  }

  std::vector<RaisedEvent> Events() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->events;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const RaisedEvent& e : Events()) lines.push_back(e.Text());
    return lines;
  }
  size_t Count(const std::string& name) const {
    size_t n = 0;
    for (const RaisedEvent& e : Events()) n += e.name == name ? 1 : 0;
    return n;
  }
  // The number of events recorded so far: a mark for the waits below.
  size_t Size() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->events.size();
  }
  // Waits until an event recorded at or after the mark `since` matches; false on timeout.
  bool WaitFor(const std::function<bool(const RaisedEvent&)>& match, size_t since = 0) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, kWaitBound, [&] {
      for (size_t i = since; i < state_->events.size(); ++i)
        if (match(state_->events[i])) return true;
      return false;
    });
  }
  bool WaitFor(const std::string& name, size_t since = 0) const {
    return WaitFor([&](const RaisedEvent& e) { return e.name == name; }, since);
  }
  bool WaitForPositionIn(int64_t start, int64_t end, size_t since = 0) const {
    return WaitFor([&](const RaisedEvent& e) { return e.name == "position" && e.a >= start && e.a < end; }, since);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RaisedEvent> events;               // guarded by mutex
    std::function<void(const RaisedEvent&)> hook;  // guarded by mutex (copied out to call)
    void Add(RaisedEvent event) {
      std::function<void(const RaisedEvent&)> copy;
      {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        copy = hook;
        changed.notify_all();
      }
      if (copy) copy(event);
    }
  };
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Counts signals from other threads (a latch when only the first matters); waits are bounded
// by kWaitBound.
class Counter {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  // Waits until the count exceeds `seen`; false on timeout.
  bool WaitBeyond(size_t seen = 0) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitBound, [&] { return count_ > seen; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  size_t count_ = 0;  // guarded by mutex_
};

// An iterator's toolkit interface.
inline ComPtr<IVideoDecoder> AsSource(IVideoDecoderIterator* iterator) {
  ComPtr<IVideoDecoder> source;
  EXPECT_EQ(S_OK, iterator->QueryInterface(IID_PPV_ARGS(&source)));
  return source;
}

// Counts an iterator's FrameUpdated events.
inline std::shared_ptr<Counter> CountFrameUpdated(IVideoDecoderIterator* iterator) {
  auto counter = std::make_shared<Counter>();
  EventRegistrationToken token;
  const auto handler = Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>([counter] { counter->Add(); });
  EXPECT_EQ(S_OK, AsSource(iterator)->add_FrameUpdated(handler.Get(), &token));
  return counter;
}

// The texture handed out in a 64-bit result, taken over (null for 0).
inline ComPtr<ID3D11Texture2D> TakeTexture(int64_t handed) {
  ComPtr<ID3D11Texture2D> texture;
  texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<intptr_t>(handed)));
  return texture;
}

// Whether a stream has been closed (a closed stream refuses every call).
inline bool IsClosed(IRandomAccessStream* stream) {
  UINT64 size = 0;
  return stream->get_Size(&size) == RO_E_CLOSED;
}

class InteropFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDiskFreeSpaceForTesting(uint64_t{2} << 30);
    ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                      &device_, nullptr, nullptr));
    ASSERT_EQ(S_OK, CreateGraphicsDevice(device_.Get(), &graphics_));
    interop_ = MakeRuntimeObject<VideoDecoderInterop>();
    log_.Attach(interop_.Get());
  }
  void TearDown() override {
    log_.SetHook(nullptr);
    if (interop_) {
      EXPECT_EQ(S_OK, interop_->Close());
    }
    interop_.Reset();
    SetDiskFreeSpaceForTesting(std::nullopt);
  }
  ComPtr<IRandomAccessStream> ScriptedStream(const mf::ScriptedSource& script) {
    ComPtr<IRandomAccessStream> stream;
    EXPECT_EQ(S_OK, CreateScriptedStream(std::make_shared<mf::ScriptedSource>(script),
                                         std::make_shared<mf::ScriptedSourceLog>(), &stream));
    return stream;
  }
  HRESULT Open(IRandomAccessStream* stream) {
    const Platform::String folder(cache_.Path());
    return interop_->Open(stream, folder.Get(), graphics_.Get());
  }
  // Waits for the reports that end the first pass; no event follows the last of them until the
  // next request.
  void WaitForFirstPass() {
    for (const char* name : {"initialized", "position", "cached"})
      ASSERT_TRUE(log_.WaitFor(name)) << name << " in " << ::testing::PrintToString(log_.Lines());
  }
  void OpenAndWait(IRandomAccessStream* stream) {
    ASSERT_EQ(S_OK, Open(stream));
    WaitForFirstPass();
  }
  void OpenAndWait(const mf::ScriptedSource& script) { OpenAndWait(ScriptedStream(script).Get()); }
  // Asks for `time` and waits until a position in [start, end) is reported.
  void MoveTo(int64_t time, int64_t start, int64_t end) {
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, interop_->put_Position(time));
    ASSERT_TRUE(log_.WaitForPositionIn(start, end, mark)) << "position " << time;
  }

  int64_t Position() {
    int64_t position = -2;
    EXPECT_EQ(S_OK, interop_->get_Position(&position));
    return position;
  }
  // The luma value of a scripted frame (its index modulo 256), or -1 for no texture.
  int ScriptedValue(ID3D11Texture2D* texture) {
    return texture == nullptr ? -1 : ReadTexture(device_.Get(), texture).bytes.at(0);
  }
  int ScriptedValueAt(int64_t time) {
    int64_t handed = 0;
    EXPECT_EQ(S_OK, interop_->GetFrameTexture(time, &handed));
    return ScriptedValue(TakeTexture(handed).Get());
  }
  // The index a generated video's frame at `time` carries, or -1 for no texture.
  int FrameIndexAt(int64_t time) {
    int64_t handed = 0;
    EXPECT_EQ(S_OK, interop_->GetFrameTexture(time, &handed));
    const ComPtr<ID3D11Texture2D> texture = TakeTexture(handed);
    if (!texture) return -1;
    const TextureBytes copy = ReadTexture(device_.Get(), texture.Get());
    return ReadFrameIndexNv12(copy.bytes.data(), copy.rowPitch, static_cast<int>(copy.desc.Width),
                              static_cast<int>(copy.desc.Height));
  }
  ComPtr<IVideoDecoderIterator> CreateIterator() {
    ComPtr<IVideoDecoderIterator> iterator;
    EXPECT_EQ(S_OK, interop_->CreateIterator(&iterator));
    return iterator;
  }
  ComPtr<ID3D11Texture2D> IteratorTexture(IVideoDecoderIterator* iterator) {
    UINT64 handed = 0;
    EXPECT_EQ(S_OK, AsSource(iterator)->GetTexture(&handed));
    return TakeTexture(static_cast<int64_t>(handed));
  }
  bool IsPlaceholder(ID3D11Texture2D* texture) {
    int64_t handed = 0;
    EXPECT_EQ(S_OK, interop_->GetPlaceholderTexture(&handed));
    return texture != nullptr && TakeTexture(handed).Get() == texture;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics_;
  TempFolder cache_{"korvane-interop"};
  ComPtr<VideoDecoderInterop> interop_;
  EventLog log_;
};

}  // namespace korvane::test
