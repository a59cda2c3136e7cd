#include "DefaultVideo.h"

#include "Pictures.h"
#include "Session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <unistd.h>

#include <memory>
#include <string>

namespace korvane::cli {

namespace {

constexpr int kWidth = 320, kHeight = 180, kRate = 25, kFrames = 150;

void Check(int result, const char* call) {
  if (result < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    throw std::runtime_error(std::string("writing the default video: ") + call + " failed (" + text + ")");
  }
}

struct Writer {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  AVStream* stream = nullptr;
  ~Writer() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&codec);
    if (format != nullptr && format->pb != nullptr) avio_closep(&format->pb);
    avformat_free_context(format);
  }

  void Drain(bool flush) {
    Check(avcodec_send_frame(codec, flush ? nullptr : frame), "avcodec_send_frame");
    for (;;) {
      const int received = avcodec_receive_packet(codec, packet);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
      Check(received, "avcodec_receive_packet");
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      Check(av_interleaved_write_frame(format, packet), "av_interleaved_write_frame");
    }
  }
};

void DrawPicture(AVFrame* frame, int index) {
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < kWidth; ++x) row[x] = static_cast<uint8_t>(40 + (x + y + 4 * index) % 160);
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(128 + (x - 80) * (index % 50) / 50);
      frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(128 + (y - 45) * ((index + 25) % 50) / 50);
    }
  }
  const std::string number = std::to_string(index);
  constexpr uint32_t kScale = 16;
  std::vector<uint8_t> luma(size_t{kWidth} * kHeight);
  for (int y = 0; y < kHeight; ++y) std::copy_n(frame->data[0] + y * frame->linesize[0], kWidth, &luma[y * kWidth]);
  const uint32_t left = (kWidth - TextWidth(number, kScale)) / 2, top = (kHeight - kGlyphHeight * kScale) / 2;
  DrawText(luma.data(), kWidth, kHeight, left, top, kScale, number, 235);
  for (int y = 0; y < kHeight; ++y) std::copy_n(&luma[y * kWidth], kWidth, frame->data[0] + y * frame->linesize[0]);
}

void Write(const std::filesystem::path& path) {
  av_log_set_level(AV_LOG_ERROR);
  Writer w;
  Check(avformat_alloc_output_context2(&w.format, nullptr, "mp4", path.c_str()), "avformat_alloc_output_context2");
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (encoder == nullptr) encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (encoder == nullptr) throw std::runtime_error("writing the default video: no H.264 or MPEG-4 encoder in FFmpeg");
  w.stream = avformat_new_stream(w.format, nullptr);
  w.codec = avcodec_alloc_context3(encoder);
  w.frame = av_frame_alloc();
  w.packet = av_packet_alloc();
  if (w.stream == nullptr || w.codec == nullptr || w.frame == nullptr || w.packet == nullptr) {
    throw std::runtime_error("writing the default video: out of memory");
  }
  w.codec->width = kWidth;
  w.codec->height = kHeight;
  w.codec->pix_fmt = AV_PIX_FMT_YUV420P;
  w.codec->time_base = {1, kRate};
  w.codec->framerate = {kRate, 1};
  w.codec->gop_size = 2 * kRate;
  w.codec->max_b_frames = 2;
  if (w.format->oformat->flags & AVFMT_GLOBALHEADER) w.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(w.codec->priv_data, "preset", "veryfast", 0);
  Check(avcodec_open2(w.codec, encoder, nullptr), "avcodec_open2");
  Check(avcodec_parameters_from_context(w.stream->codecpar, w.codec), "avcodec_parameters_from_context");
  w.stream->time_base = w.codec->time_base;
  Check(avio_open(&w.format->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
  Check(avformat_write_header(w.format, nullptr), "avformat_write_header");
  w.frame->format = AV_PIX_FMT_YUV420P;
  w.frame->width = kWidth;
  w.frame->height = kHeight;
  Check(av_frame_get_buffer(w.frame, 0), "av_frame_get_buffer");
  for (int index = 0; index < kFrames; ++index) {
    ThrowIfInterrupted();
    Check(av_frame_make_writable(w.frame), "av_frame_make_writable");
    DrawPicture(w.frame, index);
    w.frame->pts = index;
    w.Drain(false);
  }
  w.Drain(true);
  Check(av_write_trailer(w.format), "av_write_trailer");
}

}  // namespace

std::filesystem::path DefaultVideo(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "default-video.mp4";
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) return path;
  const std::filesystem::path partial = folder / ("default-video.mp4.part-" + std::to_string(::getpid()));
  try {
    Write(partial);
  } catch (const Interrupted&) {
    std::filesystem::remove(partial, ec);
    throw;
  } catch (const std::exception& e) {
    std::filesystem::remove(partial, ec);
    throw InputError("cache folder " + folder.string() + ": the default video cannot be written there (" + e.what() + ")");
  }
  std::filesystem::rename(partial, path);
  return path;
}

}  // namespace korvane::cli
