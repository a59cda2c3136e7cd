#include "platform/winrt/StreamOverRandomAccessStream.h"

#include <limits>

namespace korvane::winrt {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

HRESULT StreamOverRandomAccessStream::Create(IUnknown* stream, ComPtr<StreamOverRandomAccessStream>& result) {
  result = nullptr;
  if (stream == nullptr) return E_INVALIDARG;
  ComPtr<IRandomAccessStream> randomAccess;
  HRESULT hr = stream->QueryInterface(IID_PPV_ARGS(&randomAccess));
  if (FAILED(hr)) return hr;
  ComPtr<IRandomAccessStreamIo> io;
  hr = stream->QueryInterface(IID_PPV_ARGS(&io));
  if (FAILED(hr)) return hr;
  try {
    result = MakeComObject<StreamOverRandomAccessStream>(std::move(randomAccess), std::move(io));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

StreamOverRandomAccessStream::StreamOverRandomAccessStream(ComPtr<IRandomAccessStream> stream,
                                                           ComPtr<IRandomAccessStreamIo> io)
    : stream_(std::move(stream)), io_(std::move(io)) {}

HRESULT StreamOverRandomAccessStream::Read(void* buffer, ULONG size, ULONG* read) {
  ULONG count = 0;
  HRESULT hr = io_->ReadAt(buffer, size, &count);
  if (read != nullptr) *read = count;
  if (FAILED(hr)) return hr;
  return count < size ? S_FALSE : S_OK;
}

HRESULT StreamOverRandomAccessStream::Write(const void* buffer, ULONG size, ULONG* written) {
  ULONG count = 0;
  HRESULT hr = io_->WriteAt(buffer, size, &count);
  if (written != nullptr) *written = count;
  return hr;
}

HRESULT StreamOverRandomAccessStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  UINT64 base = 0;
  HRESULT hr = S_OK;
  switch (origin) {
    case STREAM_SEEK_SET:
      break;
    case STREAM_SEEK_CUR:
      hr = stream_->get_Position(&base);
      break;
    case STREAM_SEEK_END:
      hr = stream_->get_Size(&base);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  if (FAILED(hr)) return hr;
  UINT64 target;
  if (move.QuadPart < 0) {
    // Magnitude computed in unsigned arithmetic: INT64_MIN has no positive counterpart.
    const UINT64 back = UINT64{0} - static_cast<UINT64>(move.QuadPart);
    if (back > base) return STG_E_INVALIDFUNCTION;  // before the start
    target = base - back;
  } else {
    const auto forward = static_cast<UINT64>(move.QuadPart);
    if (forward > std::numeric_limits<UINT64>::max() - base) return STG_E_INVALIDFUNCTION;
    target = base + forward;
  }
  hr = stream_->Seek(target);
  if (FAILED(hr)) return hr;
  if (newPosition != nullptr) newPosition->QuadPart = target;
  return S_OK;
}

HRESULT StreamOverRandomAccessStream::SetSize(ULARGE_INTEGER newSize) { return stream_->put_Size(newSize.QuadPart); }

HRESULT StreamOverRandomAccessStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}

HRESULT StreamOverRandomAccessStream::Commit(DWORD) { return S_OK; }

HRESULT StreamOverRandomAccessStream::Revert() { return S_OK; }

HRESULT StreamOverRandomAccessStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return STG_E_INVALIDFUNCTION;
}

HRESULT StreamOverRandomAccessStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return STG_E_INVALIDFUNCTION;
}

HRESULT StreamOverRandomAccessStream::Stat(STATSTG* stat, DWORD) {
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  *stat = STATSTG{};
  UINT64 size = 0;
  HRESULT hr = stream_->get_Size(&size);
  if (FAILED(hr)) return hr;
  BOOL canWrite = FALSE;
  hr = stream_->get_CanWrite(&canWrite);
  if (FAILED(hr)) return hr;
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = size;
  stat->grfMode = canWrite ? 2u /* STGM_READWRITE */ : 0u /* STGM_READ */;
  return S_OK;
}

HRESULT StreamOverRandomAccessStream::Clone(IStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  UINT64 position = 0;
  HRESULT hr = stream_->get_Position(&position);
  if (FAILED(hr)) return hr;
  ComPtr<IRandomAccessStream> clone;
  hr = stream_->CloneStream(&clone);
  if (FAILED(hr)) return hr;
  hr = clone->Seek(position);
  if (FAILED(hr)) return hr;
  ComPtr<StreamOverRandomAccessStream> wrapper;
  hr = Create(clone.Get(), wrapper);
  if (FAILED(hr)) return hr;
  *stream = wrapper.Detach();
  return S_OK;
}

}  // namespace korvane::winrt
