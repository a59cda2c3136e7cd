// The free functions declared in RandomAccessStream.h.
#include "platform/winrt/RandomAccessStream.h"

#include "platform/com/Exceptions.h"
#include "platform/winrt/FileRandomAccessStream.h"
#include "platform/winrt/StreamOverRandomAccessStream.h"

using korvane::winrt::FileRandomAccessStream;
using korvane::winrt::StreamOverRandomAccessStream;

HRESULT CreateRandomAccessStreamOnFile(const char* path, FileAccessMode mode, REFIID iid, void** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  try {
    ComPtr<FileRandomAccessStream> file = FileRandomAccessStream::Open(path, mode);
    return file->QueryInterface(iid, stream);
  } catch (...) {
    return HResultFromCurrentException();
  }
}

HRESULT CreateStreamOverRandomAccessStream(IUnknown* randomAccessStream, REFIID iid, void** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  ComPtr<StreamOverRandomAccessStream> wrapper;
  HRESULT hr = StreamOverRandomAccessStream::Create(randomAccessStream, wrapper);
  if (FAILED(hr)) return hr;
  return wrapper->QueryInterface(iid, stream);
}
