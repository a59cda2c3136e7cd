// Random-access streams: the interface applications hand in (a video to decode, a picture to
// encode) and the platform's file and in-memory implementations.
#pragma once

#include "platform/com/WinRtInterfaces.h"
#include "platform/com/Stream.h"

namespace ABI::Windows::Storage::Streams {

struct IRandomAccessStream : IInspectable {
  static constexpr GUID kIid{0x905A0FE1, 0xBC53, 0x11DF, {0x8C, 0x49, 0x00, 0x1E, 0x4F, 0xC6, 0x86, 0xDA}};
  using BaseInterface = IInspectable;

  virtual HRESULT get_Size(UINT64* value) = 0;
  virtual HRESULT put_Size(UINT64 value) = 0;
  virtual HRESULT get_Position(UINT64* value) = 0;
  virtual HRESULT Seek(UINT64 position) = 0;
  virtual HRESULT CloneStream(IRandomAccessStream** stream) = 0;
  virtual HRESULT get_CanRead(BOOL* value) = 0;
  virtual HRESULT get_CanWrite(BOOL* value) = 0;
};

}  // namespace ABI::Windows::Storage::Streams

namespace korvane::winrt {

// How the platform itself moves bytes through a random-access stream (the original does this
// with asynchronous buffer reads the component never sees). Every stream made by the platform
// answers it; CreateStreamOverRandomAccessStream and the media byte stream rely on it.
struct IRandomAccessStreamIo : IUnknown {
  static constexpr GUID kIid{0x6B1E7A52, 0x3C0D, 0x4E8F, {0x9A, 0x11, 0x4B, 0x2C, 0x7D, 0x55, 0x10, 0x01}};
  using BaseInterface = IUnknown;

  // Reads up to `size` bytes at the current position and advances it; *read < size only at the
  // end of the stream.
  virtual HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) = 0;
  // Writes at the current position, growing the stream as needed, and advances it.
  virtual HRESULT WriteAt(const void* buffer, ULONG size, ULONG* written) = 0;
};

}  // namespace korvane::winrt

enum FileAccessMode : DWORD { FileAccessMode_Read = 0, FileAccessMode_ReadWrite = 1 };

// A stream over a file (UTF-8 path). ReadWrite creates the file when it does not exist.
// Fails with HRESULT_FROM_WIN32 of the file error (2 for a missing file, 5 for access denied).
HRESULT CreateRandomAccessStreamOnFile(const char* path, FileAccessMode mode, REFIID iid, void** stream);

// A COM IStream over a random-access stream, sharing its position.
HRESULT CreateStreamOverRandomAccessStream(IUnknown* randomAccessStream, REFIID iid, void** stream);
