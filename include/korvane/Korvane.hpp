// The C++ API of Korvane.Native: header-only RAII handles over the library's runtime classes,
// so that an application never touches HRESULTs, interface pointers or activation itself.
//
//   korvane::Device device = korvane::Device::CreateSoftware();
//   korvane::VideoDecoder video;                                   // activated by class name
//   video.Open(korvane::Stream::FromFile("clip.mp4"), "/tmp/cache", device);
//   if (!video.WaitForInitialized(std::chrono::seconds(30))) ...  // throws if unreadable
//   video.SetPosition(video.Duration() / 2);
//   video.WaitForPosition(std::chrono::seconds(5));
//   korvane::Frame frame = video.CurrentFrame();                   // tightly packed NV12
//   korvane::JpegEncoder().Write(frame, "middle.jpg");
//
// Errors. Every failed call throws korvane::Error, which carries the HRESULT (code()) and a
// message naming the call and the value that was refused, e.g.
//   Stream::FromFile("/no/such.mp4"): HRESULT 0x80070002 (file not found)
// Waits never throw on timeout: they answer false / nullopt / std::future_status::timeout.
//
// Events. VideoDecoder::OnPositionChanged and the like take a callable and return a
// Subscription; the handler runs (on the thread VideoDecoderEvents.h names for that event) until
// the Subscription is destroyed or reset. Once that has returned, the handler is never called
// again; destroying it waits for a call in progress on another thread, and may be done from
// inside the handler itself. A handler that throws is unsubscribed (the exception goes nowhere).
//
// Lifetimes. Handles are move-only and may be destroyed in any order: a VideoDecoder closes its
// decoder when it goes, a FrameIterator its iterator, and a Subscription of a gone object does
// nothing. Every handle is usable from any thread, but one handle object is not meant to be
// moved or destroyed while another thread uses it.
//
// Everything here goes through the exports of libKorvane.Native.so (Library.h); link only it.
#pragma once

#include "korvane/JpegEncoder.h"
#include "korvane/Library.h"
#include "korvane/VideoDecoderInterop.h"
#include "korvane/VideoDecoderIterator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// 100 ns units, as every time of the API.
inline constexpr int64_t kTicksPerSecond = 10'000'000;

class Error : public std::runtime_error {
 public:
  Error(HRESULT code, const std::string& message) : std::runtime_error(message), code_(code) {}
  HRESULT code() const noexcept { return code_; }

 private:
  HRESULT code_;
};

namespace detail {

inline const char* CodeName(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x0000029Cu: return "not ready: the decoder or the encoder refused the call in its state";
    case 0x8000000Bu: return "out of bounds";
    case 0x80000013u: return "object closed";
    case 0x80004001u: return "not implemented";
    case 0x80004002u: return "no such interface";
    case 0x80004003u: return "null pointer";
    case 0x80004004u: return "canceled";
    case 0x80004005u: return "failure";
    case 0x80040111u: return "class not available in this library";
    case 0x80070002u: return "file not found";
    case 0x80070003u: return "path not found";
    case 0x80070005u: return "access denied";
    case 0x8007000Eu: return "out of memory";
    case 0x80070057u: return "invalid argument";
    default: return nullptr;
  }
}

[[noreturn]] inline void Throw(HRESULT hr, std::string_view call, std::string_view value) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  std::string message(call);
  message += '(';
  message += value;
  message += "): HRESULT ";
  message += code;
  if (const char* name = CodeName(hr)) {
    message += " (";
    message += name;
    message += ')';
  }
  throw Error(hr, message);
}

// S_OK and the other success codes pass; 668 (not an HRESULT failure) is a failure here.
inline void Check(HRESULT hr, std::string_view call, std::string_view value = {}) {
  if (hr != S_OK && hr != S_FALSE) Throw(hr, call, value);
}

inline std::string Quoted(std::string_view text) { return '"' + std::string(text) + '"'; }

// A runtime string made by the library, freed by it.
class HString {
 public:
  explicit HString(std::string_view text) {
    Check(KorvaneCreateString(text.data(), static_cast<uint32_t>(text.size()), &handle_), "KorvaneCreateString",
          Quoted(text));
  }
  ~HString() { KorvaneDeleteString(handle_); }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  HSTRING Get() const { return handle_; }

 private:
  HSTRING handle_ = nullptr;
};

template <class Interface>
ComPtr<Interface> Activate(const char* className) {
  ComPtr<IActivationFactory> factory;
  Check(DllGetActivationFactory(HString(className).Get(), &factory), "DllGetActivationFactory", Quoted(className));
  ComPtr<IInspectable> instance;
  Check(factory->ActivateInstance(&instance), "ActivateInstance", Quoted(className));
  ComPtr<Interface> typed;
  Check(instance.As(&typed), "QueryInterface", className);
  return typed;
}

// One property of an interface, or korvane::Error naming `call`.
template <class Object, class T>
T Read(Object* object, HRESULT (Object::*getter)(T*), const char* call) {
  T value{};
  Check((object->*getter)(&value), call);
  return value;
}

// Closes an object that answers IClosable, ignoring the outcome (for destructors).
inline void CloseQuietly(IUnknown* object) noexcept {
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  if (object != nullptr && SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&closable)))) closable->Close();
}

// What a handler and its Subscription share: the callable, and whether it may still run.
// callMutex is held while the callable runs and while the Subscription switches it off; it is
// recursive so that a handler may end its own subscription.
template <class F>
struct HandlerState {
  std::recursive_mutex callMutex;
  bool active = true;  // guarded by callMutex
  F callable;
  explicit HandlerState(F f) : callable(std::move(f)) {}
};

