#include "platform/mf/ByteStreamAvio.h"

#include <cstdio>

namespace korvane::mf {

ByteStreamAvio::ByteStreamAvio(ComPtr<IMFByteStream> stream) : stream_(std::move(stream)) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (buffer == nullptr) return;
  AVIOContext* context = avio_alloc_context(buffer, kBufferSize, 0, this, &ReadPacket, nullptr, &SeekTo);
  if (context == nullptr) {
    av_free(buffer);
    return;
  }
  context->seekable = AVIO_SEEKABLE_NORMAL;
  context_.reset(context);
}

int ByteStreamAvio::ReadPacket(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<ByteStreamAvio*>(opaque);
  ULONG read = 0;
  HRESULT hr = self->stream_->Read(buffer, static_cast<ULONG>(size), &read);
  if (FAILED(hr)) {
    self->lastError_ = hr;
    return AVERROR(EIO);
  }
  return read == 0 ? AVERROR_EOF : static_cast<int>(read);
}

int64_t ByteStreamAvio::SeekTo(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<ByteStreamAvio*>(opaque);
  HRESULT hr = S_OK;
  QWORD position = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: {
      QWORD length = 0;
      hr = self->stream_->GetLength(&length);
      if (SUCCEEDED(hr)) return static_cast<int64_t>(length);
      break;
    }
    case SEEK_SET:
      if (offset < 0) return AVERROR(EINVAL);
      hr = self->stream_->SetCurrentPosition(static_cast<QWORD>(offset));
      if (SUCCEEDED(hr)) return offset;
      break;
    case SEEK_CUR:
      hr = self->stream_->Seek(msoCurrent, offset, 0, &position);
      if (SUCCEEDED(hr)) return static_cast<int64_t>(position);
      break;
    case SEEK_END: {
      QWORD length = 0;
      hr = self->stream_->GetLength(&length);
      if (FAILED(hr)) break;
      int64_t target = static_cast<int64_t>(length) + offset;
      if (target < 0) return AVERROR(EINVAL);
      hr = self->stream_->SetCurrentPosition(static_cast<QWORD>(target));
      if (SUCCEEDED(hr)) return target;
      break;
    }
    default:
      return AVERROR(EINVAL);
  }
  self->lastError_ = hr;
  return AVERROR(EIO);
}

}  // namespace korvane::mf
