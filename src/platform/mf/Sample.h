// A media sample (MFCreateSample, and every sample the source reader delivers).
//
// Thread-safe: time, duration, flags and the buffer list are guarded by `mutex_`; no buffer is
// called while it is held.
#pragma once

#include "platform/mf/AttributesOn.h"

#include <optional>
#include <vector>

namespace korvane::mf {

class Sample final : public AttributesOn<IMFSample> {
 public:
  Sample() = default;

  HRESULT GetSampleFlags(DWORD* flags) override;
  HRESULT SetSampleFlags(DWORD flags) override;
  HRESULT GetSampleTime(LONGLONG* time) override;
  HRESULT SetSampleTime(LONGLONG time) override;
  HRESULT GetSampleDuration(LONGLONG* duration) override;
  HRESULT SetSampleDuration(LONGLONG duration) override;
  HRESULT GetBufferCount(DWORD* count) override;
  HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override;
  HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) override;
  HRESULT AddBuffer(IMFMediaBuffer* buffer) override;
  HRESULT RemoveBufferByIndex(DWORD index) override;
  HRESULT RemoveAllBuffers() override;
  HRESULT GetTotalLength(DWORD* length) override;
  HRESULT CopyToBuffer(IMFMediaBuffer* destination) override;

 private:
  std::vector<ComPtr<IMFMediaBuffer>> Buffers();

  std::mutex mutex_;
  // -- guarded by mutex_
  DWORD flags_ = 0;
  std::optional<LONGLONG> time_;
  std::optional<LONGLONG> duration_;
  std::vector<ComPtr<IMFMediaBuffer>> buffers_;
};

}  // namespace korvane::mf
