// korvane: opens a video, runs the initial scan, then steps through frames the way an
// application does (one position request at a time, waiting for each window to be cached) and
// writes every frame it lands on as a JPEG.
//
//   korvane VIDEO [--out DIR] [--cache DIR] [--frames N] [--start SECONDS] [--backwards] [--divisor D]
#include "cache/VideoDecoderCacheManager.h"
#include "decoder/VideoDecoder.h"
#include "jpeg/JpegEncoder.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfapi.h"
#include "platform/winrt/Async.h"
#include "platform/winrt/InMemoryRandomAccessStream.h"
#include "toolkit/GraphicsDevice.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using ABI::Windows::Storage::Streams::IRandomAccessStream;
using korvane::winrt::IRandomAccessStreamIo;

struct Options {
  std::string video;
  std::string out = "korvane-frames";
  std::string cache;
  int frames = 10;
  double start = 0;
  bool backwards = false;
  uint32_t divisor = 1;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "korvane: " << problem << "\n"
            << "usage: korvane VIDEO [--out DIR] [--cache DIR] [--frames N] [--start SECONDS] [--backwards] "
               "[--divisor D]\n";
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(arg + " needs a value");
      return argv[++i];
    };
    try {
      if (arg == "--out") options.out = value();
      else if (arg == "--cache") options.cache = value();
      else if (arg == "--frames") options.frames = std::stoi(value());
      else if (arg == "--start") options.start = std::stod(value());
      else if (arg == "--backwards") options.backwards = true;
      else if (arg == "--divisor") options.divisor = static_cast<uint32_t>(std::stoul(value()));
      else if (!arg.empty() && arg[0] == '-') Usage("unknown option " + arg);
      else if (options.video.empty()) options.video = arg;
      else Usage("one video only, not also " + arg);
    } catch (const std::logic_error&) {
      Usage("bad value for " + arg);
    }
  }
  if (options.video.empty()) Usage("no video given");
  if (options.frames < 1) Usage("--frames must be at least 1");
  if (options.cache.empty()) options.cache = options.out + "/cache";
  return options;
}

// Turns the decoder's reports into something a program can wait on.
class Listener final : public korvane::IVideoDecoderListener {
 public:
  void OnInitializationProgressChanged(double progress) override {
    const int percent = static_cast<int>(progress * 100);
    if (percent / 10 != lastDecile_) {
      lastDecile_ = percent / 10;
      std::cerr << "scanning " << percent << "%\n";
    }
  }
  void OnDecoderInitialized() override { Signal([this] { initialized_ = true; }); }
  void OnPositionHasChanged(int64_t) override {}
  void OnFrameCached(int64_t) override {}
  void OnCachingCompleted(int64_t, int64_t) override { Signal([this] { ++completed_; }); }
  void OnError(int32_t code) override {
    Signal([this, code] { error_ = code; });
  }

  // False on an error or when nothing happens for a long time.
  bool WaitInitialized() { return Wait([this] { return initialized_; }); }
  bool WaitCompleted(int count) { return Wait([this, count] { return completed_ >= count; }); }
  int Completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
  }
  int Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  template <class F>
  void Signal(F change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    changed_.notify_all();
  }
  template <class P>
  bool Wait(P done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::minutes(5), [&] { return done() || error_ >= 0; });
    return done();
  }

  int lastDecile_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool initialized_ = false;
  int completed_ = 0;
  int error_ = -1;
};

// The NV12 picture of a texture, tightly packed (width × height × 3 / 2 bytes).
std::vector<uint8_t> ReadNv12(ID3D11Device* device, ID3D11Texture2D* texture, uint32_t* width, uint32_t* height) {
  D3D11_TEXTURE2D_DESC desc;
  texture->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.MiscFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  ThrowIfFailed(device->CreateTexture2D(&desc, nullptr, &staging));
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  ThrowIfFailed(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  std::vector<uint8_t> picture;
  const auto* bytes = static_cast<const uint8_t*>(mapped.pData);
  for (uint32_t row = 0; row < desc.Height + desc.Height / 2; ++row) {
    picture.insert(picture.end(), bytes + size_t{row} * mapped.RowPitch, bytes + size_t{row} * mapped.RowPitch + desc.Width);
  }
  context->Unmap(staging.Get(), 0);
  *width = desc.Width;
  *height = desc.Height;
  return picture;
}

void WriteJpeg(korvane::JpegEncoder& encoder, const std::vector<uint8_t>& nv12, uint32_t width, uint32_t height,
               const std::string& path) {
  ComPtr<IRandomAccessStream> source = MakeRuntimeObject<korvane::winrt::InMemoryRandomAccessStream>();
  ComPtr<IRandomAccessStreamIo> io;
  ThrowIfFailed(source.As(&io));
  ULONG written = 0;
  ThrowIfFailed(io->WriteAt(nv12.data(), static_cast<ULONG>(nv12.size()), &written));
  ThrowIfFailed(source->Seek(0));

  ComPtr<ABI::Windows::Foundation::IAsyncOperationWithProgress<IRandomAccessStream*, double>> operation;
  ThrowIfFailed(encoder.EncodeAsync(source.Get(), width, height, &operation));
  ThrowIfFailed(korvane::winrt::WaitForCompletion(operation.Get()));
  ComPtr<IRandomAccessStream> jpeg;
  ThrowIfFailed(operation->GetResults(&jpeg));
  UINT64 size = 0;
  ThrowIfFailed(jpeg->get_Size(&size));
  std::vector<char> bytes(size);
  ThrowIfFailed(jpeg->Seek(0));
  ComPtr<IRandomAccessStreamIo> jpegIo;
  ThrowIfFailed(jpeg.As(&jpegIo));
  ULONG read = 0;
  ThrowIfFailed(jpegIo->ReadAt(bytes.data(), static_cast<ULONG>(bytes.size()), &read));
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), read);
  if (!file) throw std::runtime_error("cannot write " + path);
}

