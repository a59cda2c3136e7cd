// TestMediaWriter: encodes the frame-index pattern (and optionally a tone) through one muxer.
// WriteTestVideo and WriteTestAudio are its two entry points.
#include "FfmpegHandles.h"
#include "FrameIndexPattern.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>

namespace korvane::test {
namespace {

using namespace detail;

constexpr int kAudioSampleRate = 48000;
constexpr int64_t kAudioBitRate = 128000;
constexpr double kToneHz = 440.0;
constexpr float kToneAmplitude = 0.2f;
constexpr int kMinimumSize = 12;  // the pattern needs two pixels per cell
constexpr int kMaximumSize = 4096;
constexpr int kMaximumBFrames = 16;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

[[noreturn]] void BadSpec(const std::string& field, const std::string& value, const std::string& why) {
  throw std::invalid_argument("VideoSpec." + field + " = " + value + ": " + why);
}

bool IsMovFamily(const std::string& container) { return container == "mp4" || container == "mov"; }

// Encoder banners (libx264's "using cpu capabilities", x265's settings dump) would otherwise
// fill every test log. Only the untouched default is lowered.
void QuietEncoderLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  });
}

void CheckPixelFormat(const std::string& name, AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  if (descriptor == nullptr || descriptor->nb_components != 3 ||
      !(descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) ||
      (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)) ||
      descriptor->comp[0].depth != 8) {
    BadSpec("pixelFormat", Quoted(name), "not a planar 8-bit YUV format");
  }
}

void ValidateVideoSpec(const VideoSpec& spec) {
  if (spec.width < kMinimumSize || spec.width > kMaximumSize) {
    BadSpec("width", std::to_string(spec.width), "must be 12..4096");
  }
  if (spec.height < kMinimumSize || spec.height > kMaximumSize) {
    BadSpec("height", std::to_string(spec.height), "must be 12..4096");
  }
  if (spec.frameCount < 1 || spec.frameCount > kMaxFrameIndex + 1) {
    BadSpec("frameCount", std::to_string(spec.frameCount), "must be 1..65536");
  }
  if (spec.frameRate.num <= 0 || spec.frameRate.den <= 0) {
    BadSpec("frameRate", std::to_string(spec.frameRate.num) + "/" + std::to_string(spec.frameRate.den),
            "must be positive");
  }
  if (spec.gopSize < 1) BadSpec("gopSize", std::to_string(spec.gopSize), "must be at least 1");
  if (spec.maxBFrames < 0 || spec.maxBFrames > kMaximumBFrames) {
    BadSpec("maxBFrames", std::to_string(spec.maxBFrames), "must be 0..16");
  }
  if (spec.rotationDegrees != 0 && spec.rotationDegrees != 90 && spec.rotationDegrees != 180 &&
      spec.rotationDegrees != 270) {
    BadSpec("rotationDegrees", std::to_string(spec.rotationDegrees), "must be 0, 90, 180 or 270");
  }
  if (spec.rotationDegrees != 0 && !IsMovFamily(spec.container)) {
    BadSpec("rotationDegrees", std::to_string(spec.rotationDegrees),
            "only the mp4/mov muxers store a rotation, not " + Quoted(spec.container));
  }
  if (spec.indexAtFront && !IsMovFamily(spec.container)) {
    BadSpec("indexAtFront", "true", "only mp4/mov have a movable index, not " + Quoted(spec.container));
  }
  if (spec.startOffset100ns != 0 && spec.container != "mpegts") {
    BadSpec("startOffset100ns", std::to_string(spec.startOffset100ns),
            "only written to mpegts, not " + Quoted(spec.container));
  }
  if (spec.startOffset100ns < 0)
    BadSpec("startOffset100ns", std::to_string(spec.startOffset100ns), "must not be negative");
  if (spec.sampleAspect.num < 0 || spec.sampleAspect.den <= 0) {
    BadSpec("sampleAspect",
            std::to_string(spec.sampleAspect.num) + ":" + std::to_string(spec.sampleAspect.den),
            "must be non-negative over positive");
  }
  if (spec.openGop && spec.encoder != "libx264" && spec.encoder != "libx265") {
    BadSpec("openGop", "true",
            "only libx264 and libx265 are told to make open GOPs, not " + Quoted(spec.encoder));
  }
}

