#include "platform/mf/Sample.h"

#include "platform/mf/MemoryBuffer.h"
#include "platform/mf/TextureBytes.h"

#include <cstring>

namespace korvane::mf {

namespace {

// The software texture behind a DXGI buffer, or null for any other buffer.
ComPtr<d3d11::ISoftwareTexture> TextureOf(IMFMediaBuffer* buffer) {
  ComPtr<IMFDXGIBuffer> dxgi;
  ComPtr<d3d11::ISoftwareTexture> texture;
  if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&dxgi)))) dxgi->GetResource(IID_PPV_ARGS(&texture));
  return texture;
}

// Appends the current bytes of `buffer` at `out` (room for `room` bytes); the count copied.
HRESULT AppendBytes(IMFMediaBuffer* buffer, BYTE* out, DWORD room, DWORD* copied) {
  BYTE* bytes = nullptr;
  DWORD length = 0;
  HRESULT hr = buffer->Lock(&bytes, nullptr, &length);
  if (FAILED(hr)) return hr;
  if (length > room) {
    buffer->Unlock();
    return MF_E_BUFFERTOOSMALL;
  }
  std::memcpy(out, bytes, length);
  *copied = length;
  return buffer->Unlock();
}

}  // namespace

std::vector<ComPtr<IMFMediaBuffer>> Sample::Buffers() {
  std::lock_guard lock(mutex_);
  return buffers_;
}

HRESULT Sample::GetSampleFlags(DWORD* flags) {
  if (flags == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  *flags = flags_;
  return S_OK;
}

HRESULT Sample::SetSampleFlags(DWORD flags) {
  std::lock_guard lock(mutex_);
  flags_ = flags;
  return S_OK;
}

HRESULT Sample::GetSampleTime(LONGLONG* time) {
  if (time == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (!time_) return MF_E_NO_SAMPLE_TIMESTAMP;
  *time = *time_;
  return S_OK;
}

HRESULT Sample::SetSampleTime(LONGLONG time) {
  std::lock_guard lock(mutex_);
  time_ = time;
  return S_OK;
}

HRESULT Sample::GetSampleDuration(LONGLONG* duration) {
  if (duration == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (!duration_) return MF_E_NO_SAMPLE_DURATION;
  *duration = *duration_;
  return S_OK;
}

HRESULT Sample::SetSampleDuration(LONGLONG duration) {
  std::lock_guard lock(mutex_);
  duration_ = duration;
  return S_OK;
}

HRESULT Sample::GetBufferCount(DWORD* count) {
  if (count == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  *count = static_cast<DWORD>(buffers_.size());
  return S_OK;
}

HRESULT Sample::GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) {
  if (buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  std::lock_guard lock(mutex_);
  if (index >= buffers_.size()) return E_INVALIDARG;
  return buffers_[index].CopyTo(buffer);
}

HRESULT Sample::ConvertToContiguousBuffer(IMFMediaBuffer** buffer) {
  if (buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  std::vector<ComPtr<IMFMediaBuffer>> buffers = Buffers();
  if (buffers.empty()) return E_UNEXPECTED;
  if (buffers.size() == 1) return buffers.front().CopyTo(buffer);

  DWORD total = 0;
  for (const auto& b : buffers) {
    DWORD length = 0;
    HRESULT hr = b->GetCurrentLength(&length);
    if (FAILED(hr)) return hr;
    if (length > UINT32_MAX - total) return E_OUTOFMEMORY;
    total += length;
  }
  ComPtr<MemoryBuffer> joined = MakeComObject<MemoryBuffer>(total);
  BYTE* out = nullptr;
  joined->Lock(&out, nullptr, nullptr);
  DWORD offset = 0;
  HRESULT hr = S_OK;
  for (const auto& b : buffers) {
    DWORD copied = 0;
    hr = AppendBytes(b.Get(), out + offset, total - offset, &copied);
    if (FAILED(hr)) break;
    offset += copied;
  }
  joined->Unlock();
  if (FAILED(hr)) return hr;
  joined->SetCurrentLength(offset);
  {
    std::lock_guard lock(mutex_);
    buffers_.assign(1, joined);
  }
  *buffer = joined.Detach();
  return S_OK;
}

HRESULT Sample::AddBuffer(IMFMediaBuffer* buffer) {
  if (buffer == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  buffers_.emplace_back(buffer);
  return S_OK;
}

HRESULT Sample::RemoveBufferByIndex(DWORD index) {
  ComPtr<IMFMediaBuffer> removed;
  std::lock_guard lock(mutex_);
  if (index >= buffers_.size()) return E_INVALIDARG;
  removed = std::move(buffers_[index]);
  buffers_.erase(buffers_.begin() + index);
  return S_OK;
}

HRESULT Sample::RemoveAllBuffers() {
  std::vector<ComPtr<IMFMediaBuffer>> removed;
  std::lock_guard lock(mutex_);
  removed.swap(buffers_);
  return S_OK;
}

HRESULT Sample::GetTotalLength(DWORD* length) {
  if (length == nullptr) return E_POINTER;
  *length = 0;
  for (const auto& b : Buffers()) {
    DWORD one = 0;
    HRESULT hr = b->GetCurrentLength(&one);
    if (FAILED(hr)) return hr;
    *length += one;
  }
  return S_OK;
}

HRESULT Sample::CopyToBuffer(IMFMediaBuffer* destination) {
  if (destination == nullptr) return E_POINTER;
  std::vector<ComPtr<IMFMediaBuffer>> buffers = Buffers();
  if (buffers.size() == 1) {
    ComPtr<d3d11::ISoftwareTexture> from = TextureOf(buffers.front().Get());
    ComPtr<d3d11::ISoftwareTexture> to = TextureOf(destination);
    if (from && to) return CopyTexture(from.Get(), to.Get());
  }

  BYTE* out = nullptr;
  DWORD room = 0;
  HRESULT hr = destination->Lock(&out, &room, nullptr);
  if (FAILED(hr)) return hr;
  DWORD offset = 0;
  for (const auto& b : buffers) {
    DWORD copied = 0;
    hr = AppendBytes(b.Get(), out + offset, room - offset, &copied);
    if (FAILED(hr)) break;
    offset += copied;
  }
  HRESULT unlock = destination->Unlock();
  if (FAILED(hr)) return hr;
  if (FAILED(unlock)) return unlock;
  return destination->SetCurrentLength(offset);
}

}  // namespace korvane::mf
