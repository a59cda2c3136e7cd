// A random-access stream over another one whose reads stop short of `failAt` bytes and fail
// from there on with kReadFault, as a file on a failing disk or a dropped network share does.
// Closable (closing closes the stream underneath), as the streams an application hands in are.
// Header-only, for the reader's and the front end's tests alike.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/RandomAccessStream.h"

#include <algorithm>

namespace korvane::test {

class FailingStream final
    : public RuntimeClass<korvane::com::kPlainRuntimeClass, ABI::Windows::Storage::Streams::IRandomAccessStream,
                          ABI::Windows::Foundation::IClosable, korvane::winrt::IRandomAccessStreamIo> {
 public:
  static constexpr HRESULT kReadFault = static_cast<HRESULT>(0x8007001E);  // HRESULT_FROM_WIN32(ERROR_READ_FAULT)

  FailingStream(ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> file, UINT64 failAt)
      : file_(std::move(file)), failAt_(failAt) {
    file_.As(&io_);
  }

  HRESULT get_Size(UINT64* value) override { return file_->get_Size(value); }
  HRESULT put_Size(UINT64) override { return E_NOTIMPL; }
  HRESULT get_Position(UINT64* value) override { return file_->get_Position(value); }
  HRESULT Seek(UINT64 position) override { return file_->Seek(position); }
  HRESULT CloneStream(ABI::Windows::Storage::Streams::IRandomAccessStream**) override { return E_NOTIMPL; }
  HRESULT get_CanRead(BOOL* value) override { return file_->get_CanRead(value); }
  HRESULT get_CanWrite(BOOL* value) override { return file_->get_CanWrite(value); }
  HRESULT Close() override {
    ComPtr<ABI::Windows::Foundation::IClosable> closable;
    return SUCCEEDED(file_.As(&closable)) ? closable->Close() : S_OK;
  }
  HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) override {
    UINT64 position = 0;
    if (const HRESULT hr = file_->get_Position(&position); FAILED(hr)) return hr;
    if (position >= failAt_) return kReadFault;
    return io_->ReadAt(buffer, static_cast<ULONG>(std::min<UINT64>(size, failAt_ - position)), read);
  }
  HRESULT WriteAt(const void*, ULONG, ULONG*) override { return E_ACCESSDENIED; }

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Testing.FailingStream"; }

 private:
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> file_;
  ComPtr<korvane::winrt::IRandomAccessStreamIo> io_;
  UINT64 failAt_;
};

}  // namespace korvane::test