// A delegate object (any interface with one `HRESULT Invoke(Args...)`) over a HandlerState.
template <class Delegate, class F, class Signature>
class Handler;
template <class Delegate, class F, class C, class... Args>
class Handler<Delegate, F, HRESULT (C::*)(Args...)> final : public Delegate, public IAgileObject {
 public:
  explicit Handler(std::shared_ptr<HandlerState<F>> state) : state_(std::move(state)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::kIid || iid == Delegate::kIid) {
      *object = static_cast<Delegate*>(this);
    } else if (iid == IAgileObject::kIid) {
      *object = static_cast<IAgileObject*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Invoke(Args... args) override {
    std::lock_guard lock(state_->callMutex);
    // A gone subscription asks the event to drop this handler.
    if (!state_->active) return RPC_E_DISCONNECTED;
    try {
      state_->callable(args...);
      return S_OK;
    } catch (...) {
      state_->active = false;
      return RPC_E_DISCONNECTED;
    }
  }

 private:
  ~Handler() = default;
  std::shared_ptr<HandlerState<F>> state_;
  std::atomic<ULONG> refs_{1};
};

// A new delegate object over `state`, with the caller's one reference.
template <class Delegate, class F>
ComPtr<Delegate> MakeHandler(const std::shared_ptr<HandlerState<F>>& state) {
  ComPtr<Delegate> handler;
  handler.Attach(new Handler<Delegate, F, decltype(&Delegate::Invoke)>(state));
  return handler;
}

}  // namespace detail

// Ends one event subscription when destroyed or reset (see the file comment).
class Subscription {
 public:
  Subscription() = default;
  Subscription(std::function<void()> deactivate, std::function<void()> remove)
      : deactivate_(std::move(deactivate)), remove_(std::move(remove)) {}
  Subscription(Subscription&& other) noexcept = default;
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      deactivate_ = std::move(other.deactivate_);
      remove_ = std::move(other.remove_);
    }
    return *this;
  }
  ~Subscription() { reset(); }

  void reset() noexcept {
    if (deactivate_) std::exchange(deactivate_, nullptr)();
    if (remove_) std::exchange(remove_, nullptr)();
  }
  explicit operator bool() const { return static_cast<bool>(deactivate_); }

  // Subscribes `callable` to the event that `add` / `remove` register on `source` (a
  // weak-referenceable object, held weakly so a subscription never keeps it alive).
  template <class Delegate, class Source, class F>
  static Subscription Make(Source* source, HRESULT (Source::*add)(Delegate*, EventRegistrationToken*),
                           HRESULT (Source::*remove)(EventRegistrationToken), F callable, const char* call) {
    auto state = std::make_shared<detail::HandlerState<F>>(std::move(callable));
    ComPtr<Delegate> handler = detail::MakeHandler<Delegate>(state);
    EventRegistrationToken token{};
    detail::Check((source->*add)(handler.Get(), &token), call);
    ComPtr<IWeakReferenceSource> weakSource;
    ComPtr<IWeakReference> weak;
    if (SUCCEEDED(source->QueryInterface(IID_PPV_ARGS(&weakSource)))) weakSource->GetWeakReference(&weak);
    return Subscription(
        [state] {
          std::lock_guard lock(state->callMutex);
          state->active = false;
        },
        [weak, remove, token] {
          // A closed or gone source has dropped its handlers already.
          ComPtr<Source> alive;
          if (weak && SUCCEEDED(weak->Resolve(alive.GetAddressOf())) && alive) (alive.Get()->*remove)(token);
        });
  }

 private:
  std::function<void()> deactivate_;
  std::function<void()> remove_;
};

// A software Direct3D 11 device and the toolkit's graphics device over it.
class Device {
 public:
  static Device CreateSoftware() {
    Device device;
    detail::Check(KorvaneCreateSoftwareDevice(&device.device_, &device.graphics_), "Device::CreateSoftware");
    return device;
  }
  ID3D11Device* Get() const { return device_.Get(); }
  IInspectable* Graphics() const { return graphics_.Get(); }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<IInspectable> graphics_;
};

// A random-access stream: a video to open, a picture to encode, an encoded JPEG.
class Stream {
 public:
  Stream() = default;
  explicit Stream(ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream) : stream_(std::move(stream)) {}

  static Stream FromFile(const std::filesystem::path& path) {
    Stream stream;
    detail::Check(KorvaneOpenFileStream(path.c_str(), &stream.stream_), "Stream::FromFile", detail::Quoted(path.string()));
    return stream;
  }
  static Stream FromMemory(std::span<const uint8_t> bytes) {
    Stream stream;
    detail::Check(KorvaneCreateMemoryStream(bytes.data(), bytes.size(), &stream.stream_), "Stream::FromMemory",
                  std::to_string(bytes.size()) + " bytes");
    return stream;
  }

  uint64_t Size() const {
    UINT64 size = 0;
    detail::Check(stream_->get_Size(&size), "Stream::Size");
    return size;
  }
  // The whole content, read from the start (the position ends at the end).
  std::vector<uint8_t> Bytes() const {
    ComPtr<korvane::winrt::IRandomAccessStreamIo> io;
    detail::Check(stream_.As(&io), "Stream::Bytes", "a stream without byte access");
    std::vector<uint8_t> bytes(static_cast<size_t>(Size()));
    detail::Check(stream_->Seek(0), "Stream::Bytes", "seek 0");
    ULONG read = 0;
    detail::Check(io->ReadAt(bytes.data(), static_cast<ULONG>(bytes.size()), &read), "Stream::Bytes");
    bytes.resize(read);
    return bytes;
  }
  ABI::Windows::Storage::Streams::IRandomAccessStream* Get() const { return stream_.Get(); }

