// Shared pieces of the decoder tests: a device, a listener that records every notification, a
// scripted video builder, and access to the decoder's private state for the few assertions that
// need it.
#pragma once

#include "cache/VideoDecoderCacheManager.h"
#include "decoder/VideoDecoder.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfapi.h"
#include "platform/win32/FileApi.h"
#include "platform/winrt/Async.h"
#include "support/ScriptedMediaSource.h"
#include "support/TempFolder.h"
#include "support/TextureReadback.h"
#include "toolkit/GraphicsDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

// Reads the decoder's private members for the tests; every read of Lock-guarded state takes
// the decoder's Lock.
class VideoDecoderTestAccess {
 public:
  template <class F>
  static auto Locked(VideoDecoder& decoder, F&& f) {
    Concurrency::critical_section::scoped_lock lock(decoder.Lock);
    return f(decoder);
  }
  static DecoderState State(VideoDecoder& d) { return d.State.load(); }
  static std::shared_ptr<VideoDecoderCacheManager> CacheManager(VideoDecoder& d) {
    return Locked(d, [](VideoDecoder& x) { return x.CacheManager; });
  }
  static std::pair<uint32_t, uint32_t> PixelAspect(VideoDecoder& d) {
    return {d.PixelAspectNumerator.load(), d.PixelAspectDenominator.load()};
  }
  static std::pair<uint32_t, uint32_t> FrameRate(VideoDecoder& d) {
    return {d.FrameRateNumerator.load(), d.FrameRateDenominator.load()};
  }
  static HRESULT SeekAndRead(VideoDecoder& d, int64_t position, OnSeekFailure onFailure) {
    return Locked(d, [&](VideoDecoder& x) { return x.Driver.SeekAndRead(position, onFailure, Clamping::None); });
  }
  static ComPtr<ID3D11DeviceContext> Context(VideoDecoder& d) {
    return Locked(d, [](VideoDecoder& x) { return x.Context; });
  }
};

}  // namespace korvane

namespace korvane::test {

constexpr auto kWaitBound = std::chrono::seconds(60);

// Records every notification as a line: "progress 0.25", "initialized", "position 200000",
// "cached 0", "completed 0 1000000", "error 1". A line ending in a space matches every event
// that starts with it ("error "); the waits are bounded and say whether they saw what they waited
// for.
class RecordingListener final : public IVideoDecoderListener {
  template <class F>
  auto Locked(F f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

 public:
  void OnInitializationProgressChanged(double progress) override {
    char text[32];
    std::snprintf(text, sizeof text, "progress %.4g", progress);
    Add(text);
  }
  void OnDecoderInitialized() override { Add("initialized"); }
  void OnPositionHasChanged(int64_t position) override { Add("position " + std::to_string(position)); }
  void OnFrameCached(int64_t position) override { Add("cached " + std::to_string(position)); }
  void OnCachingCompleted(int64_t start, int64_t end) override {
    Add("completed " + std::to_string(start) + " " + std::to_string(end));
  }
  void OnError(int32_t code) override { Add("error " + std::to_string(code)); }

  std::vector<std::string> Events() const { return Locked([&] { return events_; }); }
  void Clear() { Locked([&] { events_.clear(); }); }
  size_t Count(const std::string& line) const { return Locked([&] { return CountLocked(line); }); }
  bool WaitFor(const std::string& line) { return WaitForCount(line, 1); }
  bool WaitForCount(const std::string& line, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitBound, [&] { return CountLocked(line) >= count; });
  }
  // The first event matching any of `lines`, or "" when none came.
  std::string WaitForAny(const std::vector<std::string>& lines) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string found;
    changed_.wait_for(lock, kWaitBound, [&] {
      for (const std::string& e : events_)
        for (const std::string& line : lines)
          if (Matches(e, line)) return found = e, true;
      return false;
    });
    return found;
  }
  // The next notification matching `line` blocks the thread making it (which holds the
  // decoder's Lock) until ReleaseHold.
  void HoldNext(const std::string& line) { Locked([&] { hold_ = line, holding_ = false; }); }
  bool WaitUntilHolding() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitBound, [this] { return holding_; });
  }
  void ReleaseHold() { Locked([&] { hold_.reset(), changed_.notify_all(); }); }

 private:
  static bool Matches(const std::string& event, const std::string& line) {
    return !line.empty() && line.back() == ' ' ? event.rfind(line, 0) == 0 : event == line;
  }
  size_t CountLocked(const std::string& line) const {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(), [&](const auto& e) { return Matches(e, line); }));
  }
  void Add(std::string line) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool hold = hold_ && Matches(line, *hold_);
    events_.push_back(std::move(line));
    holding_ = holding_ || hold;
    changed_.notify_all();
    if (hold) changed_.wait_for(lock, kWaitBound, [this] { return !hold_; });
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // -- guarded by mutex_
  std::vector<std::string> events_;
  std::optional<std::string> hold_;
  bool holding_ = false;
};

