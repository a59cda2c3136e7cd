// Reading a 1920 x 1080 H.264 file front to back through the asynchronous source reader (NV12
// textures at native size on a software device, each next read issued from the completion, as
// the decoder does) against decoding the same file with libavformat + libavcodec directly,
// with the reader's decoder thread count and no conversion or copy at all. Runs alternate
// between the two.
//
// The cost compared is the CPU time the process spends on one whole pass (every thread:
// libavcodec's frame threads, the reader's work thread), the least over the runs: on a machine
// shared with other work, wall-clock time mostly measures how long threads wait for a core, and
// even CPU time swells with the other work's cache and core contention, which only ever adds.
// Medians and wall-clock times are printed alongside.
//
// Prints: ratio mf_read_1080p <ours/baseline>
#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/FfmpegMediaSource.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/winrt/RandomAccessStream.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 120;
constexpr int kWarmUps = 1;
constexpr int kRuns = 9;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "mf_read_bench: %s\n", what.c_str());
  std::exit(1);
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Cost {
  double cpu = 0;
  double wall = 0;
};

// Counts frames and issues the next read from inside each completion.
class ChainingCallback final : public ComObject<IMFSourceReaderCallback> {
 public:
  HRESULT OnReadSample(HRESULT status, DWORD, DWORD flags, LONGLONG, IMFSample* sample) override {
    std::unique_lock lock(mutex_);
    if (sample != nullptr) ++frames_;
    if (FAILED(status) || (flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0 || sample == nullptr) {
      done_ = true;
      failed_ = FAILED(status);
      done.notify_all();
      return S_OK;
    }
    IMFSourceReader* reader = reader_;
    lock.unlock();
    if (FAILED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr))) {
      std::lock_guard again(mutex_);
      done_ = failed_ = true;
      done.notify_all();
    }
    return S_OK;
  }
  HRESULT OnFlush(DWORD) override { return S_OK; }
  HRESULT OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }

  void Start(IMFSourceReader* reader) {
    std::lock_guard lock(mutex_);
    reader_ = reader;
    frames_ = 0;
    done_ = failed_ = false;
  }
  int Wait() {
    std::unique_lock lock(mutex_);
    done.wait(lock, [&] { return done_; });
    return failed_ ? -1 : frames_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done;
  IMFSourceReader* reader_ = nullptr;  // -- guarded by mutex_, as are the counters
  int frames_ = 0;
  bool done_ = false;
  bool failed_ = false;
};

Cost ReadThroughReader(const std::string& path, ID3D11Device* device) {
  const double cpu = CpuSeconds();
  const auto wall = Clock::now();
  ComPtr<IUnknown> stream;
  ComPtr<IMFByteStream> byteStream;
  ComPtr<IMFDXGIDeviceManager> manager;
  ComPtr<IMFAttributes> attributes;
  ComPtr<IMFSourceReader> reader;
  ComPtr<ChainingCallback> callback = MakeComObject<ChainingCallback>();
  UINT token = 0;
  if (FAILED(CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream))) ||
      FAILED(MFCreateMFByteStreamOnStreamEx(stream.Get(), &byteStream)) ||
      FAILED(MFCreateDXGIDeviceManager(&token, &manager)) || FAILED(manager->ResetDevice(device, token)) ||
      FAILED(MFCreateAttributes(&attributes, 4)))
    Fail("cannot set up the reader");
  attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager.Get());
  attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get());
  if (FAILED(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &reader)))
    Fail("cannot open " + path);
  callback->Start(reader.Get());
  if (FAILED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr)))
    Fail("ReadSample failed");
  const int frames = callback->Wait();
  if (frames != kFrames) Fail("the reader delivered " + std::to_string(frames) + " frames");
  reader.Reset();  // joins the work thread: its CPU time is all counted
  return Cost{CpuSeconds() - cpu, std::chrono::duration<double>(Clock::now() - wall).count()};
}

Cost DecodeDirectly(const std::string& path) {
  const double cpu = CpuSeconds();
  const auto wall = Clock::now();
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) Fail("baseline cannot open " + path);
  if (avformat_find_stream_info(format, nullptr) < 0) Fail("baseline: no stream info");
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream < 0) Fail("baseline: no video");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(context, format->streams[stream]->codecpar);
  context->thread_count = korvane::mf::FfmpegMediaSource::kDecoderThreadCount;
  context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(context, codec, nullptr) < 0) Fail("baseline: cannot open the decoder");
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int frames = 0;
  bool draining = false;
  for (;;) {
    int error = avcodec_receive_frame(context, frame);
    if (error == 0) {
      ++frames;
      av_frame_unref(frame);
      continue;
    }
    if (error == AVERROR_EOF) break;
    if (error != AVERROR(EAGAIN) || draining) Fail("baseline: decode failed");
    error = av_read_frame(format, packet);
    if (error < 0) {
      draining = true;
      avcodec_send_packet(context, nullptr);
      continue;
    }
    if (packet->stream_index == stream) avcodec_send_packet(context, packet);
    av_packet_unref(packet);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avformat_close_input(&format);
  if (frames != kFrames) Fail("the baseline decoded " + std::to_string(frames) + " frames");
  return Cost{CpuSeconds() - cpu, std::chrono::duration<double>(Clock::now() - wall).count()};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Least(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main() {
  av_log_set_level(AV_LOG_ERROR);
  const std::string& path = korvane::test::BenchmarkVideo(kFrames);
  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) Fail("MFStartup failed");
  ComPtr<ID3D11Device> device;
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                               nullptr, nullptr)))
    Fail("no device");

  for (int i = 0; i < kWarmUps; ++i) {
    ReadThroughReader(path, device.Get());
    DecodeDirectly(path);
  }
  std::vector<double> oursCpu, oursWall, baseCpu, baseWall;
  for (int i = 0; i < kRuns; ++i) {
    Cost ours = ReadThroughReader(path, device.Get());
    Cost base = DecodeDirectly(path);
    oursCpu.push_back(ours.cpu);
    oursWall.push_back(ours.wall);
    baseCpu.push_back(base.cpu);
    baseWall.push_back(base.wall);
  }
  MFShutdown();
  const double frames = kFrames;
  std::printf("mf_read_1080p: %d frames, %d runs; cpu per frame, least: reader %.2f ms, libavcodec %.2f ms; "
              "median: reader %.2f ms, libavcodec %.2f ms; wall per frame, median: reader %.2f ms, "
              "libavcodec %.2f ms\n",
              kFrames, kRuns, Least(oursCpu) * 1e3 / frames, Least(baseCpu) * 1e3 / frames,
              Median(oursCpu) * 1e3 / frames, Median(baseCpu) * 1e3 / frames, Median(oursWall) * 1e3 / frames,
              Median(baseWall) * 1e3 / frames);
  std::printf("ratio mf_read_1080p %.3f\n", Least(oursCpu) / Least(baseCpu));
  return 0;
}