 private:
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;
};

// A decoded picture as tightly packed NV12: `width` × `height` luma bytes, then (height + 1) / 2
// rows of (width + 1) / 2 interleaved Cb, Cr pairs (for an odd size the last chroma sample
// covers the last column or row alone). `time`: the frame's start in 100 ns, or -1.
struct Frame {
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t time = -1;
  std::vector<uint8_t> nv12;

  static uint32_t ChromaRowBytes(uint32_t width) { return (width + 1) / 2 * 2; }
  static uint32_t ChromaRows(uint32_t height) { return (height + 1) / 2; }
  const uint8_t* Chroma() const { return nv12.data() + static_cast<size_t>(width) * height; }
};

// Reads an NV12 texture of `device` back to the CPU: a staging copy, mapped, its rows copied
// without their padding. A picture of `width` × `height` (both 0: the texture's size) is cut
// from its top left: the decoder hands an odd-sized video out in a texture rounded up to even.
inline Frame ReadFrame(ID3D11Device* device, ID3D11Texture2D* texture, int64_t time, uint32_t width = 0,
                       uint32_t height = 0) {
  if (device == nullptr || texture == nullptr) detail::Throw(E_POINTER, "ReadFrame", "a null device or texture");
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  const std::string size = std::to_string(desc.Width) + " x " + std::to_string(desc.Height);
  if (desc.Format != DXGI_FORMAT_NV12) detail::Throw(E_INVALIDARG, "ReadFrame", "format " + std::to_string(desc.Format));
  if (width == 0 && height == 0) {
    width = desc.Width;
    height = desc.Height;
  }
  if (width == 0 || height == 0 || width > desc.Width || height > desc.Height) {
    detail::Throw(E_INVALIDARG, "ReadFrame",
                  std::to_string(width) + " x " + std::to_string(height) + " out of a texture of " + size);
  }
  D3D11_TEXTURE2D_DESC stagingDesc = desc;
  stagingDesc.Usage = D3D11_USAGE_STAGING;
  stagingDesc.BindFlags = 0;
  stagingDesc.MiscFlags = 0;
  stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  detail::Check(device->CreateTexture2D(&stagingDesc, nullptr, &staging), "ReadFrame", "staging texture " + size);
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  detail::Check(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), "ReadFrame", "map " + size);
  Frame frame{width, height, time, {}};
  const uint32_t chromaBytes = Frame::ChromaRowBytes(width);
  const uint32_t chromaRows = Frame::ChromaRows(height);
  frame.nv12.resize(static_cast<size_t>(width) * height + static_cast<size_t>(chromaBytes) * chromaRows);
  const auto* luma = static_cast<const uint8_t*>(mapped.pData);
  const uint8_t* chroma = luma + static_cast<size_t>(mapped.RowPitch) * desc.Height;
  uint8_t* out = frame.nv12.data();
  for (uint32_t row = 0; row < height; ++row, out += width) {
    std::copy_n(luma + static_cast<size_t>(row) * mapped.RowPitch, width, out);
  }
  for (uint32_t row = 0; row < chromaRows; ++row, out += chromaBytes) {
    std::copy_n(chroma + static_cast<size_t>(row) * mapped.RowPitch, chromaBytes, out);
  }
  context->Unmap(staging.Get(), 0);
  return frame;
}

// The largest even-sized part of `frame` from its top left, packed: the JPEG encoder takes even
// sizes only.
inline Frame EvenPart(const Frame& frame) {
  const uint32_t width = frame.width & ~1u;
  const uint32_t height = frame.height & ~1u;
  if (width == frame.width && height == frame.height) return frame;
  if (frame.nv12.size() < static_cast<size_t>(frame.width) * frame.height +
                              static_cast<size_t>(Frame::ChromaRowBytes(frame.width)) * Frame::ChromaRows(frame.height)) {
    detail::Throw(E_INVALIDARG, "EvenPart",
                  std::to_string(frame.nv12.size()) + " bytes for " + std::to_string(frame.width) + " x " +
                      std::to_string(frame.height));
  }
  Frame even{width, height, frame.time, {}};
  even.nv12.reserve(static_cast<size_t>(width) * height * 3 / 2);
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* line = frame.nv12.data() + static_cast<size_t>(row) * frame.width;
    even.nv12.insert(even.nv12.end(), line, line + width);
  }
  for (uint32_t row = 0; row < height / 2; ++row) {
    const uint8_t* line = frame.Chroma() + static_cast<size_t>(row) * Frame::ChromaRowBytes(frame.width);
    even.nv12.insert(even.nv12.end(), line, line + width);
  }
  return even;
}

// An asynchronous operation with progress (a JPEG encode), as a future: get() waits and
// returns the result or throws; wait_for waits a while; progress() is the last value reported.
class EncodeOperation {
  using StreamAbi = ABI::Windows::Storage::Streams::IRandomAccessStream;
  using AbiOperation = ABI::Windows::Foundation::IAsyncOperationWithProgress<StreamAbi*, double>;
  using Status = ABI::Windows::Foundation::AsyncStatus;

