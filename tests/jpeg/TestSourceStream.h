// A read-only random-access stream for the encoder's tests. It counts the reads made through it
// and can hold its first get_Size call until the test lets it go (HoldSize / ReleaseSize), so
// that a test attaches its handlers before the encode gets anywhere; the hold gives up after a
// generous bound rather than hang a broken test.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/RandomAccessStream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace korvane::testing {

class TestSourceStream final
    : public RuntimeClass<com::kPlainRuntimeClass, ABI::Windows::Storage::Streams::IRandomAccessStream,
                          winrt::IRandomAccessStreamIo> {
 public:
  explicit TestSourceStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  void HoldSize() { Set(held_, true); }
  void ReleaseSize() {
    Set(held_, false);
    released_.notify_all();
  }
  int Reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }

  HRESULT get_Size(UINT64* value) override {
    std::unique_lock lock(mutex_);
    released_.wait_for(lock, std::chrono::seconds(60), [this] { return !held_; });
    *value = bytes_.size();
    return S_OK;
  }
  HRESULT get_Position(UINT64* value) override {
    std::lock_guard lock(mutex_);
    *value = position_;
    return S_OK;
  }
  HRESULT Seek(UINT64 position) override { return Set(position_, position); }
  HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    *read = static_cast<ULONG>(std::min<UINT64>(size, position_ < bytes_.size() ? bytes_.size() - position_ : 0));
    if (*read > 0) std::memcpy(buffer, bytes_.data() + position_, *read);
    position_ += *read;
    return S_OK;
  }
  HRESULT put_Size(UINT64) override { return E_ACCESSDENIED; }
  HRESULT CloneStream(IRandomAccessStream**) override { return E_NOTIMPL; }
  HRESULT get_CanRead(BOOL* value) override { return Set(*value, TRUE); }
  HRESULT get_CanWrite(BOOL* value) override { return Set(*value, FALSE); }
  HRESULT WriteAt(const void*, ULONG, ULONG*) override { return E_ACCESSDENIED; }

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Tests.TestSourceStream"; }

 private:
  template <class T, class V>
  HRESULT Set(T& field, V value) {
    std::lock_guard lock(mutex_);
    field = value;
    return S_OK;
  }

  std::mutex mutex_;
  std::condition_variable released_;
  // -- guarded by mutex_
  std::vector<uint8_t> bytes_;
  UINT64 position_ = 0;
  bool held_ = false;
  int reads_ = 0;
};

}  // namespace korvane::testing
