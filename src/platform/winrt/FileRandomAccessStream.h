// FileRandomAccessStream: a random-access stream over a file, made by
// CreateRandomAccessStreamOnFile (RandomAccessStream.h).
//
// Contract:
// - Answers IRandomAccessStream, IClosable and IRandomAccessStreamIo. Opened for reading, or
//   for reading and writing (the file is then created when missing, never truncated).
// - Reads and writes go to the file at the stream's own position (positioned I/O), so
//   CloneStream gives an independent position over the same open file; the file is closed
//   when the last stream over it is closed or released.
// - Seeking past the end is allowed; reads there return 0 bytes, a write there extends the
//   file. put_Size truncates or extends without moving the position. A read-only stream
//   refuses WriteAt and put_Size with E_ACCESSDENIED.
// - File errors are HRESULT_FROM_WIN32 of the Win32 code for the errno (Win32ErrorFromErrno);
//   a missing folder on the path gives ERROR_PATH_NOT_FOUND, a missing file ERROR_FILE_NOT_FOUND.
// - After Close every call fails with RO_E_CLOSED (Close itself succeeds again); clones stay
//   open.
// - Thread-safe: any method from any thread; mutex_ guards the position and the file share.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/RandomAccessStream.h"

#include <memory>
#include <mutex>

namespace korvane::winrt {

class FileRandomAccessStream final
    : public RuntimeClass<com::kPlainRuntimeClass, ABI::Windows::Storage::Streams::IRandomAccessStream,
                          ABI::Windows::Foundation::IClosable, IRandomAccessStreamIo> {
 public:
  // Opens `path`; throws Platform::Exception with the mapped HRESULT (and the path in the
  // message) when the file cannot be opened or is not a regular file.
  static ComPtr<FileRandomAccessStream> Open(const char* path, FileAccessMode mode);

  // IRandomAccessStream
  HRESULT get_Size(UINT64* value) override;
  HRESULT put_Size(UINT64 value) override;
  HRESULT get_Position(UINT64* value) override;
  HRESULT Seek(UINT64 position) override;
  HRESULT CloneStream(ABI::Windows::Storage::Streams::IRandomAccessStream** stream) override;
  HRESULT get_CanRead(BOOL* value) override;
  HRESULT get_CanWrite(BOOL* value) override;

  // IClosable
  HRESULT Close() override;

  // IRandomAccessStreamIo
  HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) override;
  HRESULT WriteAt(const void* buffer, ULONG size, ULONG* written) override;

 protected:
  const char* RuntimeClassNameText() const override;

 private:
  // The open descriptor, closed when the last stream sharing it lets go.
  class FileHandle;

  FileRandomAccessStream(std::shared_ptr<FileHandle> file, bool writable);

  const bool writable_;
  std::mutex mutex_;
  // -- guarded by mutex_
  std::shared_ptr<FileHandle> file_;  // null once closed
  UINT64 position_ = 0;
};

}  // namespace korvane::winrt