 public:
  // `onProgress` (optional) runs on the operation's thread for each progress value reported
  // from now on; the work goes on when it returns.
  EncodeOperation(ComPtr<AbiOperation> operation, std::string call, std::function<void(double)> onProgress = {})
      : operation_(std::move(operation)), state_(std::make_shared<State>()), call_(std::move(call)) {
    using namespace ABI::Windows::Foundation;
    auto progress = std::make_shared<detail::HandlerState<std::function<void(AbiOperation*, double)>>>(
        [state = state_, onProgress = std::move(onProgress)](AbiOperation*, double value) {
          {
            std::lock_guard lock(state->mutex);
            state->progress = value;
          }
          if (onProgress) onProgress(value);
        });
    auto completed = std::make_shared<detail::HandlerState<std::function<void(AbiOperation*, Status)>>>(
        [state = state_](AbiOperation*, Status status) {
          std::lock_guard lock(state->mutex);
          state->status = status;
          state->changed.notify_all();
        });
    detail::Check(operation_->put_Progress(
                      detail::MakeHandler<IAsyncOperationProgressHandler<StreamAbi*, double>>(progress).Get()),
                  call_, "put_Progress");
    // Called at once when the operation has already finished.
    detail::Check(operation_->put_Completed(
                      detail::MakeHandler<IAsyncOperationWithProgressCompletedHandler<StreamAbi*, double>>(completed)
                          .Get()),
                  call_, "put_Completed");
  }

  std::future_status wait_for(std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->status != Status::Started; })
               ? std::future_status::ready
               : std::future_status::timeout;
  }
  void wait() const {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->status != Status::Started; });
  }
  // The encoded stream; an operation that failed or was canceled throws its error code.
  Stream get() const {
    wait();
    ComPtr<ABI::Windows::Foundation::IAsyncInfo> info;
    HRESULT error = S_OK;
    detail::Check(operation_.As(&info), call_, "IAsyncInfo");
    detail::Check(info->get_ErrorCode(&error), call_, "ErrorCode");
    if (error != S_OK) detail::Throw(error, call_, "");
    ComPtr<StreamAbi> result;
    detail::Check(operation_->GetResults(&result), call_, "GetResults");
    return Stream(std::move(result));
  }
  void cancel() const {
    ComPtr<ABI::Windows::Foundation::IAsyncInfo> info;
    if (SUCCEEDED(operation_.As(&info))) info->Cancel();
  }
  double progress() const {
    std::lock_guard lock(state_->mutex);
    return state_->progress;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Status status = Status::Started;  // guarded by mutex
    double progress = 0;              // guarded by mutex
  };

  ComPtr<AbiOperation> operation_;
  std::shared_ptr<State> state_;
  std::string call_;
};

// Korvane.Native.JpegEncoder: NV12 pictures to JPEG (JpegEncoder.h gives the layout and codes).
class JpegEncoder {
 public:
  JpegEncoder() : encoder_(detail::Activate<ABI::Korvane::Native::IJpegEncoder>(ABI::Korvane::Native::kJpegEncoderClassName)) {}

  // Starts encoding `nv12` (the JpegEncoder.h layout for width × height).
  EncodeOperation EncodeAsync(const Stream& nv12, uint32_t width, uint32_t height,
                              std::function<void(double)> onProgress = {}) const {
    const std::string call = "JpegEncoder::EncodeAsync";
    const std::string value = std::to_string(width) + " x " + std::to_string(height);
    ComPtr<ABI::Windows::Foundation::IAsyncOperationWithProgress<ABI::Windows::Storage::Streams::IRandomAccessStream*,
                                                                  double>>
        operation;
    detail::Check(encoder_->EncodeAsync(nv12.Get(), width, height, &operation), call, value);
    return EncodeOperation(std::move(operation), call + "(" + value + ")", std::move(onProgress));
  }
  // The JPEG of `frame` (its even-sized part, EvenPart), waiting for the encode.
  std::vector<uint8_t> Encode(const Frame& frame) const {
    const Frame even = EvenPart(frame);
    return EncodeAsync(Stream::FromMemory(even.nv12), even.width, even.height).get().Bytes();
  }
  // Writes the JPEG of `frame` to `path` (replacing a file there).
  void Write(const Frame& frame, const std::filesystem::path& path) const {
    const std::vector<uint8_t> jpeg = Encode(frame);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    out.close();
    if (!out) detail::Throw(E_FAIL, "JpegEncoder::Write", detail::Quoted(path.string()));
  }

 private:
  ComPtr<ABI::Korvane::Native::IJpegEncoder> encoder_;
};

// A frame cursor over a VideoDecoder (VideoDecoderIterator.h): it stays `Offset` frames from the
// decoder's current frame. Made by VideoDecoder::CreateIterator; closed when the handle goes.
class FrameIterator {
 public:
  FrameIterator(FrameIterator&&) noexcept = default;
  FrameIterator& operator=(FrameIterator&& other) noexcept {
    if (this != &other) {
      CloseQuietly();
      iterator_ = std::move(other.iterator_);
      source_ = std::move(other.source_);
      device_ = std::move(other.device_);
      owner_ = std::move(other.owner_);
    }
    return *this;
  }
  ~FrameIterator() { CloseQuietly(); }

  int32_t Offset() const { return Get(&Abi::get_Offset, "FrameIterator::Offset"); }
  void SetOffset(int32_t offset) {
    detail::Check(iterator_->SetOffset(offset), "FrameIterator::SetOffset", std::to_string(offset));
  }
  void MoveNext() { detail::Check(iterator_->MoveNext(), "FrameIterator::MoveNext", "offset " + std::to_string(Offset())); }
  void MovePrevious() {
    detail::Check(iterator_->MovePrevious(), "FrameIterator::MovePrevious", "offset " + std::to_string(Offset()));
  }
  void Reset() { detail::Check(iterator_->Reset(), "FrameIterator::Reset"); }
  bool HasFrame() const { return Get(&Abi::get_HasFrame, "FrameIterator::HasFrame") != 0; }
  bool HasNextFrame() const { return Get(&Abi::get_HasNextFrame, "FrameIterator::HasNextFrame") != 0; }
  bool HasPreviousFrame() const { return Get(&Abi::get_HasPreviousFrame, "FrameIterator::HasPreviousFrame") != 0; }

