// ReferenceDecoder: the plainest possible libavformat + libavcodec decode of a file's first
// video stream, the baseline the media reader is measured against. ProbeVideo and
// DecodeReference are its entry points.
#include "FfmpegHandles.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
}

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

using namespace detail;

constexpr AVRational k100ns{1, 10'000'000};

Ratio ToRatio(AVRational value) {
  return value.num > 0 && value.den > 0 ? Ratio{value.num, value.den} : Ratio{0, 1};
}

// The display matrix holds a counter-clockwise angle; the helpers speak of clockwise turns.
int ClockwiseRotation(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return 0;
  const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(data));
  if (std::isnan(counterClockwise)) return 0;
  const long degrees = std::lround(-counterClockwise);
  return static_cast<int>(((degrees % 360) + 360) % 360);
}

bool IsKeyFrame(const AVFrame& frame) {
#ifdef AV_FRAME_FLAG_KEY
  return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
  return frame.key_frame != 0;
#endif
}

int64_t FrameDuration(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame.duration;
#else
  return frame.pkt_duration;
#endif
}

class ReferenceDecoder {
 public:
  // Opens path and finds its first video stream; throws std::runtime_error naming path.
  explicit ReferenceDecoder(const std::string& path);

  VideoInfo Info() const;
  std::vector<ReferenceFrame> Decode(bool withPixels);

 private:
  void OpenDecoder();
  // Takes every frame the decoder has ready into frames_ (times still in stream units).
  void ReceiveFrames(bool withPixels);
  void StorePixels(const AVFrame& frame, ReferenceFrame& out);

  const std::string path_;
  UniqueInputContext input_;
  AVStream* stream_ = nullptr;
  UniqueCodecContext decoder_;
  UniqueFrame frame_;
  UniqueSwsContext scaler_;
  std::vector<ReferenceFrame> frames_;
};

ReferenceDecoder::ReferenceDecoder(const std::string& path) : path_(path) {
  AVFormatContext* input = nullptr;
  CheckAv(avformat_open_input(&input, path.c_str(), nullptr, nullptr), "avformat_open_input", path);
  input_.reset(input);
  CheckAv(avformat_find_stream_info(input, nullptr), "avformat_find_stream_info", path);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(input->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      stream_ = input->streams[i];
      break;
    }
  }
  if (stream_ == nullptr) throw std::runtime_error(path + " has no video stream");
}

VideoInfo ReferenceDecoder::Info() const {
  VideoInfo info;
  const AVCodecParameters& parameters = *stream_->codecpar;
  info.codec = avcodec_get_name(parameters.codec_id);
  info.width = parameters.width;
  info.height = parameters.height;
  info.rotationDegrees = ClockwiseRotation(*stream_);
  info.sampleAspect = ToRatio(av_guess_sample_aspect_ratio(input_.get(), stream_, nullptr));
  info.frameRate = ToRatio(stream_->avg_frame_rate.num > 0 ? stream_->avg_frame_rate : stream_->r_frame_rate);
  if (stream_->start_time != AV_NOPTS_VALUE) {
    info.startTime100ns = av_rescale_q(stream_->start_time, stream_->time_base, k100ns);
  }
  if (input_->duration != AV_NOPTS_VALUE)
    info.duration100ns = av_rescale_q(input_->duration, AV_TIME_BASE_Q, k100ns);
  for (unsigned i = 0; i < input_->nb_streams; ++i) {
    if (input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) info.hasAudio = true;
  }
  return info;
}

void ReferenceDecoder::OpenDecoder() {
  const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
  if (codec == nullptr) {
    throw std::runtime_error(path_ + ": no decoder for " + avcodec_get_name(stream_->codecpar->codec_id));
  }
  decoder_.reset(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path_));
  CheckAv(avcodec_parameters_to_context(decoder_.get(), stream_->codecpar), "avcodec_parameters_to_context",
          path_);
  decoder_->pkt_timebase = stream_->time_base;
  decoder_->thread_count = 1;
  CheckAv(avcodec_open2(decoder_.get(), codec, nullptr), "avcodec_open2", path_);
  frame_.reset(CheckAllocated(av_frame_alloc(), "av_frame_alloc", path_));
}