// Holds the source's reads while closed: a read asked for stays outstanding until Open().
class ReadGate {
 public:
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    changed_.notify_all();
  }
  // Called by the source at the start of every read.
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, kWaitBound, [this] { return !closed_; });
    waiting_ = false;
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitBound, [this] { return waiting_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  bool waiting_ = false;
};

// A scripted video of `count` frames of `frameDuration`, a key frame every `keyEvery`; frame i
// shows luma value i % 256.
inline mf::ScriptedSource ScriptedVideo(int count, int64_t frameDuration = 400'000, int keyEvery = 1,
                                        uint32_t width = 64, uint32_t height = 48) {
  mf::ScriptedSource script;
  script.info.videoSubtype = MFVideoFormat_H264;
  script.info.width = width;
  script.info.height = height;
  script.info.frameRate = mf::Ratio{static_cast<uint32_t>(10'000'000 / frameDuration), 1};
  script.info.duration = count * frameDuration;
  for (int i = 0; i < count; ++i) {
    mf::ScriptedFrame frame;
    frame.time = i * frameDuration;
    frame.duration = frameDuration;
    frame.keyFrame = i % keyEvery == 0;
    frame.value = static_cast<uint8_t>(i % 256);
    script.frames.push_back(frame);
  }
  return script;
}

inline ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> FileStream(const std::string& path) {
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
  EXPECT_EQ(S_OK, CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream)));
  return stream;
}

// The device, the toolkit graphics device, a cache folder and a decoder with a recording
// listener. Free disk space is pinned to 2 GiB so that the storage cache's decision does not
// depend on the machine.
class DecoderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDiskFreeSpaceForTesting(uint64_t{2} << 30);
    ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                      &device_, nullptr, nullptr));
    ASSERT_EQ(S_OK, CreateGraphicsDevice(device_.Get(), &graphics_));
    decoder_ = std::make_shared<VideoDecoder>();
    listener_ = std::make_shared<RecordingListener>();
  }
  void TearDown() override {
    if (decoder_) decoder_->Close();
    decoder_.reset();
    SetDiskFreeSpaceForTesting(std::nullopt);
  }

  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> Scripted(const mf::ScriptedSource& script) {
    ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
    EXPECT_EQ(S_OK, CreateScriptedStream(std::make_shared<mf::ScriptedSource>(script), log_, &stream));
    return stream;
  }
  bool Load(ABI::Windows::Storage::Streams::IRandomAccessStream* stream) {
    return decoder_->Load(listener_, stream, MFVideoFormat_NV12, graphics_.Get());
  }
  // Loads, initializes and waits for the end of the scan.
  void Open(const mf::ScriptedSource& script) {
    ASSERT_TRUE(Load(Scripted(script).Get()));
    decoder_->Initialize(Platform::String(cache_.Path()));
    ASSERT_TRUE(listener_->WaitFor("initialized"));
    ASSERT_TRUE(listener_->WaitFor("cached 0")) << "the last notification of the scan's end";
  }
  // Runs a request's action to completion.
  void Request(int64_t relative) {
    ComPtr<ABI::Windows::Foundation::IAsyncAction> action = decoder_->SetPositionAsync(relative);
    ASSERT_EQ(S_OK, korvane::winrt::WaitForCompletion(action.Get(), kWaitBound));
  }
  // Runs a request, then waits until the caching it started completes; false when it never does.
  bool RequestAndWait(int64_t relative) {
    const size_t before = listener_->Count("completed ");
    Request(relative);
    const bool completed = listener_->WaitForCount("completed ", before + 1);
    EXPECT_TRUE(completed) << "caching around " << relative << " never completed";
    return completed;
  }
  std::vector<std::string> LogLines() const { return log_->Lines(); }
  // The first byte of the frame texture at `relative` (a scripted frame's value); -1 for none.
  int FirstByteAt(int64_t relative) {
    ComPtr<ID3D11Texture2D> frame = decoder_->GetFrame(relative);
    return frame ? ReadTexture(device_.Get(), frame.Get()).bytes.at(0) : -1;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics_;
  TempFolder cache_{"korvane-decoder"};
  std::shared_ptr<mf::ScriptedSourceLog> log_ = std::make_shared<mf::ScriptedSourceLog>();
  std::shared_ptr<VideoDecoder> decoder_;
  std::shared_ptr<RecordingListener> listener_;
};

}  // namespace korvane::test