  // The iterator's frame, or the grey placeholder while it is not decoded (null before the
  // decoder has loaded a video).
  ComPtr<ID3D11Texture2D> Texture() const {
    UINT64 handed = 0;
    detail::Check(source_->GetTexture(&handed), "FrameIterator::Texture");
    ComPtr<ID3D11Texture2D> texture;
    texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<uintptr_t>(handed)));
    return texture;
  }
  // Texture() as packed NV12 at the video's frame size (time -1: the iterator does not say).
  // The placeholder comes out whole (2 x 2).
  Frame CurrentFrame() const {
    ComPtr<ID3D11Texture2D> texture = Texture();
    if (!texture) detail::Throw(kNotReady, "FrameIterator::CurrentFrame", "no video loaded");
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    ComPtr<ABI::Korvane::Native::IVideoDecoderInterop> owner;
    UINT32 width = 0, height = 0;
    if (owner_ && SUCCEEDED(owner_->Resolve(owner.GetAddressOf())) && owner &&
        SUCCEEDED(owner->get_FrameWidth(&width)) && SUCCEEDED(owner->get_FrameHeight(&height)) &&
        width <= desc.Width && height <= desc.Height && desc.Width - width < 2 && desc.Height - height < 2) {
      return ReadFrame(device_.Get(), texture.Get(), -1, width, height);
    }
    return ReadFrame(device_.Get(), texture.Get(), -1);
  }
  // Raised on a pool thread when what Texture() returns may have changed.
  template <class F>
  Subscription OnFrameUpdated(F handler) {
    return Subscription::Make<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>(
        source_.Get(), &Brindle::Tamsel::SceneGraph::IVideoDecoder::add_FrameUpdated,
        &Brindle::Tamsel::SceneGraph::IVideoDecoder::remove_FrameUpdated, std::move(handler),
        "FrameIterator::OnFrameUpdated");
  }

  ABI::Korvane::Native::IVideoDecoderIterator* Get() const { return iterator_.Get(); }

 private:
  friend class VideoDecoder;
  using Abi = ABI::Korvane::Native::IVideoDecoderIterator;

  FrameIterator(ComPtr<Abi> iterator, ComPtr<ID3D11Device> device, ComPtr<IWeakReference> owner)
      : iterator_(std::move(iterator)), device_(std::move(device)), owner_(std::move(owner)) {
    detail::Check(iterator_.As(&source_), "VideoDecoder::CreateIterator", "IVideoDecoder");
  }
  template <class T>
  T Get(HRESULT (Abi::*getter)(T*), const char* call) const {
    return detail::Read(iterator_.Get(), getter, call);
  }
  void CloseQuietly() noexcept {
    detail::CloseQuietly(iterator_.Get());
    iterator_.Reset();
    source_.Reset();
  }

  ComPtr<Abi> iterator_;
  ComPtr<Brindle::Tamsel::SceneGraph::IVideoDecoder> source_;
  ComPtr<ID3D11Device> device_;
  ComPtr<IWeakReference> owner_;  // the decoder, for its frame size
};

// How a VideoDecoder keeps decoded frames outside the ±0.1 s memory window
// (VideoDecoderCachingPolicy.h). The default value is the fixed behaviour: raw files up to 500 MiB,
// then no more. For fast stepping back on long HD videos, e.g.
//   video.SetCachingPolicy({.diskBudgetBytes = 2ull << 30, .atBudget = CachingPolicy::AtBudget::EvictFarthest,
//                           .ramBudgetBytes = 256ull << 20, .compression = CachingPolicy::Compression::Zstd});
// Stepping back decodes each stretch once only while the two budgets together hold the GOP
// behind the position and the frames already passed ahead of it up to the same distance, since
// EvictFarthest keeps the nearest on either side: about two GOPs of frames (a 1080p NV12 frame is
// about 3 MiB raw, so with 250-frame GOPs about 1.5 GiB; zstd shrinks camera-like frames several
// times but adds its time to every frame stored). With less, the farthest part of a GOP is
// decoded again when the position reaches it.
struct CachingPolicy {
  enum class AtBudget : int32_t { Stop = 0, EvictFarthest = 1 };
  enum class Compression : int32_t { None = 0, Zstd = 1 };

  uint64_t diskBudgetBytes = 524'288'000;
  AtBudget atBudget = AtBudget::Stop;
  uint64_t ramBudgetBytes = 0;
  Compression compression = Compression::None;

  bool operator==(const CachingPolicy&) const = default;
};

// Korvane.Native.VideoDecoderInterop (VideoDecoderInterop.h): opens a video, steps through it,
// hands out frames. The handle closes the decoder when it goes.
class VideoDecoder {
  using Abi = ABI::Korvane::Native::IVideoDecoderInterop;

