// Plain libavformat + libavcodec as a Player, the way a simple player reaches a frame: seek to
// the key frame at or before it and decode up to it; only when the frame lies a little ahead
// of the last one decoded (up to a second) does it decode on instead. As many decoder threads
// as libavcodec picks, like the engine's reader. The frame reached is converted to NV12, as
// the engine and ffms2 hand it out.
#include "walks/Player.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::bench {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("libav: " + what); }

// An open file with its video decoder.
struct Decoding {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int stream = -1;
  bool draining = false;

  explicit Decoding(const std::string& path) {
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) Fail("cannot open " + path);
    if (avformat_find_stream_info(format, nullptr) < 0) Fail("no stream info in " + path);
    const AVCodec* decoder = nullptr;
    stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0) Fail("no video in " + path);
    codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, format->streams[stream]->codecpar);
    codec->thread_count = 0;
    codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(codec, decoder, nullptr) < 0) Fail("cannot open the decoder");
  }
  ~Decoding() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
  Decoding(const Decoding&) = delete;
  Decoding& operator=(const Decoding&) = delete;

  // The next decoded frame into `frame`; false at the end of the file.
  bool Next() {
    av_frame_unref(frame);
    for (;;) {
      const int error = avcodec_receive_frame(codec, frame);
      if (error == 0) return true;
      if (error == AVERROR_EOF) return false;
      if (error != AVERROR(EAGAIN) || draining) Fail("decoding failed");
      if (av_read_frame(format, packet) < 0) {
        draining = true;
        avcodec_send_packet(codec, nullptr);
        continue;
      }
      if (packet->stream_index == stream) avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
    }
  }
};

class LibavPlayer final : public Player {
 public:
  explicit LibavPlayer(const MediaInfo& media) : media_(media) {}
  ~LibavPlayer() override { sws_freeContext(convert_); }

  void Open(const std::string& path) override {
    file_ = std::make_unique<Decoding>(path);
    const AVStream* stream = file_->format->streams[file_->stream];
    timeBase_ = stream->time_base;
    start_ = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    width_ = file_->codec->width;
    height_ = file_->codec->height;
    nv12_.assign(static_cast<size_t>(width_) * height_ * 3 / 2, 0);
  }
  void Step(int frame, bool) override { Get(frame); }
  void Seek(int frame) override { Get(frame); }
  uint64_t LumaHash() override { return HashPlane(nv12_.data(), static_cast<size_t>(width_), width_, height_); }

 private:
  void Get(int target) {
    int backOff = 0;
    if (!(last_ >= 0 && target > last_ && target - last_ <= media_.fps && !file_->draining)) SeekBefore(target, 0);
    for (;;) {
      if (!file_->Next()) Fail("frame " + std::to_string(target) + " not reached");
      const int number = FrameNumber(file_->frame->best_effort_timestamp);
      last_ = number;
      if (number == target) break;
      if (number > target) {
        // The seek landed on a key frame shown after the target (its decoding time came first).
        backOff += media_.fps;
        SeekBefore(target, backOff);
      }
    }
    Convert();
  }
  void SeekBefore(int target, int backOff) {
    const int64_t ts = start_ + av_rescale_q(std::max(0, target - backOff), AVRational{1, media_.fps}, timeBase_);
    if (av_seek_frame(file_->format, file_->stream, ts, AVSEEK_FLAG_BACKWARD) < 0)
      Fail("seek to frame " + std::to_string(target));
    avcodec_flush_buffers(file_->codec);
    file_->draining = false;
    last_ = -1;
  }
  int FrameNumber(int64_t timestamp) const {
    return static_cast<int>(std::llround(static_cast<double>(timestamp - start_) * av_q2d(timeBase_) * media_.fps));
  }
  void Convert() {
    const AVFrame* frame = file_->frame;
    convert_ = sws_getCachedContext(convert_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                    width_, height_, AV_PIX_FMT_NV12, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (convert_ == nullptr) Fail("no conversion to NV12");
    uint8_t* planes[] = {nv12_.data(), nv12_.data() + static_cast<size_t>(width_) * height_};
    const int pitches[] = {width_, width_};
    sws_scale(convert_, frame->data, frame->linesize, 0, frame->height, planes, pitches);
  }

  const MediaInfo media_;
  std::unique_ptr<Decoding> file_;
  AVRational timeBase_{1, 1};
  int64_t start_ = 0;
  int width_ = 0;
  int height_ = 0;
  int last_ = -1;  // the frame number last decoded since the last seek; -1 right after one
  SwsContext* convert_ = nullptr;
  std::vector<uint8_t> nv12_;
};

}  // namespace

std::unique_ptr<Player> MakeLibavPlayer(const MediaInfo& media) { return std::make_unique<LibavPlayer>(media); }

int DecodeWholeFile(const std::string& path) {
  Decoding file(path);
  int frames = 0;
  while (file.Next()) ++frames;
  return frames;
}

}  // namespace korvane::bench