// The private options that make each encoder keep the requested GOP structure and a quality
// at which the pattern's cells come through untouched.
void AddEncoderOptions(const VideoSpec& spec, AVCodecContext& context, AVDictionary** options) {
  const std::string openGop = spec.openGop ? "1" : "0";
  if (spec.encoder == "libx264") {
    av_dict_set(options, "preset", "veryfast", 0);
    av_dict_set(options, "crf", "18", 0);
    // Without scene-cut detection key frames fall exactly every gopSize frames; without
    // adaptive placement every run of B-frames is maxBFrames long, so B-frames are sure to be
    // there even though consecutive pictures barely differ.
    av_dict_set(options, "x264-params", ("scenecut=0:b-adapt=0:open-gop=" + openGop).c_str(), 0);
  } else if (spec.encoder == "libx265") {
    av_dict_set(options, "preset", "ultrafast", 0);
    av_dict_set(options, "crf", "18", 0);
    // x265 makes open GOPs by default and takes its B-frame count only from its own parameters.
    // No worker pool and one frame thread: the counterpart of thread_count = 1, and x265's
    // pool hands work over in ways ThreadSanitizer cannot follow.
    const std::string params =
        "log-level=error:pools=none:frame-threads=1:scenecut=0:b-adapt=0:open-gop=" + openGop +
        ":keyint=" + std::to_string(spec.gopSize) + ":min-keyint=" + std::to_string(spec.gopSize) +
        ":bframes=" + std::to_string(spec.maxBFrames);
    av_dict_set(options, "x265-params", params.c_str(), 0);
  } else if (spec.encoder == "libvpx-vp9") {
    context.bit_rate = 0;               // with crf: constant quality
    context.keyint_min = spec.gopSize;  // equal minimum and maximum: fixed key frames
    av_dict_set(options, "crf", "18", 0);
    av_dict_set(options, "deadline", "good", 0);
    av_dict_set(options, "cpu-used", "5", 0);
  } else if (spec.encoder == "mpeg4" || spec.encoder == "mpeg2video") {
    context.flags |= AV_CODEC_FLAG_QSCALE;
    context.global_quality = FF_QP2LAMBDA * 3;
    av_dict_set(options, "sc_threshold", "1000000000", 0);
  }
}

class TestMediaWriter {
 public:
  // video: write spec's pictures; audioSeconds > 0: write a tone of that length.
  TestMediaWriter(const VideoSpec& spec, bool video, double audioSeconds, const std::string& path);
  void Write();

 private:
  void OpenOutput();
  void AddVideoStream();
  void AddAudioStream();
  void OpenFile();
  void SendVideoFrame(int64_t frameNumber);
  void SendAudioFrame();
  // Sends frame (nullptr: end of stream) and writes every packet the encoder then has.
  void Encode(AVCodecContext& encoder, AVStream& stream, AVFrame* frame);

  const VideoSpec& spec_;
  const bool video_;
  const double audioSeconds_;
  const std::string& path_;
  UniqueOutputContext output_;
  UniqueCodecContext videoEncoder_;
  UniqueCodecContext audioEncoder_;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  UniqueFrame videoFrame_;
  UniqueFrame audioFrame_;
  UniquePacket packet_;
  int64_t audioSamplesWritten_ = 0;
  int64_t audioSamplesTotal_ = 0;
};

TestMediaWriter::TestMediaWriter(const VideoSpec& spec, bool video, double audioSeconds,
                                 const std::string& path)
    : spec_(spec), video_(video), audioSeconds_(audioSeconds), path_(path) {}