 public:
  VideoDecoder()
      : interop_(detail::Activate<Abi>(ABI::Korvane::Native::kVideoDecoderInteropClassName)),
        state_(std::make_shared<State>()) {
    using namespace ABI::Korvane::Native;
    const auto state = state_;
    auto update = [state](auto change) {
      std::lock_guard lock(state->mutex);
      change(*state);
      state->changed.notify_all();
    };
    internal_.push_back(OnInitialized([update] { update([](State& s) { s.initialized = true; }); }));
    internal_.push_back(OnError([update](int32_t code) { update([code](State& s) { s.error = code; }); }));
    internal_.push_back(OnInitializationProgress([update](double p) { update([p](State& s) { s.progress = p; }); }));
    internal_.push_back(OnPositionChanged([update](int64_t p) {
      update([p](State& s) {
        ++s.positionReports;
        s.position = p;
      });
    }));
    internal_.push_back(OnCachingCompleted([update](int64_t start, int64_t end) {
      update([=](State& s) { s.cached = {start, end}; });
    }));
  }
  VideoDecoder(VideoDecoder&&) noexcept = default;
  VideoDecoder& operator=(VideoDecoder&& other) noexcept {
    if (this != &other) {
      CloseQuietly();
      internal_ = std::move(other.internal_);
      interop_ = std::move(other.interop_);
      device_ = std::move(other.device_);
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~VideoDecoder() { CloseQuietly(); }

  // The caching policy of the next Open that starts a first pass (one that takes a stream up
  // again keeps its caches as they are). Throws E_INVALIDARG for values outside the enums.
  void SetCachingPolicy(const CachingPolicy& policy) {
    ABI::Korvane::Native::CachingPolicy abi;
    abi.DiskBudgetBytes = policy.diskBudgetBytes;
    abi.AtDiskBudget = static_cast<ABI::Korvane::Native::DiskBudgetAction>(policy.atBudget);
    abi.Compression = static_cast<ABI::Korvane::Native::FrameFileCompression>(policy.compression);
    abi.RamBudgetBytes = policy.ramBudgetBytes;
    detail::Check(PolicyInterface()->put_CachingPolicy(&abi), "VideoDecoder::SetCachingPolicy",
                  "AtBudget " + std::to_string(static_cast<int32_t>(policy.atBudget)) + ", Compression " +
                      std::to_string(static_cast<int32_t>(policy.compression)));
  }
  CachingPolicy GetCachingPolicy() const {
    ABI::Korvane::Native::CachingPolicy abi;
    detail::Check(PolicyInterface()->get_CachingPolicy(&abi), "VideoDecoder::GetCachingPolicy");
    CachingPolicy policy;
    policy.diskBudgetBytes = abi.DiskBudgetBytes;
    policy.atBudget = static_cast<CachingPolicy::AtBudget>(abi.AtDiskBudget);
    policy.ramBudgetBytes = abi.RamBudgetBytes;
    policy.compression = static_cast<CachingPolicy::Compression>(abi.Compression);
    return policy;
  }

  // Opens `video` on `device` with its frame cache in `cacheFolder` (wiped first) and starts the
  // first pass; WaitForInitialized tells when it has ended or the video proved unreadable.
  void Open(const Stream& video, const std::filesystem::path& cacheFolder, const Device& device) {
    device_ = device;
    detail::Check(interop_->Open(video.Get(), detail::HString(cacheFolder.string()).Get(), device.Graphics()),
                  "VideoDecoder::Open", "cache folder " + detail::Quoted(cacheFolder.string()));
  }
  // True once the first pass has ended and its closing position report has come (so that a
  // later WaitForPosition hears of its own request, not of that report); false on timeout.
  // Throws korvane::Error (E_FAIL, with the ErrorOccured code) when the decoder reported an
  // error before that.
  bool WaitForInitialized(std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    const auto done = [&] { return state_->initialized && state_->positionReports > 0; };
    state_->changed.wait_for(lock, timeout, [&] { return done() || state_->error; });
    if (!done() && state_->error) {
      detail::Throw(E_FAIL, "VideoDecoder::WaitForInitialized",
                    "the video could not be read: ErrorOccured " + std::to_string(*state_->error));
    }
    return done();
  }
  // The last InitializationProgressChanged value (0 to 1).
  double InitializationProgress() const {
    std::lock_guard lock(state_->mutex);
    return state_->progress;
  }
  // The middle of the frame shown, from the first PositionHasChanged after the last SetPosition /
  // MoveNext / MovePrevious of this handle (or after Open) that shows the frame asked for;
  // nullopt on timeout. Reports are raised on a pool thread, so one for an earlier request can
  // arrive after a newer request was made: a report counts only when its frame contains the
  // requested time (for a move, the neighbour's start as it was when the move was asked for;
  // beyond either end, the first or last frame). A request the decoder serves without a new
  // report (a time inside the frame already shown) times out.
  std::optional<int64_t> WaitForPosition(std::chrono::nanoseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(state_->mutex);
    uint64_t seen = state_->requestMark;
    for (;;) {
      if (!state_->changed.wait_until(lock, deadline, [&] { return state_->positionReports > seen; }))
        return std::nullopt;
      seen = state_->positionReports;
      const int64_t shown = state_->position;
      const std::optional<int64_t> target = state_->requestTarget;
      lock.unlock();  // the check asks the decoder, whose events take this mutex
      if (!target || ShowsFrameContaining(shown, *target)) return shown;
      lock.lock();
    }
  }
  // True once the last CachingCompleted span reported contains `time`; false on timeout.
  bool WaitForCached(int64_t time, std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
      return state_->cached && state_->cached->first <= time && time <= state_->cached->second;
    });
  }

