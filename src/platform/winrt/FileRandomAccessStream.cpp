#include "platform/winrt/FileRandomAccessStream.h"

#include "platform/com/Boundary.h"
#include "platform/win32/LastError.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::winrt {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

namespace {

// Offsets are off_t; positions beyond its range can be sought to but hold no bytes.
constexpr UINT64 kMaxOffset = static_cast<UINT64>(std::numeric_limits<off_t>::max());

// errno as the HRESULT the original's file calls fail with (never a success code).
HRESULT HResultFromErrno(int error) {
  return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(korvane::win32::Win32ErrorFromErrno(error));
}

}  // namespace

class FileRandomAccessStream::FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  const int fd_;
};

ComPtr<FileRandomAccessStream> FileRandomAccessStream::Open(const char* path, FileAccessMode mode) {
  if (path == nullptr) ThrowHResult(E_INVALIDARG, "CreateRandomAccessStreamOnFile: null path");
  if (mode != FileAccessMode_Read && mode != FileAccessMode_ReadWrite)
    ThrowHResult(E_INVALIDARG, "CreateRandomAccessStreamOnFile: unknown access mode " + std::to_string(mode));
  const bool writable = mode == FileAccessMode_ReadWrite;
  const int flags = writable ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC);
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    // POSIX says ENOENT for a missing folder too; Windows tells the two apart.
    const HRESULT hr = HRESULT_FROM_WIN32(korvane::win32::Win32ErrorForPath(error, path));
    ThrowHResult(hr, std::string("cannot open '") + path + "'");
  }
  auto file = std::make_shared<FileHandle>(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) ThrowHResult(HResultFromErrno(errno), std::string("cannot stat '") + path + "'");
  // A folder opens fine for reading on Linux; Windows refuses it as a file.
  if (!S_ISREG(info.st_mode)) ThrowHResult(E_ACCESSDENIED, std::string("not a regular file: '") + path + "'");
  ComPtr<FileRandomAccessStream> stream;
  stream.Attach(new FileRandomAccessStream(std::move(file), writable));
  return stream;
}

FileRandomAccessStream::FileRandomAccessStream(std::shared_ptr<FileHandle> file, bool writable)
    : writable_(writable), file_(std::move(file)) {}

const char* FileRandomAccessStream::RuntimeClassNameText() const {
  return "Windows.Storage.Streams.FileRandomAccessStream";
}

HRESULT FileRandomAccessStream::get_Size(UINT64* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&]() -> HRESULT {
    struct stat info {};
    if (::fstat(file_->fd(), &info) != 0) return HResultFromErrno(errno);
    *value = static_cast<UINT64>(info.st_size);
    return S_OK;
  }, value);
}

HRESULT FileRandomAccessStream::put_Size(UINT64 value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&]() -> HRESULT {
    if (!writable_) return E_ACCESSDENIED;
    if (value > kMaxOffset) return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    int result;
    do {
      result = ::ftruncate(file_->fd(), static_cast<off_t>(value));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? S_OK : HResultFromErrno(errno);
  });
}

HRESULT FileRandomAccessStream::get_Position(UINT64* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&] { *value = position_; }, value);
}

HRESULT FileRandomAccessStream::Seek(UINT64 position) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&] { position_ = position; });
}

HRESULT FileRandomAccessStream::CloneStream(IRandomAccessStream** stream) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&] {
    ComPtr<FileRandomAccessStream> clone;
    clone.Attach(new FileRandomAccessStream(file_, writable_));
    *stream = clone.Detach();
  }, stream);
}

HRESULT FileRandomAccessStream::get_CanRead(BOOL* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&] { *value = TRUE; }, value);
}

HRESULT FileRandomAccessStream::get_CanWrite(BOOL* value) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&] { *value = writable_ ? TRUE : FALSE; }, value);
}

HRESULT FileRandomAccessStream::Close() {
  std::shared_ptr<FileHandle> released;  // the descriptor closes after the lock
  std::lock_guard lock(mutex_);
  released.swap(file_);
  return S_OK;
}

HRESULT FileRandomAccessStream::ReadAt(void* buffer, ULONG size, ULONG* read) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&]() -> HRESULT {
    if (buffer == nullptr && size != 0) return E_POINTER;
    ULONG total = 0;
    // pread may return fewer bytes than asked before the end (signals, pipes): loop until the
    // request is met or the file ends.
    while (total < size && position_ < kMaxOffset) {
      const auto chunk = static_cast<std::size_t>(std::min<UINT64>(size - total, kMaxOffset - position_));
      const ssize_t n = ::pread(file_->fd(), static_cast<uint8_t*>(buffer) + total, chunk, static_cast<off_t>(position_));
      if (n < 0) {
        if (errno == EINTR) continue;
        *read = total;
        return HResultFromErrno(errno);
      }
      if (n == 0) break;  // end of file
      total += static_cast<ULONG>(n);
      position_ += static_cast<UINT64>(n);
    }
    *read = total;
    return S_OK;
  }, read);
}

HRESULT FileRandomAccessStream::WriteAt(const void* buffer, ULONG size, ULONG* written) {
  std::lock_guard lock(mutex_);
  return CallBoundary(file_ == nullptr, [&]() -> HRESULT {
    if (!writable_) return E_ACCESSDENIED;
    if (buffer == nullptr && size != 0) return E_POINTER;
    if (position_ > kMaxOffset || size > kMaxOffset - position_) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    ULONG total = 0;
    while (total < size) {
      const ssize_t n = ::pwrite(file_->fd(), static_cast<const uint8_t*>(buffer) + total, size - total,
                                 static_cast<off_t>(position_));
      if (n < 0) {
        if (errno == EINTR) continue;
        *written = total;
        return HResultFromErrno(errno);
      }
      total += static_cast<ULONG>(n);
      position_ += static_cast<UINT64>(n);
    }
    *written = total;
    return S_OK;
  }, written);
}

}  // namespace korvane::winrt
