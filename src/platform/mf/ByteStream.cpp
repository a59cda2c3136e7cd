#include "platform/mf/ByteStream.h"

#include "platform/mf/MediaSource.h"

namespace korvane::mf {

ByteStream::ByteStream(ComPtr<IUnknown> origin, ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream,
                       ComPtr<winrt::IRandomAccessStreamIo> io)
    : origin_(std::move(origin)), stream_(std::move(stream)), io_(std::move(io)) {}

HRESULT ByteStream::QueryInterface(REFIID iid, void** object) {
  if (iid == IMediaSourceFactory::kIid) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    ComPtr<IUnknown> origin;
    {
      std::lock_guard lock(mutex_);
      origin = origin_;
    }
    return origin ? origin->QueryInterface(iid, object) : E_NOINTERFACE;
  }
  return ComObject::QueryInterface(iid, object);
}

HRESULT ByteStream::GetCapabilities(DWORD* capabilities) {
  if (capabilities == nullptr) return E_POINTER;
  *capabilities = MFBYTESTREAM_IS_READABLE | MFBYTESTREAM_IS_SEEKABLE;
  return S_OK;
}

HRESULT ByteStream::GetLength(QWORD* length) {
  if (length == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  return stream_->get_Size(length);
}

HRESULT ByteStream::GetCurrentPosition(QWORD* position) {
  if (position == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  *position = position_;
  return S_OK;
}

HRESULT ByteStream::SetCurrentPosition(QWORD position) {
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  position_ = position;
  return S_OK;
}

HRESULT ByteStream::IsEndOfStream(BOOL* endOfStream) {
  if (endOfStream == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  UINT64 size = 0;
  HRESULT hr = stream_->get_Size(&size);
  if (FAILED(hr)) return hr;
  *endOfStream = position_ >= size ? TRUE : FALSE;
  return S_OK;
}

HRESULT ByteStream::Read(BYTE* buffer, ULONG size, ULONG* read) {
  if (read == nullptr || (buffer == nullptr && size != 0)) return E_POINTER;
  *read = 0;
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  HRESULT hr = stream_->Seek(position_);
  if (SUCCEEDED(hr) && size != 0) hr = io_->ReadAt(buffer, size, read);
  if (FAILED(hr)) return hr;
  position_ += *read;
  return S_OK;
}

HRESULT ByteStream::Seek(MFBYTESTREAM_SEEK_ORIGIN origin, LONGLONG offset, DWORD /*flags*/, QWORD* position) {
  std::lock_guard lock(mutex_);
  if (!stream_) return MF_E_SHUTDOWN;
  LONGLONG base = origin == msoCurrent ? static_cast<LONGLONG>(position_) : 0;
  if (origin != msoBegin && origin != msoCurrent) return E_INVALIDARG;
  if (offset < 0 && -offset > base) return E_INVALIDARG;  // before the start
  position_ = static_cast<QWORD>(base + offset);
  if (position != nullptr) *position = position_;
  return S_OK;
}

HRESULT ByteStream::Close() {
  ComPtr<IUnknown> origin;
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
  ComPtr<winrt::IRandomAccessStreamIo> io;
  std::lock_guard lock(mutex_);
  origin = std::move(origin_);
  stream = std::move(stream_);
  io = std::move(io_);
  return S_OK;
}

}  // namespace korvane::mf
