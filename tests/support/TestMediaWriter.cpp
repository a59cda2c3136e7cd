// Encodes the frame-index pattern (and optionally a tone) through one muxer, then damages the
// packets the VideoSpec asks for: WriteTestVideo and WriteTestAudio.
#include "FfmpegHandles.h"
#include "FrameIndexPattern.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test {
namespace {

using namespace detail;

constexpr int kAudioSampleRate = 48000;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

void Require(bool good, const std::string& field, const std::string& value, const std::string& why) {
  if (!good) throw std::invalid_argument("VideoSpec." + field + " = " + value + ": " + why);
}

// Refuses what an encoder or muxer would not refuse by itself but silently get wrong: a value
// the picture cannot carry, or a property the chosen container or encoder would drop.
void ValidateVideoSpec(const VideoSpec& spec) {
  const bool mov = spec.container == "mp4" || spec.container == "mov";
  Require(spec.width >= 12 && spec.height >= 12, "width x height",  // the pattern needs two pixels per cell
          std::to_string(spec.width) + "x" + std::to_string(spec.height), "must be at least 12x12");
  Require(spec.frameCount >= 1 && spec.frameCount <= kMaxFrameIndex + 1, "frameCount",
          std::to_string(spec.frameCount), "must be 1..65536");
  Require(spec.frameRate.num > 0 && spec.frameRate.den > 0, "frameRate",
          std::to_string(spec.frameRate.num) + "/" + std::to_string(spec.frameRate.den), "must be positive");
  Require(spec.rotationDegrees % 90 == 0 && spec.rotationDegrees >= 0 && spec.rotationDegrees < 360,
          "rotationDegrees", std::to_string(spec.rotationDegrees), "must be 0, 90, 180 or 270");
  Require(spec.rotationDegrees == 0 || mov, "rotationDegrees", std::to_string(spec.rotationDegrees),
          "only the mp4/mov muxers store a rotation, not " + Quoted(spec.container));
  Require(!spec.indexAtFront || mov, "indexAtFront", "true", "only mp4/mov have a movable index");
  Require(spec.startOffset100ns == 0 || (spec.container == "mpegts" && spec.startOffset100ns > 0),
          "startOffset100ns", std::to_string(spec.startOffset100ns), "only a positive offset, only in mpegts");
  Require(!spec.openGop || spec.encoder == "libx264" || spec.encoder == "libx265", "openGop", "true",
          "only libx264 and libx265 are told to make open GOPs");
  const std::vector<int64_t>& times = spec.frameTimes100ns;
  Require(times.empty() || static_cast<int>(times.size()) == spec.frameCount, "frameTimes100ns.size()",
          std::to_string(times.size()), "must be 0 or frameCount (" + std::to_string(spec.frameCount) + ")");
  for (size_t i = 0; i < times.size(); ++i) {
    Require(i == 0 ? times[0] == 0 : times[i] > times[i - 1], "frameTimes100ns[" + std::to_string(i) + "]",
            std::to_string(times[i]), "must start at 0 and increase");
  }
}

// Variable-rate timestamps are counted in this base; it holds milliseconds and NTSC frame
// times exactly.
constexpr AVRational kVariableRateTimeBase{1, 90000};

// Where the encoder's pictures are timed: whole frames for a constant rate.
AVRational EncoderTimeBase(const VideoSpec& spec) {
  return spec.frameTimes100ns.empty() ? AVRational{spec.frameRate.den, spec.frameRate.num} : kVariableRateTimeBase;
}

// Length of the video: up to the end of its last frame (a nominal frame after its start).
double VideoSeconds(const VideoSpec& spec) {
  const double frame = static_cast<double>(spec.frameRate.den) / spec.frameRate.num;
  if (spec.frameTimes100ns.empty()) return spec.frameCount * frame;
  return static_cast<double>(spec.frameTimes100ns.back()) / 1e7 + frame;
}

// The private options that make each encoder keep the requested GOP structure and a quality at
// which the pattern's cells come through untouched.
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
    const std::string params = "log-level=error:pools=none:frame-threads=1:scenecut=0:b-adapt=0:open-gop=" + openGop +
                               ":keyint=" + std::to_string(spec.gopSize) + ":min-keyint=" +
                               std::to_string(spec.gopSize) + ":bframes=" + std::to_string(spec.maxBFrames);
    av_dict_set(options, "x265-params", params.c_str(), 0);
  } else if (spec.encoder == "libvpx-vp9") {
    context.bit_rate = 0;               // with crf: constant quality
    context.keyint_min = spec.gopSize;  // equal minimum and maximum: fixed key frames
    av_dict_set(options, "crf", "18", 0);
    av_dict_set(options, "deadline", "good", 0);
    av_dict_set(options, "cpu-used", "5", 0);
  } else if (spec.encoder == "libxvid") {
    // A bit rate so generous that the quantiser stays at its finest.
    context.bit_rate = 4'000'000;
  } else if (spec.encoder == "mpeg4" || spec.encoder == "mpeg2video") {
    context.flags |= AV_CODEC_FLAG_QSCALE;
    context.global_quality = FF_QP2LAMBDA * 3;
    av_dict_set(options, "sc_threshold", "1000000000", 0);
  }
}

