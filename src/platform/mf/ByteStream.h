// The media byte stream over a platform random-access stream (MFCreateMFByteStreamOnStreamEx).
//
// It reads through a clone of the stream when the stream can be cloned, so that its position
// is its own and the application's use of its stream object cannot move it; otherwise it
// seeks the stream itself before every read. It answers korvane::mf::IMediaSourceFactory by
// forwarding to the stream it was made on, so that a stream bringing its own media source is
// read through that source.
//
// Thread-safe: every call holds `mutex_`, which guards the position and the closed state.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/mf/Mfobjects.h"
#include "platform/winrt/RandomAccessStream.h"

#include <mutex>

namespace korvane::mf {

class ByteStream final : public ComObject<IMFByteStream> {
 public:
  // `origin` is the object the application passed; `stream` and `io` the one read from.
  ByteStream(ComPtr<IUnknown> origin, ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream,
             ComPtr<winrt::IRandomAccessStreamIo> io);

  HRESULT QueryInterface(REFIID iid, void** object) override;

  HRESULT GetCapabilities(DWORD* capabilities) override;
  HRESULT GetLength(QWORD* length) override;
  HRESULT GetCurrentPosition(QWORD* position) override;
  HRESULT SetCurrentPosition(QWORD position) override;
  HRESULT IsEndOfStream(BOOL* endOfStream) override;
  HRESULT Read(BYTE* buffer, ULONG size, ULONG* read) override;
  HRESULT Seek(MFBYTESTREAM_SEEK_ORIGIN origin, LONGLONG offset, DWORD flags, QWORD* position) override;
  HRESULT Close() override;

 private:
  std::mutex mutex_;
  // -- guarded by mutex_ (all null once closed)
  ComPtr<IUnknown> origin_;
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;
  ComPtr<winrt::IRandomAccessStreamIo> io_;
  QWORD position_ = 0;
};

}  // namespace korvane::mf