void TestMediaWriter::Write() {
  QuietEncoderLogs();
  OpenOutput();
  if (video_) AddVideoStream();
  if (audioSeconds_ > 0) AddAudioStream();
  packet_.reset(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path_));
  OpenFile();

  // Feed whichever stream is behind, so that the muxer interleaves without holding everything.
  int64_t nextVideoFrame = video_ ? 0 : spec_.frameCount;
  while (nextVideoFrame < spec_.frameCount || audioSamplesWritten_ < audioSamplesTotal_) {
    const bool videoFirst = audioSamplesWritten_ >= audioSamplesTotal_ ||
                            (nextVideoFrame < spec_.frameCount &&
                             av_compare_ts(nextVideoFrame, videoEncoder_->time_base, audioSamplesWritten_,
                                           audioEncoder_->time_base) <= 0);
    if (videoFirst) {
      SendVideoFrame(nextVideoFrame++);
    } else {
      SendAudioFrame();
    }
  }
  if (videoEncoder_) Encode(*videoEncoder_, *videoStream_, nullptr);
  if (audioEncoder_) Encode(*audioEncoder_, *audioStream_, nullptr);
  CheckAv(av_write_trailer(output_.get()), "av_write_trailer", path_);
}

void TestMediaWriter::OpenOutput() {
  AVFormatContext* output = nullptr;
  const int result = avformat_alloc_output_context2(&output, nullptr, spec_.container.c_str(), path_.c_str());
  if (result < 0 || output == nullptr) {
    BadSpec("container", Quoted(spec_.container),
            "libavformat has no such muxer (" + AvErrorText(result) + ")");
  }
  output_.reset(output);
}

