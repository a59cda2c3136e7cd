#include "platform/mf/MemoryBuffer.h"

namespace korvane::mf {

MemoryBuffer::MemoryBuffer(DWORD maxLength) : bytes_(maxLength) {}

HRESULT MemoryBuffer::Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) {
  if (buffer == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  ++locks_;
  *buffer = bytes_.data();
  if (maxLength != nullptr) *maxLength = static_cast<DWORD>(bytes_.size());
  if (currentLength != nullptr) *currentLength = currentLength_;
  return S_OK;
}

HRESULT MemoryBuffer::Unlock() {
  std::lock_guard lock(mutex_);
  if (locks_ == 0) return E_UNEXPECTED;  // unbalanced Unlock
  --locks_;
  return S_OK;
}

HRESULT MemoryBuffer::GetCurrentLength(DWORD* length) {
  if (length == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  *length = currentLength_;
  return S_OK;
}

HRESULT MemoryBuffer::SetCurrentLength(DWORD length) {
  if (length > bytes_.size()) return E_INVALIDARG;
  std::lock_guard lock(mutex_);
  currentLength_ = length;
  return S_OK;
}

HRESULT MemoryBuffer::GetMaxLength(DWORD* length) {
  if (length == nullptr) return E_POINTER;
  *length = static_cast<DWORD>(bytes_.size());
  return S_OK;
}

}  // namespace korvane::mf
