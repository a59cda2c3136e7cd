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

// For the av_*_free family, which take the address of the pointer they free.
template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const { Free(&object); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
// An output made with avformat_alloc_output_context2; closes its file when one was opened.
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};

using UniqueCodecContext = std::unique_ptr<AVCodecContext, FreeWith<avcodec_free_context>>;
using UniqueFrame = std::unique_ptr<AVFrame, FreeWith<av_frame_free>>;
using UniquePacket = std::unique_ptr<AVPacket, FreeWith<av_packet_free>>;
using UniqueInputContext = std::unique_ptr<AVFormatContext, FreeWith<avformat_close_input>>;
using UniqueSwsContext = std::unique_ptr<SwsContext, SwsContextDeleter>;
using UniqueOutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// An option dictionary that calls taking AVDictionary** (which may replace or free it, as
// avcodec_open2 does) are handed &raw; whatever raw then holds is freed with the object.
struct Dictionary {
  AVDictionary* raw = nullptr;
  Dictionary() = default;
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  ~Dictionary() { av_dict_free(&raw); }
};

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
  if (object == nullptr) throw std::runtime_error(std::string(what) + " failed for " + subject + ": out of memory");
  return object;
}

}  // namespace korvane::test::detail