void TestMediaWriter::AddVideoStream() {
  const AVCodec* codec = avcodec_find_encoder_by_name(spec_.encoder.c_str());
  if (codec == nullptr || codec->type != AVMEDIA_TYPE_VIDEO) {
    BadSpec("encoder", Quoted(spec_.encoder), "libavcodec has no such video encoder");
  }
  const AVPixelFormat pixelFormat = av_get_pix_fmt(spec_.pixelFormat.c_str());
  CheckPixelFormat(spec_.pixelFormat, pixelFormat);

  videoEncoder_.reset(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path_));
  AVCodecContext& encoder = *videoEncoder_;
  encoder.width = spec_.width;
  encoder.height = spec_.height;
  encoder.pix_fmt = pixelFormat;
  encoder.color_range = AVCOL_RANGE_MPEG;
  encoder.time_base = AVRational{spec_.frameRate.den, spec_.frameRate.num};
  encoder.framerate = AVRational{spec_.frameRate.num, spec_.frameRate.den};
  encoder.gop_size = spec_.gopSize;
  encoder.max_b_frames = spec_.maxBFrames;
  encoder.sample_aspect_ratio = AVRational{spec_.sampleAspect.num, spec_.sampleAspect.den};
  // One thread: the output is the same on every run and generation leaves the cores to the tests.
  encoder.thread_count = 1;
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  UniqueDictionary options;
  WithDictionary(options, [&](AVDictionary** raw) { AddEncoderOptions(spec_, encoder, raw); });
  const int opened =
      WithDictionary(options, [&](AVDictionary** raw) { return avcodec_open2(&encoder, codec, raw); });
  if (opened < 0) {
    throw std::runtime_error("avcodec_open2 failed for encoder " + Quoted(spec_.encoder) + " at " +
                             std::to_string(spec_.width) + "x" + std::to_string(spec_.height) + " " +
                             spec_.pixelFormat + " (" + path_ + "): " + AvErrorText(opened));
  }
  if (const AVDictionaryEntry* unused = av_dict_get(options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    throw std::logic_error("encoder " + Quoted(spec_.encoder) + " ignored option " + Quoted(unused->key));
  }

  videoStream_ = CheckAllocated(avformat_new_stream(output_.get(), nullptr), "avformat_new_stream", path_);
  videoStream_->time_base = encoder.time_base;
  videoStream_->avg_frame_rate = encoder.framerate;
  videoStream_->sample_aspect_ratio = encoder.sample_aspect_ratio;
  CheckAv(avcodec_parameters_from_context(videoStream_->codecpar, &encoder),
          "avcodec_parameters_from_context", path_);
  if (spec_.rotationDegrees != 0) {
    auto* matrix = reinterpret_cast<int32_t*>(
        av_stream_new_side_data(videoStream_, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
    CheckAllocated(matrix, "av_stream_new_side_data", path_);
    // av_display_rotation_set takes a clockwise angle (av_display_rotation_get answers
    // counter-clockwise): a phone's clockwise 90 reads back as -90, as ffprobe shows for it.
    av_display_rotation_set(matrix, spec_.rotationDegrees);
  }

  videoFrame_.reset(CheckAllocated(av_frame_alloc(), "av_frame_alloc", path_));
  videoFrame_->format = pixelFormat;
  videoFrame_->width = spec_.width;
  videoFrame_->height = spec_.height;
  videoFrame_->color_range = AVCOL_RANGE_MPEG;
  CheckAv(av_frame_get_buffer(videoFrame_.get(), 0), "av_frame_get_buffer", path_);
}

void TestMediaWriter::AddAudioStream() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) throw std::runtime_error("libavcodec has no AAC encoder (" + path_ + ")");
  audioEncoder_.reset(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path_));
  AVCodecContext& encoder = *audioEncoder_;
  encoder.sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder.sample_rate = kAudioSampleRate;
  encoder.bit_rate = kAudioBitRate;
  encoder.time_base = AVRational{1, kAudioSampleRate};
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  CheckAv(av_channel_layout_copy(&encoder.ch_layout, &stereo), "av_channel_layout_copy", path_);
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  CheckAv(avcodec_open2(&encoder, codec, nullptr), "avcodec_open2 (aac)", path_);

  audioStream_ = CheckAllocated(avformat_new_stream(output_.get(), nullptr), "avformat_new_stream", path_);
  audioStream_->time_base = encoder.time_base;
  CheckAv(avcodec_parameters_from_context(audioStream_->codecpar, &encoder),
          "avcodec_parameters_from_context", path_);

  audioSamplesTotal_ = std::llround(audioSeconds_ * kAudioSampleRate);
  audioFrame_.reset(CheckAllocated(av_frame_alloc(), "av_frame_alloc", path_));
  audioFrame_->format = encoder.sample_fmt;
  audioFrame_->sample_rate = encoder.sample_rate;
  audioFrame_->nb_samples = encoder.frame_size;
  CheckAv(av_channel_layout_copy(&audioFrame_->ch_layout, &encoder.ch_layout), "av_channel_layout_copy",
          path_);
  CheckAv(av_frame_get_buffer(audioFrame_.get(), 0), "av_frame_get_buffer", path_);
}

void TestMediaWriter::OpenFile() {
  if (!(output_->oformat->flags & AVFMT_NOFILE)) {
    CheckAv(avio_open(&output_->pb, path_.c_str(), AVIO_FLAG_WRITE), "avio_open", path_);
  }
  // In microseconds; the muxer adds it to every packet it writes.
  output_->output_ts_offset = spec_.startOffset100ns / 10;
  UniqueDictionary options;
  if (spec_.indexAtFront) {
    WithDictionary(options, [](AVDictionary** raw) { return av_dict_set(raw, "movflags", "+faststart", 0); });
  }
  CheckAv(
      WithDictionary(options, [&](AVDictionary** raw) { return avformat_write_header(output_.get(), raw); }),
      "avformat_write_header", path_);
  if (const AVDictionaryEntry* unused = av_dict_get(options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    throw std::logic_error("muxer " + Quoted(spec_.container) + " ignored option " + Quoted(unused->key));
  }
}

void TestMediaWriter::SendVideoFrame(int64_t frameNumber) {
  AVFrame& frame = *videoFrame_;
  // The encoder may still hold the previous picture's buffer.
  CheckAv(av_frame_make_writable(&frame), "av_frame_make_writable", path_);
  DrawFrameIndexLuma(static_cast<int>(frameNumber), frame.data[0], static_cast<size_t>(frame.linesize[0]),
                     frame.width, frame.height);
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int chromaWidth = AV_CEIL_RSHIFT(frame.width, descriptor->log2_chroma_w);
  const int chromaHeight = AV_CEIL_RSHIFT(frame.height, descriptor->log2_chroma_h);
  for (int plane = 1; plane <= 2; ++plane) {
    for (int y = 0; y < chromaHeight; ++y) {
      std::memset(frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane], kNeutralChroma,
                  static_cast<size_t>(chromaWidth));
    }
  }
  frame.pts = frameNumber;
  Encode(*videoEncoder_, *videoStream_, &frame);
}

