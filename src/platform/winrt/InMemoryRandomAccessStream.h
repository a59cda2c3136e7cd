// InMemoryRandomAccessStream: a growable random-access stream in memory
// ("Windows.Storage.Streams.InMemoryRandomAccessStream").
//
// Contract:
// - Answers IRandomAccessStream, IClosable and IRandomAccessStreamIo. Starts empty, readable
//   and writable, at position 0.
// - CloneStream gives a stream over the same bytes with its own position (starting at 0, as
//   the runtime's clone does); writes through either are seen by both. The bytes live as long
//   as any stream over them is open.
// - Seeking past the end is allowed: reads there return 0 bytes; a write there fills the gap
//   with zeros. put_Size truncates or zero-extends without moving the position.
// - The content is limited to kMaxSize bytes; a write or put_Size beyond fails with
//   E_OUTOFMEMORY and changes nothing.
// - After Close every call fails with RO_E_CLOSED (Close itself succeeds again); clones stay
//   open.
// - Thread-safe: any method from any thread. Each stream's mutex guards its position and
//   closed flag; the shared bytes have their own mutex, always taken after a stream's.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/RandomAccessStream.h"

#include <memory>
#include <mutex>
#include <vector>

namespace korvane::winrt {

class InMemoryRandomAccessStream final
    : public RuntimeClass<com::kPlainRuntimeClass, ABI::Windows::Storage::Streams::IRandomAccessStream,
                          ABI::Windows::Foundation::IClosable, IRandomAccessStreamIo> {
 public:
  static constexpr UINT64 kMaxSize = UINT64{1} << 32;

  InMemoryRandomAccessStream();

  // IRandomAccessStream
  HRESULT get_Size(UINT64* value) override;
  HRESULT put_Size(UINT64 value) override;
  HRESULT get_Position(UINT64* value) override;
  HRESULT Seek(UINT64 position) override;
  HRESULT CloneStream(ABI::Windows::Storage::Streams::IRandomAccessStream** stream) override;
  HRESULT get_CanRead(BOOL* value) override;
  HRESULT get_CanWrite(BOOL* value) override;

  // IClosable
  HRESULT Close() override;

  // IRandomAccessStreamIo
  HRESULT ReadAt(void* buffer, ULONG size, ULONG* read) override;
  HRESULT WriteAt(const void* buffer, ULONG size, ULONG* written) override;

 protected:
  const char* RuntimeClassNameText() const override;

 private:
  struct Bytes {
    std::mutex mutex;
    std::vector<uint8_t> data;  // guarded by mutex
  };

  explicit InMemoryRandomAccessStream(std::shared_ptr<Bytes> bytes);

  std::mutex mutex_;
  // -- guarded by mutex_
  std::shared_ptr<Bytes> bytes_;  // null once closed
  UINT64 position_ = 0;
};

}  // namespace korvane::winrt