std::vector<ReferenceFrame> ReferenceDecoder::Decode(bool withPixels) {
  OpenDecoder();
  UniquePacket packet(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path_));
  std::vector<int64_t> timestamps;
  // A read error ends the decode like the end of the file: for a cut file the reference is
  // what could be decoded before the cut.
  while (av_read_frame(input_.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream_->index) {
      const int sent = avcodec_send_packet(decoder_.get(), packet.get());
      // Damaged data is the decoder's to conceal or drop; anything else is a real failure.
      if (sent < 0 && sent != AVERROR_INVALIDDATA) CheckAv(sent, "avcodec_send_packet", path_);
      ReceiveFrames(withPixels);
    }
    av_packet_unref(packet.get());
  }
  CheckAv(avcodec_send_packet(decoder_.get(), nullptr), "avcodec_send_packet (drain)", path_);
  ReceiveFrames(withPixels);

  // Times are still in stream units here; the start is known only once the first frame is out.
  int64_t start = stream_->start_time;
  for (auto frame = frames_.begin(); start == AV_NOPTS_VALUE && frame != frames_.end(); ++frame) {
    start = frame->time100ns;
  }
  for (ReferenceFrame& frame : frames_) {
    frame.time100ns = frame.time100ns == AV_NOPTS_VALUE
                          ? -1
                          : av_rescale_q(frame.time100ns - start, stream_->time_base, k100ns);
    if (frame.duration100ns > 0)
      frame.duration100ns = av_rescale_q(frame.duration100ns, stream_->time_base, k100ns);
  }
  return std::move(frames_);
}

void ReferenceDecoder::ReceiveFrames(bool withPixels) {
  for (;;) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
    CheckAv(received, "avcodec_receive_frame", path_);
    ReferenceFrame out;
    out.time100ns = frame_->best_effort_timestamp;
    const int64_t duration = FrameDuration(*frame_);
    out.duration100ns = duration > 0 ? duration : -1;
    out.keyFrame = IsKeyFrame(*frame_);
    out.width = frame_->width;
    out.height = frame_->height;
    if (withPixels) StorePixels(*frame_, out);
    frames_.push_back(std::move(out));
    av_frame_unref(frame_.get());
  }
}

void ReferenceDecoder::StorePixels(const AVFrame& frame, ReferenceFrame& out) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height, format, frame.width,
                                     frame.height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler_) {
    throw std::runtime_error(path_ + ": sws_getCachedContext cannot convert " +
                             (av_get_pix_fmt_name(format) ? av_get_pix_fmt_name(format) : "?") + " to NV12");
  }
  // Odd widths still need whole chroma pairs, so rows are rounded up to even.
  out.rowPitch = 2 * ((static_cast<size_t>(frame.width) + 1) / 2);
  const size_t chromaRows = (static_cast<size_t>(frame.height) + 1) / 2;
  out.nv12.assign(out.rowPitch * (frame.height + chromaRows), 0);
  uint8_t* const planes[4] = {out.nv12.data(), out.nv12.data() + out.rowPitch * frame.height, nullptr,
                              nullptr};
  const int strides[4] = {static_cast<int>(out.rowPitch), static_cast<int>(out.rowPitch), 0, 0};
  CheckAv(sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides), "sws_scale",
          path_);
  out.frameIndex = ReadFrameIndexNv12(out.nv12.data(), out.rowPitch, out.width, out.height);
}

}  // namespace

VideoInfo ProbeVideo(const std::string& path) { return ReferenceDecoder(path).Info(); }

std::vector<ReferenceFrame> DecodeReference(const std::string& path, bool withPixels) {
  return ReferenceDecoder(path).Decode(withPixels);
}

}  // namespace korvane::test