  bool IsInitialized() const { return Get(&Abi::get_IsInitialized, "VideoDecoder::IsInitialized") != 0; }
  int64_t Duration() const { return Get(&Abi::get_Duration, "VideoDecoder::Duration"); }
  // The start of the frame shown now; -1 before any.
  int64_t Position() const { return Get(&Abi::get_Position, "VideoDecoder::Position"); }
  bool HasNextFrame() const { return Get(&Abi::get_HasNextFrame, "VideoDecoder::HasNextFrame") != 0; }
  bool HasPreviousFrame() const { return Get(&Abi::get_HasPreviousFrame, "VideoDecoder::HasPreviousFrame") != 0; }
  uint32_t FrameWidth() const { return Get(&Abi::get_FrameWidth, "VideoDecoder::FrameWidth"); }
  uint32_t FrameHeight() const { return Get(&Abi::get_FrameHeight, "VideoDecoder::FrameHeight"); }
  uint32_t Rotation() const { return Get(&Abi::get_Rotation, "VideoDecoder::Rotation"); }
  uint32_t ResolutionDivisor() const { return Get(&Abi::get_ResolutionDivisor, "VideoDecoder::ResolutionDivisor"); }
  void SetResolutionDivisor(uint32_t divisor) {
    detail::Check(interop_->put_ResolutionDivisor(divisor), "VideoDecoder::SetResolutionDivisor",
                  std::to_string(divisor));
  }

  // Asks for the frame containing `time`; WaitForPosition tells when it is shown.
  void SetPosition(int64_t time) {
    MarkRequest(time);
    detail::Check(interop_->put_Position(time), "VideoDecoder::SetPosition", std::to_string(time));
  }
  // Step one frame; E_BOUNDS (korvane::Error) with nothing changed at either end.
  void MoveNext() {
    MarkRequest(NeighbourOfShownFrame(&Abi::GetNextFrameTime));
    detail::Check(interop_->MoveNext(), "VideoDecoder::MoveNext", "from position " + PositionText());
  }
  void MovePrevious() {
    MarkRequest(NeighbourOfShownFrame(&Abi::GetPreviousFrameTime));
    detail::Check(interop_->MovePrevious(), "VideoDecoder::MovePrevious", "from position " + PositionText());
  }

