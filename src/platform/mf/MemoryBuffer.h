// A media buffer in ordinary memory (MFCreateMemoryBuffer, and the contiguous buffer a sample
// of several buffers is converted to).
//
// Thread-safe for its lengths; the bytes handed out by Lock are the caller's to synchronise,
// as on the original platform.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/mf/Mfobjects.h"

#include <mutex>
#include <vector>

namespace korvane::mf {

class MemoryBuffer final : public ComObject<IMFMediaBuffer> {
 public:
  explicit MemoryBuffer(DWORD maxLength);

  HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override;
  HRESULT Unlock() override;
  HRESULT GetCurrentLength(DWORD* length) override;
  // E_INVALIDARG beyond the max length.
  HRESULT SetCurrentLength(DWORD length) override;
  HRESULT GetMaxLength(DWORD* length) override;

 private:
  std::mutex mutex_;
  std::vector<BYTE> bytes_;  // size fixed at construction; its contents are not guarded
  DWORD currentLength_ = 0;  // guarded by mutex_
  int locks_ = 0;            // guarded by mutex_
};

}  // namespace korvane::mf
