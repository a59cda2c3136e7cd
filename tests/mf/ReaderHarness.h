// What the source-reader tests share: a callback that records every completion and can hold the
// work thread inside a callback, opening a file the way the decoder does (device manager,
// asynchronous callback, advanced video processing), and reading a texture back through a
// staging copy and Map.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/winrt/RandomAccessStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::mf::test {

// Generous: a bound on waiting, never a timing claim.
inline constexpr std::chrono::seconds kWaitBound{60};

struct Completion {
  enum class Kind { kRead, kFlush };
  Kind kind = Kind::kRead;
  HRESULT status = S_OK;
  DWORD streamIndex = 0;
  DWORD flags = 0;
  LONGLONG time = 0;
  ComPtr<IMFSample> sample{};
  std::thread::id thread = std::this_thread::get_id();
};

// Thread-safe; callbacks come from the reader's work thread, the queries from the test.
class RecordingCallback final : public ComObject<IMFSourceReaderCallback> {
  template <class F>
  auto Locked(F f) {
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  HRESULT OnReadSample(HRESULT status, DWORD streamIndex, DWORD flags, LONGLONG time, IMFSample* sample) override {
    return Record({.status = status, .streamIndex = streamIndex, .flags = flags, .time = time, .sample = sample});
  }
  HRESULT OnFlush(DWORD streamIndex) override { return Record({.kind = Completion::Kind::kFlush, .streamIndex = streamIndex}); }
  HRESULT OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }
  // Wakes WaitUntilOnlyOwner. A reference other than the caller's keeps the object alive through
  // the release, and the lock makes the release and the wake-up one step for the waiter: once it
  // sees itself the only owner (and may destroy the object), this thread no longer touches it.
  ULONG Release() override {
    {
      std::lock_guard lock(mutex_);
      const ULONG held = AddRef() - 1;  // the count before this release
      ComObject::Release();
      if (held > 1) {
        const ULONG left = ComObject::Release();
        cv_.notify_all();
        return left;
      }
    }
    return ComObject::Release();  // the caller held the last reference: nobody waits
  }

  // Close holds the next callbacks inside themselves, after they are recorded, until Open (the
  // gate starts open).
  void Close() { Locked([&] { gateOpen_ = false; }); }
  void Open() { Locked([&] { gateOpen_ = true, cv_.notify_all(); }); }
  // Runs inside every later callback, after it is recorded and before the gate.
  void SetHook(std::function<void(const Completion&)> hook) { Locked([&] { hook_ = std::move(hook); }); }

  // Waits until `count` completions have been recorded (or are being held at the gate).
  bool WaitForCount(size_t count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWaitBound, [&] { return completions_.size() >= count; });
  }
  // Waits until nobody but the test holds the callback (the reader let it go).
  bool WaitUntilOnlyOwner() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWaitBound, [&] { return AddRef(), ComObject::Release() == 1; });
  }
  // Drops the samples of the completions recorded so far (the records stay).
  void ForgetSamples() {
    std::vector<ComPtr<IMFSample>> dropped;  // released after the lock
    Locked([&] {
      for (Completion& c : completions_) dropped.push_back(std::move(c.sample));
    });
  }
  size_t Count() { return Locked([&] { return completions_.size(); }); }
  Completion At(size_t index) { return Locked([&] { return completions_.at(index); }); }

 private:
  HRESULT Record(Completion c) {
    const auto hook = Locked([&] { return completions_.push_back(c), cv_.notify_all(), hook_; });
    if (hook) hook(c);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return gateOpen_; });
    return S_OK;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  // -- guarded by mutex_
  std::vector<Completion> completions_;
  std::function<void(const Completion&)> hook_;
  bool gateOpen_ = true;
};

// A reader opened on a file, on a software device of its own, as the decoder opens one.
struct OpenReader {
  ComPtr<ID3D11Device> device{};
  ComPtr<ID3D11DeviceContext> context{};
  ComPtr<RecordingCallback> callback{};
  ComPtr<IMFSourceReader> reader{};
  HRESULT hr = E_FAIL;
};

// Starts MF for its lifetime.
struct MfStarted {
  MfStarted() { EXPECT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
  ~MfStarted() { EXPECT_EQ(MFShutdown(), S_OK); }
};

OpenReader OpenFile(const std::string& path, const GUID& subtype = MFVideoFormat_NV12);
// As OpenFile, over any random-access stream.
OpenReader OpenStream(ABI::Windows::Storage::Streams::IRandomAccessStream* stream,
                      const GUID& subtype = MFVideoFormat_NV12);
// Issues one read and waits for its completion.
Completion ReadOne(OpenReader& open);
// Sets the current type's subtype and (when non-zero) frame size.
HRESULT SetOutput(IMFSourceReader* reader, const GUID& subtype, UINT32 width = 0, UINT32 height = 0);
// The texture of a sample and its description; null when the sample holds none.
ComPtr<ID3D11Texture2D> TextureOf(IMFSample* sample, D3D11_TEXTURE2D_DESC* desc = nullptr);
// The texture's bytes, tightly packed (NV12: luma rows then chroma rows, pitch = width;
// BGRA: 4 × width), read through a staging copy and Map.
std::vector<uint8_t> ReadBack(const OpenReader& open, ID3D11Texture2D* texture);
// The frame index a texture shows (BGRA: luma from the green channel), -1 for none; rotation
// receives the turn of the picture from the stored one.
int FrameIndexOf(const OpenReader& open, ID3D11Texture2D* texture, int* rotation = nullptr);
PROPVARIANT Position(int64_t time);

}  // namespace korvane::mf::test