void TestMediaWriter::SendAudioFrame() {
  AVFrame& frame = *audioFrame_;
  CheckAv(av_frame_make_writable(&frame), "av_frame_make_writable", path_);
  // The last frame may be short: the AAC encoder accepts a small last frame, and the track then
  // ends with the video instead of up to a frame later.
  frame.nb_samples = static_cast<int>(
      std::min<int64_t>(audioEncoder_->frame_size, audioSamplesTotal_ - audioSamplesWritten_));
  for (int channel = 0; channel < frame.ch_layout.nb_channels; ++channel) {
    auto* samples = reinterpret_cast<float*>(frame.data[channel]);
    for (int i = 0; i < frame.nb_samples; ++i) {
      const double t = static_cast<double>(audioSamplesWritten_ + i) / kAudioSampleRate;
      samples[i] = kToneAmplitude * static_cast<float>(std::sin(2 * std::numbers::pi * kToneHz * t));
    }
  }
  frame.pts = audioSamplesWritten_;
  audioSamplesWritten_ += frame.nb_samples;
  Encode(*audioEncoder_, *audioStream_, &frame);
}

void TestMediaWriter::Encode(AVCodecContext& encoder, AVStream& stream, AVFrame* frame) {
  CheckAv(avcodec_send_frame(&encoder, frame), "avcodec_send_frame", path_);
  for (;;) {
    const int received = avcodec_receive_packet(&encoder, packet_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
    CheckAv(received, "avcodec_receive_packet", path_);
    av_packet_rescale_ts(packet_.get(), encoder.time_base, stream.time_base);
    packet_->stream_index = stream.index;
    // Takes the packet's reference and leaves it blank for the next one.
    CheckAv(av_interleaved_write_frame(output_.get(), packet_.get()), "av_interleaved_write_frame", path_);
  }
}

// Runs a writer; a half-written file is removed, so that a later run cannot mistake it for a
// good one.
std::string WriteMedia(const VideoSpec& spec, bool video, double audioSeconds, const std::string& path) {
  try {
    TestMediaWriter(spec, video, audioSeconds, path).Write();
  } catch (...) {
    std::remove(path.c_str());
    throw;
  }
  return path;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// libx265 (3.5) leaves some of its frame-filter buffers allocated after x265_encoder_close,
// whatever the preset; nothing here can release them, so LeakSanitizer is told to ignore leaks
// from inside that library only. Any binary that links these helpers gets this list.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

std::string WriteTestVideo(const VideoSpec& spec, const std::string& path) {
  ValidateVideoSpec(spec);
  const double seconds = static_cast<double>(spec.frameCount) * spec.frameRate.den / spec.frameRate.num;
  return WriteMedia(spec, true, spec.withAudio ? seconds : 0.0, path);
}

std::string WriteTestAudio(double seconds, const std::string& path) {
  if (!(seconds > 0 && seconds <= 3600)) {
    throw std::invalid_argument("WriteTestAudio: length " + std::to_string(seconds) +
                                " s is outside (0, 3600]");
  }
  VideoSpec spec;
  spec.container = "mp4";
  return WriteMedia(spec, false, seconds, path);
}

}  // namespace korvane::test
