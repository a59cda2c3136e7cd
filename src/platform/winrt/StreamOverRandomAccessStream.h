// StreamOverRandomAccessStream: the COM IStream that CreateStreamOverRandomAccessStream hands
// out over a platform random-access stream.
//
// Contract:
// - Shares the random-access stream's position: reading, writing or seeking through either is
//   seen by the other. It keeps the stream alive (one reference) and never closes it.
// - Read returns S_OK when every byte asked for was read and S_FALSE on a short read (end of
//   stream); Write grows the stream. Seek, Stat (size, STGTY_STREAM, no name), SetSize and
//   Clone (an IStream over a clone of the stream, at the same position) work; Commit and
//   Revert succeed and do nothing (there is no transaction); CopyTo, LockRegion and
//   UnlockRegion answer E_NOTIMPL / STG_E_INVALIDFUNCTION.
// - A seek to a negative position fails with STG_E_INVALIDFUNCTION and leaves the position.
// - The stream's own failures (RO_E_CLOSED after it was closed, file errors) pass through.
// - Thread-safety is the underlying stream's; a Seek relative to the current position or the
//   end is two calls on it, so one IStream is meant to be driven by one thread at a time.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/com/Stream.h"
#include "platform/winrt/RandomAccessStream.h"

namespace korvane::winrt {

class StreamOverRandomAccessStream final : public ComObject<IStream, IAgileObject> {
 public:
  // Fails with E_INVALIDARG (null) or E_NOINTERFACE when `stream` is not a platform
  // random-access stream (it must answer IRandomAccessStream and IRandomAccessStreamIo).
  static HRESULT Create(IUnknown* stream, ComPtr<StreamOverRandomAccessStream>& result);

  // ISequentialStream
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override;

  // IStream
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  HRESULT SetSize(ULARGE_INTEGER newSize) override;
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD lockType) override;
  HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD lockType) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  HRESULT Clone(IStream** stream) override;

  // Use Create.
  StreamOverRandomAccessStream(ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream,
                               ComPtr<IRandomAccessStreamIo> io);

 private:
  const ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;
  const ComPtr<IRandomAccessStreamIo> io_;
};

}  // namespace korvane::winrt
