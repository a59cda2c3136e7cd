// Shared pieces of the interop tests: an event log that subscribes to all seven events, and a
// fixture with a device, a cache folder and an interop that is closed at the end.
#pragma once

#include "decoder/DecoderTestSupport.h"
#include "interop/VideoDecoderInterop.h"
#include "interop/VideoDecoderIterator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
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

// One raised event. `a`/`b` hold the event's integer arguments (position, time, start/end, code).
struct RaisedEvent {
  std::string name;  // loaded, progress, initialized, position, cached, completed, error
  int64_t a = 0;
  int64_t b = 0;
  double progress = 0;
  std::thread::id thread;
  std::string Text() const;
};

// Records every event of one interop, in the order raised; waits are bounded by kWaitBound. The
// handlers share the record with this object, so a handler still running after the object is
// gone touches nothing freed.
class EventLog {
 public:
  void Attach(IVideoDecoderInterop* interop);
  // Runs inside every handler, after the event is recorded (on the raising thread). A hook
  // must capture what it uses by value (shared pointers), as handlers may outlive a test body.
  void SetHook(std::function<void(const RaisedEvent&)> hook);

  std::vector<RaisedEvent> Events() const;
  std::vector<std::string> Lines() const;
  size_t Count(const std::string& name) const;
  // The number of events recorded so far: a mark for the waits below.
  size_t Size() const;
  // Waits until an event recorded at or after the mark `since` satisfies `match`; false on
  // timeout.
  bool WaitFor(const std::function<bool(const RaisedEvent&)>& match, size_t since = 0) const;
  bool WaitFor(const std::string& name, size_t since = 0) const {
    return WaitFor([&](const RaisedEvent& e) { return e.name == name; }, since);
  }
  bool WaitForCount(const std::string& name, size_t count) const;
  // Waits for a position event inside [start, end).
  bool WaitForPositionIn(int64_t start, int64_t end, size_t since = 0) const {
    return WaitFor([&](const RaisedEvent& e) { return e.name == "position" && e.a >= start && e.a < end; }, since);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RaisedEvent> events;                // guarded by mutex
    std::function<void(const RaisedEvent&)> hook;   // guarded by mutex (copied out to call)
    void Add(RaisedEvent event);
  };
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A one-way signal between threads; Wait is bounded by kWaitBound.
class Latch {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitBound, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;  // guarded by mutex_
};

// Counts one iterator's FrameUpdated events (the handler shares the count, as EventLog).
class FrameUpdatedCounter {
 public:
  void Attach(IVideoDecoderIterator* iterator);
  size_t Count() const;
  // Waits until the count exceeds `seen`; false on timeout.
  bool WaitBeyond(size_t seen) const;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    size_t count = 0;  // guarded by mutex
  };
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A scripted source's stream that also answers IClosable, as every application stream does, and
// says whether it was closed. After Close every call fails with RO_E_CLOSED.
class ClosableScriptedStream final
    : public RuntimeClass<com::kPlainRuntimeClass, IRandomAccessStream, mf::IMediaSourceFactory,
                          winrt::IRandomAccessStreamIo, ABI::Windows::Foundation::IClosable> {
 public:
  explicit ClosableScriptedStream(ComPtr<IRandomAccessStream> inner);
  bool IsClosed() const { return closed_; }

  HRESULT get_Size(UINT64* value) override { return Forward([&] { return inner_->get_Size(value); }); }
  HRESULT put_Size(UINT64 value) override { return Forward([&] { return inner_->put_Size(value); }); }
  HRESULT get_Position(UINT64* value) override { return Forward([&] { return inner_->get_Position(value); }); }
  HRESULT Seek(UINT64 position) override { return Forward([&] { return inner_->Seek(position); }); }
  HRESULT CloneStream(IRandomAccessStream** stream) override {
    return Forward([&] { return inner_->CloneStream(stream); });
  }
  HRESULT get_CanRead(BOOL* value) override { return Forward([&] { return inner_->get_CanRead(value); }); }
  HRESULT get_CanWrite(BOOL* value) override { return Forward([&] { return inner_->get_CanWrite(value); }); }
  HRESULT CreateMediaSource(std::unique_ptr<mf::MediaSource>* source) override {
    return Forward([&] { return factory_->CreateMediaSource(source); });
  }
  HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) override {
    return Forward([&] { return io_->ReadAt(buffer, size, read); });
  }
  HRESULT WriteAt(const void* buffer, ULONG size, ULONG* written) override {
    return Forward([&] { return io_->WriteAt(buffer, size, written); });
  }
  HRESULT Close() override {
    closed_ = true;
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Testing.ClosableScriptedStream"; }

 private:
  template <class F>
  HRESULT Forward(F call) {
    return closed_ ? RO_E_CLOSED : call();
  }

  ComPtr<IRandomAccessStream> inner_;
  ComPtr<mf::IMediaSourceFactory> factory_;
  ComPtr<winrt::IRandomAccessStreamIo> io_;
  std::atomic<bool> closed_{false};
};

// A scripted video whose frame i lasts durations[i] (times accumulate from 0), value i, all key
// frames, duration the sum.
mf::ScriptedSource ScriptedVideoWithDurations(const std::vector<int64_t>& durations);

// An iterator's toolkit interface.
ComPtr<IVideoDecoder> AsSource(IVideoDecoderIterator* iterator);
// The runtime class name an object reports.
std::string RuntimeClassName(IInspectable* object);

// The texture handed out in a 64-bit result, taken over (null for 0).
ComPtr<ID3D11Texture2D> TakeTexture(int64_t handed);

class InteropFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The interop under test (a derived class may stand in).
  virtual ComPtr<VideoDecoderInterop> MakeInterop() { return MakeRuntimeObject<VideoDecoderInterop>(); }

  ComPtr<ClosableScriptedStream> ScriptedStream(const mf::ScriptedSource& script);
  ComPtr<IRandomAccessStream> FileStream(const std::string& path);
  HRESULT Open(IVideoDecoderInterop* interop, IRandomAccessStream* stream);
  // Opens on interop_ and waits for the reports that end the first pass.
  void OpenAndWait(IRandomAccessStream* stream);
  void OpenAndWait(const mf::ScriptedSource& script) { OpenAndWait(ScriptedStream(script).Get()); }

  int64_t Position();
  // The luma value of a scripted frame (its index), or -1 for no texture.
  int ScriptedValue(ID3D11Texture2D* texture);
  int ScriptedValueAt(int64_t time);
  // The index a generated file's frame carries, or -1 for no texture.
  int FileFrameIndex(ID3D11Texture2D* texture);
  ComPtr<IVideoDecoderIterator> CreateIterator();
  ComPtr<ID3D11Texture2D> IteratorTexture(IVideoDecoderIterator* iterator);
  bool IsPlaceholder(ID3D11Texture2D* texture);

  ComPtr<ID3D11Device> device_;
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics_;
  TempFolder cache_{"korvane-interop"};
  ComPtr<VideoDecoderInterop> interop_;
  EventLog log_;
};

}  // namespace korvane::test