// An option the encoder or muxer did not take means the file is not what its VideoSpec asked for.
void RequireAllTaken(const Dictionary& options, const std::string& who) {
  if (const AVDictionaryEntry* unused = av_dict_get(options.raw, "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw std::logic_error(who + " ignored option " + Quoted(unused->key));
}

class TestMediaWriter {
 public:
  // Writes spec's pictures when `video`, and a tone of audioSeconds when that is positive.
  TestMediaWriter(const VideoSpec& spec, bool video, double audioSeconds, const std::string& path);

 private:
  AVCodecContext& OpenEncoder(const AVCodec* codec);
  AVStream& AddStream(const AVCodecContext& encoder);
  void WriteVideo(AVCodecContext& encoder, AVStream& stream);
  void WriteAudio(AVCodecContext& encoder, AVStream& stream, int64_t samples);
  // Sends frame (nullptr: end of stream) and writes every packet the encoder then has.
  void Encode(AVCodecContext& encoder, AVStream& stream, AVFrame* frame);
  UniqueFrame AllocateFrame(const AVCodecContext& encoder);

  const VideoSpec& spec_;
  const std::string& path_;
  UniqueOutputContext output_;
  UniqueCodecContext videoEncoder_, audioEncoder_;
  UniquePacket packet_;
};

TestMediaWriter::TestMediaWriter(const VideoSpec& spec, bool video, double audioSeconds, const std::string& path)
    : spec_(spec), path_(path) {
  // Encoder banners (libx264's "using cpu capabilities", x265's settings dump) would otherwise
  // fill every test log. Only the untouched default is lowered.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  });
  AVFormatContext* output = nullptr;
  const int allocated = avformat_alloc_output_context2(&output, nullptr, spec.container.c_str(), path.c_str());
  Require(allocated >= 0 && output != nullptr, "container", Quoted(spec.container), "libavformat has no such muxer");
  output_.reset(output);
  packet_.reset(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path_));

  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  if (video) {
    const AVCodec* codec = avcodec_find_encoder_by_name(spec.encoder.c_str());
    Require(codec != nullptr && codec->type == AVMEDIA_TYPE_VIDEO, "encoder", Quoted(spec.encoder),
            "libavcodec has no such video encoder");
    videoStream = &AddStream(OpenEncoder(codec));
    if (spec.rotationDegrees != 0) {
      auto* matrix = reinterpret_cast<int32_t*>(
          av_stream_new_side_data(videoStream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
      // av_display_rotation_set takes a clockwise angle (av_display_rotation_get answers
      // counter-clockwise): a phone's clockwise 90 reads back as -90, as ffprobe shows for it.
      av_display_rotation_set(CheckAllocated(matrix, "av_stream_new_side_data", path_), spec.rotationDegrees);
    }
  }
  if (audioSeconds > 0) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) throw std::runtime_error("libavcodec has no AAC encoder (" + path_ + ")");
    audioEncoder_.reset(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path_));
    AVCodecContext& encoder = *audioEncoder_;
    encoder.sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder.sample_rate = kAudioSampleRate;
    encoder.bit_rate = 128000;
    encoder.time_base = AVRational{1, kAudioSampleRate};
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    CheckAv(av_channel_layout_copy(&encoder.ch_layout, &stereo), "av_channel_layout_copy", path_);
    if (output_->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    CheckAv(avcodec_open2(&encoder, codec, nullptr), "avcodec_open2 (aac)", path_);
    audioStream = &AddStream(encoder);
  }

  if (!(output_->oformat->flags & AVFMT_NOFILE)) {
    CheckAv(avio_open(&output_->pb, path_.c_str(), AVIO_FLAG_WRITE), "avio_open", path_);
  }
  output_->output_ts_offset = spec.startOffset100ns / 10;  // in microseconds, added to every packet
  Dictionary options;
  if (spec.indexAtFront) av_dict_set(&options.raw, "movflags", "+faststart", 0);
  CheckAv(avformat_write_header(output_.get(), &options.raw), "avformat_write_header", path_);
  RequireAllTaken(options, "muxer " + Quoted(spec.container));
  // One stream after the other: the interleaving muxer holds the packets back as it needs.
  if (videoStream) WriteVideo(*videoEncoder_, *videoStream);
  if (audioStream) WriteAudio(*audioEncoder_, *audioStream, std::llround(audioSeconds * kAudioSampleRate));
  CheckAv(av_write_trailer(output_.get()), "av_write_trailer", path_);
}

AVCodecContext& TestMediaWriter::OpenEncoder(const AVCodec* codec) {
  videoEncoder_.reset(CheckAllocated(avcodec_alloc_context3(codec), "avcodec_alloc_context3", path_));
  AVCodecContext& encoder = *videoEncoder_;
  encoder.width = spec_.width;
  encoder.height = spec_.height;
  encoder.pix_fmt = AV_PIX_FMT_YUV420P;
  encoder.color_range = AVCOL_RANGE_MPEG;
  encoder.time_base = EncoderTimeBase(spec_);
  encoder.framerate = AVRational{spec_.frameRate.num, spec_.frameRate.den};
  encoder.gop_size = spec_.gopSize;
  encoder.max_b_frames = spec_.maxBFrames;
  encoder.sample_aspect_ratio = AVRational{spec_.sampleAspect.num, spec_.sampleAspect.den};
  // One thread: the output is the same on every run and generation leaves the cores to the tests.
  encoder.thread_count = 1;
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Dictionary options;
  AddEncoderOptions(spec_, encoder, &options.raw);
  if (const int opened = avcodec_open2(&encoder, codec, &options.raw); opened < 0) {
    throw std::runtime_error("avcodec_open2 failed for encoder " + Quoted(spec_.encoder) + " at " +
                             std::to_string(spec_.width) + "x" + std::to_string(spec_.height) + " (" + path_ +
                             "): " + AvErrorText(opened));
  }
  RequireAllTaken(options, "encoder " + Quoted(spec_.encoder));
  return encoder;
}

AVStream& TestMediaWriter::AddStream(const AVCodecContext& encoder) {
  AVStream* stream = CheckAllocated(avformat_new_stream(output_.get(), nullptr), "avformat_new_stream", path_);
  stream->time_base = encoder.time_base;
  stream->avg_frame_rate = encoder.framerate;
  stream->sample_aspect_ratio = encoder.sample_aspect_ratio;
  CheckAv(avcodec_parameters_from_context(stream->codecpar, &encoder), "avcodec_parameters_from_context", path_);
  return *stream;
}

UniqueFrame TestMediaWriter::AllocateFrame(const AVCodecContext& encoder) {
  UniqueFrame frame(CheckAllocated(av_frame_alloc(), "av_frame_alloc", path_));
  if (encoder.codec_type == AVMEDIA_TYPE_VIDEO) {
    frame->format = encoder.pix_fmt;
    frame->width = encoder.width;
    frame->height = encoder.height;
    frame->color_range = AVCOL_RANGE_MPEG;
  } else {
    frame->format = encoder.sample_fmt;
    frame->sample_rate = encoder.sample_rate;
    frame->nb_samples = encoder.frame_size;
    CheckAv(av_channel_layout_copy(&frame->ch_layout, &encoder.ch_layout), "av_channel_layout_copy", path_);
  }
  CheckAv(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer", path_);
  return frame;
}

void TestMediaWriter::WriteVideo(AVCodecContext& encoder, AVStream& stream) {
  UniqueFrame frame = AllocateFrame(encoder);
  for (int index = 0; index < spec_.frameCount; ++index) {
    // The encoder may still hold the previous picture's buffer.
    CheckAv(av_frame_make_writable(frame.get()), "av_frame_make_writable", path_);
    DrawFrameIndexLuma(index, frame->data[0], static_cast<size_t>(frame->linesize[0]), frame->width, frame->height);
    for (int plane = 1; plane <= 2; ++plane) {
      for (int y = 0; y < (frame->height + 1) / 2; ++y) {
        std::memset(frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane], kNeutralChroma,
                    static_cast<size_t>(frame->width + 1) / 2);
      }
    }
    frame->pts = spec_.frameTimes100ns.empty()
                     ? index
                     : av_rescale_q(spec_.frameTimes100ns[index], AVRational{1, 10'000'000}, encoder.time_base);
    Encode(encoder, stream, frame.get());
  }
  Encode(encoder, stream, nullptr);
}

void TestMediaWriter::WriteAudio(AVCodecContext& encoder, AVStream& stream, int64_t samples) {
  UniqueFrame frame = AllocateFrame(encoder);
  for (int64_t written = 0; written < samples; written += frame->nb_samples) {
    CheckAv(av_frame_make_writable(frame.get()), "av_frame_make_writable", path_);
    // The AAC encoder accepts a short last frame, so the track ends with the video.
    frame->nb_samples = static_cast<int>(std::min<int64_t>(encoder.frame_size, samples - written));
    for (int channel = 0; channel < frame->ch_layout.nb_channels; ++channel) {
      auto* out = reinterpret_cast<float*>(frame->data[channel]);
      for (int i = 0; i < frame->nb_samples; ++i) {
        out[i] = 0.2f * static_cast<float>(std::sin(2 * std::numbers::pi * 440.0 * (written + i) / kAudioSampleRate));
      }
    }
    frame->pts = written;
    Encode(encoder, stream, frame.get());
  }
  Encode(encoder, stream, nullptr);
}

void TestMediaWriter::Encode(AVCodecContext& encoder, AVStream& stream, AVFrame* frame) {
  CheckAv(avcodec_send_frame(&encoder, frame), "avcodec_send_frame", path_);
  for (int received; (received = avcodec_receive_packet(&encoder, packet_.get())) != AVERROR(EAGAIN) &&
                     received != AVERROR_EOF;) {
    CheckAv(received, "avcodec_receive_packet", path_);
    av_packet_rescale_ts(packet_.get(), encoder.time_base, stream.time_base);
    packet_->stream_index = stream.index;
    // Takes the packet's reference and leaves it blank for the next one.
    CheckAv(av_interleaved_write_frame(output_.get(), packet_.get()), "av_interleaved_write_frame", path_);
  }
}

// Overwrites, in place, the payload of the video packets `first` .. first + count - 1 (counted
// from 0 in the order libavformat reads them) with pseudo-random bytes that are the same on
// every run.
void DamageVideoPackets(const std::string& path, int first, int count) {
  // Where the packets lie, found by the demuxer before a byte is changed.
  std::vector<std::pair<int64_t, int>> spans;  // file offset, size
  {
    AVFormatContext* raw = nullptr;
    CheckAv(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "avformat_open_input", path);
    UniqueInputContext input(raw);
    CheckAv(avformat_find_stream_info(raw, nullptr), "avformat_find_stream_info", path);
    const int video = CheckAv(av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0), "av_find_best_stream", path);
    UniquePacket packet(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path));
    for (int index = 0; index < first + count && av_read_frame(raw, packet.get()) >= 0; av_packet_unref(packet.get())) {
      if (packet->stream_index != video) continue;
      if (index >= first) {
        if (packet->pos < 0) throw std::runtime_error(path + ": video packet " + std::to_string(index) + " has no file offset");
        spans.emplace_back(packet->pos, packet->size);
      }
      ++index;
    }
  }
  if (static_cast<int>(spans.size()) != count) {
    throw std::runtime_error(path + " has fewer than " + std::to_string(first + count) + " video packets");
  }

  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  uint32_t state = 0x2545F491;  // xorshift32: the same garbage on every run
  for (const auto& [offset, size] : spans) {
    std::string garbage(static_cast<size_t>(size), '\0');
    for (char& byte : garbage) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = static_cast<char>(state);
    }
    file.seekp(offset);
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  file.close();
  if (!file) throw std::runtime_error("cannot damage " + path);
}

// A half-written file is removed, so that a later run cannot mistake it for a good one.
std::string WriteMedia(const VideoSpec& spec, bool video, double audioSeconds, const std::string& path) {
  try {
    TestMediaWriter(spec, video, audioSeconds, path);
    if (spec.damagedPacketCount > 0) DamageVideoPackets(path, spec.damagedPacketFirst, spec.damagedPacketCount);
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
  return WriteMedia(spec, true, spec.withAudio ? VideoSeconds(spec) : 0.0, path);
}

std::string WriteTestAudio(double seconds, const std::string& path) {
  if (!(seconds > 0 && seconds <= 3600)) {
    throw std::invalid_argument("WriteTestAudio: length " + std::to_string(seconds) + " s is outside (0, 3600]");
  }
  return WriteMedia(VideoSpec{}, false, seconds, path);
}

}  // namespace korvane::test
