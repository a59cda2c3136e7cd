// FFmpeg's I/O over a media byte stream: a custom AVIOContext whose read and seek callbacks go
// to IMFByteStream, so that libavformat never opens a file by name.
//
// Used by one FfmpegMediaSource, on whichever thread the source is called on (one at a time).
// Must outlive the AVFormatContext that reads through it.
#pragma once

#include "platform/mf/FfmpegHandles.h"
#include "platform/mf/Mfobjects.h"

#include "platform/com/ComPtr.h"

namespace korvane::mf {

class ByteStreamAvio {
 public:
  // Size of the read buffer handed to FFmpeg.
  static constexpr int kBufferSize = 64 * 1024;

  explicit ByteStreamAvio(ComPtr<IMFByteStream> stream);
  ByteStreamAvio(const ByteStreamAvio&) = delete;
  ByteStreamAvio& operator=(const ByteStreamAvio&) = delete;

  // Null when the context could not be allocated.
  AVIOContext* Context() const { return context_.get(); }
  // The failure of the latest read or seek of the byte stream, S_OK when none.
  HRESULT LastError() const { return lastError_; }

 private:
  static int ReadPacket(void* opaque, uint8_t* buffer, int size);
  static int64_t SeekTo(void* opaque, int64_t offset, int whence);

  ComPtr<IMFByteStream> stream_;
  AvioContextPtr context_;
  HRESULT lastError_ = S_OK;
};

}  // namespace korvane::mf
