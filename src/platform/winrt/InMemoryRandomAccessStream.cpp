#include "platform/winrt/InMemoryRandomAccessStream.h"

#include "platform/com/Boundary.h"
#include "platform/winrt/Activation.h"

#include <algorithm>
#include <cstring>

namespace korvane::winrt {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

InMemoryRandomAccessStream::InMemoryRandomAccessStream() : bytes_(std::make_shared<Bytes>()) {}

InMemoryRandomAccessStream::InMemoryRandomAccessStream(std::shared_ptr<Bytes> bytes) : bytes_(std::move(bytes)) {}

const char* InMemoryRandomAccessStream::RuntimeClassNameText() const { return kInMemoryRandomAccessStreamClassName; }

HRESULT InMemoryRandomAccessStream::get_Size(UINT64* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] {
    std::lock_guard bytesLock(bytes_->mutex);
    *value = bytes_->data.size();
  }, value);
}

HRESULT InMemoryRandomAccessStream::put_Size(UINT64 value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&]() -> HRESULT {
    if (value > kMaxSize) return E_OUTOFMEMORY;
    std::lock_guard bytesLock(bytes_->mutex);
    bytes_->data.resize(static_cast<std::size_t>(value));
    return S_OK;
  });
}

HRESULT InMemoryRandomAccessStream::get_Position(UINT64* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] { *value = position_; }, value);
}

HRESULT InMemoryRandomAccessStream::Seek(UINT64 position) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] { position_ = position; });
}

HRESULT InMemoryRandomAccessStream::CloneStream(IRandomAccessStream** stream) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] {
    ComPtr<InMemoryRandomAccessStream> clone;
    clone.Attach(new InMemoryRandomAccessStream(bytes_));
    *stream = clone.Detach();
  }, stream);
}

HRESULT InMemoryRandomAccessStream::get_CanRead(BOOL* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] { *value = TRUE; }, value);
}

HRESULT InMemoryRandomAccessStream::get_CanWrite(BOOL* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&] { *value = TRUE; }, value);
}

HRESULT InMemoryRandomAccessStream::Close() {
  std::shared_ptr<Bytes> released;  // freed after the lock
  std::lock_guard lock(mutex_);
  released.swap(bytes_);
  return S_OK;
}

HRESULT InMemoryRandomAccessStream::ReadAt(void* buffer, ULONG size, ULONG* read) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&]() -> HRESULT {
    if (buffer == nullptr && size != 0) return E_POINTER;
    std::lock_guard bytesLock(bytes_->mutex);
    const std::vector<uint8_t>& data = bytes_->data;
    if (position_ >= data.size()) return S_OK;  // at or past the end: nothing to read
    const auto count = static_cast<ULONG>(std::min<UINT64>(size, data.size() - position_));
    if (count != 0) std::memcpy(buffer, data.data() + position_, count);
    position_ += count;
    *read = count;
    return S_OK;
  }, read);
}

HRESULT InMemoryRandomAccessStream::WriteAt(const void* buffer, ULONG size, ULONG* written) {
  std::lock_guard lock(mutex_);
  return CallBoundary(bytes_ == nullptr, [&]() -> HRESULT {
    if (buffer == nullptr && size != 0) return E_POINTER;
    if (size == 0) return S_OK;
    if (position_ > kMaxSize || size > kMaxSize - position_) return E_OUTOFMEMORY;
    const UINT64 end = position_ + size;
    std::lock_guard bytesLock(bytes_->mutex);
    std::vector<uint8_t>& data = bytes_->data;
    if (end > data.size()) data.resize(static_cast<std::size_t>(end));  // zero-fills a gap
    std::memcpy(data.data() + position_, buffer, size);
    position_ = end;
    *written = size;
    return S_OK;
  }, written);
}

}  // namespace korvane::winrt
