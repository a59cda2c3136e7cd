// A COM IStream for the imaging tests that keeps what is written to it, optionally starting
// with some bytes already in place, and can be told to refuse writes. Only Write works; the
// encoder needs nothing else.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/com/Stream.h"

#include <cstring>
#include <vector>

namespace korvane::testing {

class ByteSinkStream final : public ComObject<IStream> {
 public:
  explicit ByteSinkStream(std::vector<uint8_t> initial = {}, HRESULT writeResult = S_OK)
      : bytes_(std::move(initial)), writeResult_(writeResult) {}

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  int Writes() const { return writes_; }

  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    ++writes_;
    if (written != nullptr) *written = 0;
    if (FAILED(writeResult_)) return writeResult_;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    if (written != nullptr) *written = size;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

 private:
  std::vector<uint8_t> bytes_;
  HRESULT writeResult_;
  int writes_ = 0;
};

}  // namespace korvane::testing
