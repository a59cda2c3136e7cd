// Owning handles for the FFmpeg objects the test-media helpers use, and the one way they turn
// an FFmpeg error code into an exception. Internal to tests/support.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace korvane::test::detail {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
// An input opened with avformat_open_input.
struct InputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
// An output made with avformat_alloc_output_context2; closes its file when one was opened.
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};

using UniqueCodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using UniqueFrame = std::unique_ptr<AVFrame, FrameDeleter>;
using UniquePacket = std::unique_ptr<AVPacket, PacketDeleter>;
using UniqueDictionary = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using UniqueSwsContext = std::unique_ptr<SwsContext, SwsContextDeleter>;
using UniqueInputContext = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using UniqueOutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// Lends the dictionary held by options to a call that takes AVDictionary** (and may replace or
// free it, as avcodec_open2 does), keeping ownership in options whatever the call does.
template <class Call>
auto WithDictionary(UniqueDictionary& options, Call call) {
  AVDictionary* raw = options.release();
  struct Restore {
    UniqueDictionary& options;
    AVDictionary*& raw;
    ~Restore() { options.reset(raw); }
  } restore{options, raw};
  return call(&raw);
}

inline std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

// Throws std::runtime_error "<what> failed for <subject>: <FFmpeg's text> (<code>)" when code
// is negative; returns code otherwise.
inline int CheckAv(int code, const char* what, const std::string& subject) {
  if (code < 0) {
    throw std::runtime_error(std::string(what) + " failed for " + subject + ": " + AvErrorText(code) + " (" +
                             std::to_string(code) + ")");
  }
  return code;
}

template <class T>
T* CheckAllocated(T* object, const char* what, const std::string& subject) {
  if (object == nullptr)
    throw std::runtime_error(std::string(what) + " failed for " + subject + ": out of memory");
  return object;
}

}  // namespace korvane::test::detail