int Run(const Options& options) {
  ::mkdir(options.out.c_str(), 0755);

  ComPtr<ID3D11Device> device;
  ThrowIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                  &device, nullptr, nullptr));
  ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics;
  ThrowIfFailed(CreateGraphicsDevice(device.Get(), &graphics));
  ComPtr<IRandomAccessStream> stream;
  const HRESULT opened = CreateRandomAccessStreamOnFile(options.video.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream));
  if (FAILED(opened)) {
    std::cerr << "korvane: cannot open " << options.video << " (HRESULT 0x" << std::hex << static_cast<uint32_t>(opened)
              << ")\n";
    return 1;
  }

  auto listener = std::make_shared<Listener>();
  auto decoder = std::make_shared<korvane::VideoDecoder>();
  if (!decoder->Load(listener, stream.Get(), MFVideoFormat_NV12, graphics.Get())) {
    std::cerr << "korvane: " << options.video << " is not a video this system can decode\n";
    return 1;
  }
  decoder->SetResolutionDivisor(options.divisor);
  decoder->Initialize(Platform::String(options.cache + "/"));
  if (!listener->WaitInitialized()) {
    std::cerr << "korvane: the initial scan failed (error " << listener->Error() << ")\n";
    decoder->Close();
    return 1;
  }
  const int64_t duration = decoder->GetDuration();
  std::cout << options.video << ": " << decoder->GetOutputWidth() << "x" << decoder->GetOutputHeight()
            << ", rotation " << decoder->GetRotation() << ", last frame at " << duration / 1e7 << " s\n";

  auto encoder = MakeRuntimeObject<korvane::JpegEncoder>();
  int64_t position = static_cast<int64_t>(options.start * 1e7);
  int status = 0;
  for (int i = 0; i < options.frames; ++i) {
    const int before = listener->Completed();
    ComPtr<ABI::Windows::Foundation::IAsyncAction> action = decoder->SetPositionAsync(position);
    ThrowIfFailed(korvane::winrt::WaitForCompletion(action.Get()));
    if (!listener->WaitCompleted(before + 1)) {
      std::cerr << "korvane: caching at " << position / 1e7 << " s did not complete (error " << listener->Error() << ")\n";
      status = 1;
      break;
    }
    const int64_t shown = decoder->GetCurrentFrameTime();
    ComPtr<ID3D11Texture2D> frame = decoder->GetFrame(shown);
    if (!frame) {
      std::cerr << "korvane: no frame at " << shown / 1e7 << " s\n";
      status = 1;
      break;
    }
    uint32_t width = 0, height = 0;
    const std::vector<uint8_t> nv12 = ReadNv12(device.Get(), frame.Get(), &width, &height);
    char name[64];
    std::snprintf(name, sizeof name, "/frame_%04d.jpg", i);
    WriteJpeg(*encoder.Get(), nv12, width, height, options.out + name);
    std::cout << "frame " << i << " at " << shown / 1e7 << " s -> " << options.out << name << "\n";

    // One frame on: the next (or previous) frame time the caches know, as a player steps.
    const int64_t next = options.backwards ? decoder->GetPreviousFrameTime(shown) : decoder->GetNextFrameTime(shown);
    if (next < 0) {
      std::cout << (options.backwards ? "start" : "end") << " of the video reached\n";
      break;
    }
    position = next;
  }
  decoder->Close();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  try {
    return Run(options);
  } catch (const Platform::Exception& e) {
    std::cerr << "korvane: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "korvane: " << e.what() << "\n";
  }
  return 1;
}
