// Owning handles for FFmpeg objects, so that no av_*_free appears on a return path, and the
// conversion of FFmpeg error codes to HRESULTs.
#pragma once

#include "platform/com/Hresult.h"

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace korvane::mf {

struct FormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct AvioContextDeleter {
  void operator()(AVIOContext* p) const {
    // The context owns its (possibly reallocated) buffer; free that first, as the docs ask.
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using AvioContextPtr = std::unique_ptr<AVIOContext, AvioContextDeleter>;

// FFmpeg's text for an error code.
std::string AvErrorText(int error);

// An HRESULT for an FFmpeg error: E_OUTOFMEMORY, E_ABORT for an interrupted call,
// MF_E_INVALID_STREAM_DATA for bad data, E_FAIL otherwise.
HRESULT HresultFromAvError(int error);

}  // namespace korvane::mf
