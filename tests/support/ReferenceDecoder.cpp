// The plainest possible libavformat + libavcodec decode of a file's first video stream, the
// baseline the media reader is measured against: ProbeVideo and DecodeReference.
#include "FfmpegHandles.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

using namespace detail;

constexpr AVRational k100ns{1, 10'000'000};

Ratio ToRatio(AVRational value) { return value.num > 0 && value.den > 0 ? Ratio{value.num, value.den} : Ratio{0, 1}; }

// The display matrix holds a counter-clockwise angle; the helpers speak of clockwise turns.
int ClockwiseRotation(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return 0;
  const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(data));
  return std::isnan(counterClockwise) ? 0 : static_cast<int>(((-std::lround(counterClockwise) % 360) + 360) % 360);
}

struct Input {
  UniqueInputContext context;
  AVStream* stream = nullptr;  // the first video stream that is not a cover picture
};

Input OpenInput(const std::string& path) {
  Input input;
  AVFormatContext* context = nullptr;
  CheckAv(avformat_open_input(&context, path.c_str(), nullptr, nullptr), "avformat_open_input", path);
  input.context.reset(context);
  CheckAv(avformat_find_stream_info(context, nullptr), "avformat_find_stream_info", path);
  for (unsigned i = 0; i < context->nb_streams && input.stream == nullptr; ++i) {
    if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(context->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC))
      input.stream = context->streams[i];
  }
  if (input.stream == nullptr) throw std::runtime_error(path + " has no video stream");
  return input;
}

ReferenceFrame Describe(const AVFrame& frame) {
  ReferenceFrame out;
  out.time100ns = frame.best_effort_timestamp;  // still in stream units
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  out.duration100ns = frame.duration > 0 ? frame.duration : -1;
#else
  out.duration100ns = frame.pkt_duration > 0 ? frame.pkt_duration : -1;
#endif
#ifdef AV_FRAME_FLAG_KEY
  out.keyFrame = (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
  out.keyFrame = frame.key_frame != 0;
#endif
  out.width = frame.width;
  out.height = frame.height;
  return out;
}

void StorePixels(const AVFrame& frame, UniqueSwsContext& scaler, ReferenceFrame& out, const std::string& path) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  scaler.reset(sws_getCachedContext(scaler.release(), frame.width, frame.height, format, frame.width, frame.height,
                                    AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler) throw std::runtime_error(path + ": sws_getCachedContext cannot convert the frames to NV12");
  // Odd widths still need whole chroma pairs, so rows are rounded up to even.
  out.rowPitch = 2 * ((static_cast<size_t>(frame.width) + 1) / 2);
  out.nv12.assign(out.rowPitch * (frame.height + (frame.height + 1) / 2), 0);
  uint8_t* const planes[4] = {out.nv12.data(), out.nv12.data() + out.rowPitch * frame.height, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(out.rowPitch), static_cast<int>(out.rowPitch), 0, 0};
  CheckAv(sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides), "sws_scale", path);
  out.frameIndex = ReadFrameIndexNv12(out.nv12.data(), out.rowPitch, out.width, out.height);
}

}  // namespace

VideoInfo ProbeVideo(const std::string& path) {
  const Input input = OpenInput(path);
  const AVStream& stream = *input.stream;
  VideoInfo info;
  info.width = stream.codecpar->width;
  info.height = stream.codecpar->height;
  info.rotationDegrees = ClockwiseRotation(stream);
  info.sampleAspect = ToRatio(av_guess_sample_aspect_ratio(input.context.get(), input.stream, nullptr));
  info.frameRate = ToRatio(stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate);
  if (stream.start_time != AV_NOPTS_VALUE) info.startTime100ns = av_rescale_q(stream.start_time, stream.time_base, k100ns);
  if (input.context->duration != AV_NOPTS_VALUE) {
    info.duration100ns = av_rescale_q(input.context->duration, AV_TIME_BASE_Q, k100ns);
  }
  for (unsigned i = 0; i < input.context->nb_streams; ++i) {
    info.hasAudio = info.hasAudio || input.context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
  }
  return info;
}

std::vector<ReferenceFrame> DecodeReference(const std::string& path, bool withPixels) {
  const Input input = OpenInput(path);
  const AVStream& stream = *input.stream;
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (codec == nullptr) throw std::runtime_error(path + ": no decoder for " + avcodec_get_name(stream.codecpar->codec_id));
  UniqueCodecContext decoder(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path));
  CheckAv(avcodec_parameters_to_context(decoder.get(), stream.codecpar), "avcodec_parameters_to_context", path);
  decoder->pkt_timebase = stream.time_base;
  decoder->thread_count = 1;
  CheckAv(avcodec_open2(decoder.get(), codec, nullptr), "avcodec_open2", path);
  UniqueFrame frame(CheckAllocated(av_frame_alloc(), "av_frame_alloc", path));
  UniquePacket packet(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path));
  UniqueSwsContext scaler;
  std::vector<ReferenceFrame> frames;
  auto receiveFrames = [&] {
    for (int received; (received = avcodec_receive_frame(decoder.get(), frame.get())) != AVERROR(EAGAIN) &&
                       received != AVERROR_EOF;) {
      CheckAv(received, "avcodec_receive_frame", path);
      frames.push_back(Describe(*frame));
      if (withPixels) StorePixels(*frame, scaler, frames.back(), path);
      av_frame_unref(frame.get());
    }
  };
  // A read error ends the decode like the end of the file: for a cut file the reference is
  // what could be decoded before the cut.
  while (av_read_frame(input.context.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream.index) {
      const int sent = avcodec_send_packet(decoder.get(), packet.get());
      // Damaged data is the decoder's to conceal or drop; anything else is a real failure.
      if (sent != AVERROR_INVALIDDATA) CheckAv(sent, "avcodec_send_packet", path);
      receiveFrames();
    }
    av_packet_unref(packet.get());
  }
  CheckAv(avcodec_send_packet(decoder.get(), nullptr), "avcodec_send_packet (drain)", path);
  receiveFrames();

  // The start is known only once the first frame is out when the stream does not say it.
  int64_t start = stream.start_time;
  for (auto it = frames.begin(); start == AV_NOPTS_VALUE && it != frames.end(); ++it) start = it->time100ns;
  for (ReferenceFrame& each : frames) {
    each.time100ns = each.time100ns == AV_NOPTS_VALUE ? -1 : av_rescale_q(each.time100ns - start, stream.time_base, k100ns);
    if (each.duration100ns > 0) each.duration100ns = av_rescale_q(each.duration100ns, stream.time_base, k100ns);
  }
  return frames;
}

std::vector<ReferenceFrame> FramesToReach(const std::vector<ReferenceFrame>& reference, const VideoSpec& spec) {
  std::vector<ReferenceFrame> frames = reference;
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].time100ns < 0) frames[i].time100ns = frames[i - 1].time100ns + frames[i - 1].duration100ns;
  }
  if (spec.damagedPacketCount == 0 || frames.empty()) return frames;

  const auto whole = [&](const ReferenceFrame& frame) {
    const double frameTime = 1e7 * spec.frameRate.den / spec.frameRate.num;
    return frame.frameIndex >= 0 &&
           frame.frameIndex == std::llround(static_cast<double>(frame.time100ns - frames.front().time100ns) / frameTime);
  };
  const auto firstBad = std::find_if_not(frames.begin(), frames.end(), whole);
  if (firstBad == frames.end()) return frames;
  const auto lastBad = std::find_if_not(frames.rbegin(), frames.rend(), whole).base();
  frames.erase(firstBad, lastBad);
  return frames;
}

}  // namespace korvane::test