  // The decoded frame containing `time` (null when it is not decoded).
  ComPtr<ID3D11Texture2D> FrameTexture(int64_t time) const {
    int64_t handed = 0;
    detail::Check(interop_->GetFrameTexture(time, &handed), "VideoDecoder::FrameTexture", std::to_string(time));
    ComPtr<ID3D11Texture2D> texture;
    texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<intptr_t>(handed)));
    return texture;
  }
  // The decoded frame containing `time` as packed NV12 (its `time` is the one asked for);
  // nullopt when it is not decoded.
  std::optional<Frame> FrameAt(int64_t time) const {
    ComPtr<ID3D11Texture2D> texture = FrameTexture(time);
    if (!texture) return std::nullopt;
    return ReadFrame(device_.Get(), texture.Get(), time, FrameWidth(), FrameHeight());
  }
  // The frame shown now, its `time` its start. Throws 668 when none is decoded there.
  Frame CurrentFrame() const {
    const int64_t position = Position();
    std::optional<Frame> frame = FrameAt(position);
    if (!frame) detail::Throw(kNotReady, "VideoDecoder::CurrentFrame", "nothing decoded at " + std::to_string(position));
    return *std::move(frame);
  }
  int64_t FrameDuration(int64_t time) const { return GetAt(&Abi::GetFrameDuration, time, "VideoDecoder::FrameDuration"); }
  int64_t PreviousFrameTime(int64_t time) const {
    return GetAt(&Abi::GetPreviousFrameTime, time, "VideoDecoder::PreviousFrameTime");
  }
  int64_t NextFrameTime(int64_t time) const { return GetAt(&Abi::GetNextFrameTime, time, "VideoDecoder::NextFrameTime"); }

  FrameIterator CreateIterator() {
    ComPtr<ABI::Korvane::Native::IVideoDecoderIterator> iterator;
    detail::Check(interop_->CreateIterator(&iterator), "VideoDecoder::CreateIterator");
    ComPtr<IWeakReferenceSource> source;
    ComPtr<IWeakReference> owner;
    if (SUCCEEDED(interop_.As(&source))) source->GetWeakReference(&owner);
    return FrameIterator(std::move(iterator), ComPtr<ID3D11Device>(device_.Get()), std::move(owner));
  }
  // Lets the file go, keeping every decoded frame; ReopenStream takes one up again.
  void CloseStream() { detail::Check(interop_->CloseStream(), "VideoDecoder::CloseStream"); }
  bool ReopenStream(const Stream& video) {
    boolean reopened = 0;
    detail::Check(interop_->ReopenStream(video.Get(), &reopened), "VideoDecoder::ReopenStream");
    return reopened != 0;
  }
  // Closes the decoder: no handler runs once this has returned. Later calls throw RO_E_CLOSED.
  void Close() {
    ComPtr<ABI::Windows::Foundation::IClosable> closable;
    detail::Check(interop_.As(&closable), "VideoDecoder::Close", "IClosable");
    detail::Check(closable->Close(), "VideoDecoder::Close");
  }

  // Events (VideoDecoderEvents.h says on which thread each is raised and what a handler may do).
  template <class F>
  Subscription OnLoaded(F handler) {
    return Subscribe<ABI::Korvane::Native::DecoderLoaded>(&Abi::add_DecoderLoaded, &Abi::remove_DecoderLoaded,
                                                          std::move(handler), "VideoDecoder::OnLoaded");
  }
  template <class F>
  Subscription OnInitializationProgress(F handler) {
    return Subscribe<ABI::Korvane::Native::InitializationProgressChanged>(
        &Abi::add_InitializationProgressChanged, &Abi::remove_InitializationProgressChanged, std::move(handler),
        "VideoDecoder::OnInitializationProgress");
  }
  template <class F>
  Subscription OnInitialized(F handler) {
    return Subscribe<ABI::Korvane::Native::DecoderInitialized>(
        &Abi::add_DecoderInitialized, &Abi::remove_DecoderInitialized, std::move(handler), "VideoDecoder::OnInitialized");
  }
  template <class F>
  Subscription OnPositionChanged(F handler) {
    return Subscribe<ABI::Korvane::Native::PositionHasChanged>(&Abi::add_PositionHasChanged,
                                                               &Abi::remove_PositionHasChanged, std::move(handler),
                                                               "VideoDecoder::OnPositionChanged");
  }
  template <class F>
  Subscription OnFrameCached(F handler) {
    return Subscribe<ABI::Korvane::Native::FrameCached>(&Abi::add_FrameCached, &Abi::remove_FrameCached,
                                                        std::move(handler), "VideoDecoder::OnFrameCached");
  }
  template <class F>
  Subscription OnCachingCompleted(F handler) {
    return Subscribe<ABI::Korvane::Native::CachingCompleted>(&Abi::add_CachingCompleted,
                                                             &Abi::remove_CachingCompleted, std::move(handler),
                                                             "VideoDecoder::OnCachingCompleted");
  }
  template <class F>
  Subscription OnError(F handler) {
    return Subscribe<ABI::Korvane::Native::ErrorOccured>(&Abi::add_ErrorOccured, &Abi::remove_ErrorOccured,
                                                         std::move(handler), "VideoDecoder::OnError");
  }

  Abi* Get() const { return interop_.Get(); }

 private:
  // What the handle's own handlers record for the waits.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    // -- guarded by mutex
    bool initialized = false;
    std::optional<int32_t> error;
    double progress = 0;
    uint64_t positionReports = 0;
    uint64_t requestMark = 0;  // positionReports when the last request was made
    std::optional<int64_t> requestTarget;  // a time inside the frame it asked for, when known
    int64_t position = -1;
    std::optional<std::pair<int64_t, int64_t>> cached;
  };

  template <class Delegate, class F, class Add, class Remove>
  Subscription Subscribe(Add add, Remove remove, F handler, const char* call) {
    return Subscription::Make<Delegate>(interop_.Get(), add, remove, std::move(handler), call);
  }
  template <class T>
  T Get(HRESULT (Abi::*getter)(T*), const char* call) const {
    return detail::Read(interop_.Get(), getter, call);
  }
  int64_t GetAt(HRESULT (Abi::*getter)(int64_t, int64_t*), int64_t time, const char* call) const {
    int64_t value = 0;
    detail::Check((interop_.Get()->*getter)(time, &value), call, std::to_string(time));
    return value;
  }
  void MarkRequest(std::optional<int64_t> target) {
    std::lock_guard lock(state_->mutex);
    state_->requestMark = state_->positionReports;
    state_->requestTarget = target;
  }
  // The start of the frame a move will show, or nullopt when the decoder cannot tell yet.
  std::optional<int64_t> NeighbourOfShownFrame(HRESULT (Abi::*neighbour)(int64_t, int64_t*)) const {
    int64_t position = -1;
    int64_t time = -1;
    if (FAILED(interop_->get_Position(&position)) || position < 0) return std::nullopt;
    if (FAILED((interop_.Get()->*neighbour)(position, &time)) || time < 0) return std::nullopt;
    return time;
  }
  // Whether `shown` (the middle of a frame, as PositionHasChanged reports it) is the frame that
  // contains `target`, or the first or last frame when `target` lies beyond that end. When the
  // decoder can no longer tell (the frame left the caches), the report is taken.
  bool ShowsFrameContaining(int64_t shown, int64_t target) const {
    int64_t duration = 0;
    if (FAILED(interop_->GetFrameDuration(shown, &duration)) || duration <= 0) return true;
    const int64_t start = shown - duration / 2;
    if (target >= start && target - start < duration) return true;
    // Beyond an end: a neighbour that is merely not cached yet must not pass for the end, so the
    // first frame is the one at 0 and the last the one at Duration (or the last one reachable
    // from a target past Duration).
    int64_t neighbour = -1;
    if (target < start) {
      return start <= 0 || (target < 0 && SUCCEEDED(interop_->GetPreviousFrameTime(start, &neighbour)) && neighbour < 0);
    }
    int64_t last = 0;
    if (FAILED(interop_->get_Duration(&last))) return true;
    return start >= last || (target >= last && SUCCEEDED(interop_->GetNextFrameTime(start, &neighbour)) && neighbour < 0);
  }
  std::string PositionText() const {
    int64_t position = -1;
    interop_->get_Position(&position);
    return std::to_string(position);
  }
  void CloseQuietly() noexcept { detail::CloseQuietly(interop_.Get()); }
  ComPtr<ABI::Korvane::Native::IVideoDecoderCachingPolicy> PolicyInterface() const {
    ComPtr<ABI::Korvane::Native::IVideoDecoderCachingPolicy> policy;
    detail::Check(interop_.As(&policy), "VideoDecoder::CachingPolicy", "IVideoDecoderCachingPolicy");
    return policy;
  }

  ComPtr<Abi> interop_;
  Device device_;
  std::shared_ptr<State> state_;
  std::vector<Subscription> internal_;  // the handle's own handlers, for the waits
};

}  // namespace korvane
