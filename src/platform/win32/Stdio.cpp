#include "platform/win32/Stdio.h"

#include "platform/win32/LastError.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

FILE* FailOpen(int error, const char* path) {
  SetLastError(korvane::win32::Win32ErrorForPath(error, path));
  errno = error;
  return nullptr;
}

std::mutex g_writeLimitLock;
std::optional<uint64_t> g_writeRoomForTesting;  // guarded by g_writeLimitLock

// The stream a writer gets while a disk write limit is set: glibc's custom stream over the real
// one, whose writes draw on the shared room.
ssize_t LimitedWrite(void* cookie, const char* data, size_t size) {
  size_t allowed = size;
  {
    std::lock_guard<std::mutex> lock(g_writeLimitLock);
    if (g_writeRoomForTesting) {
      allowed = static_cast<size_t>(std::min<uint64_t>(size, *g_writeRoomForTesting));
      *g_writeRoomForTesting -= allowed;
    }
  }
  const size_t written = allowed == 0 ? 0 : std::fwrite(data, 1, allowed, static_cast<FILE*>(cookie));
  if (written < size && allowed < size) errno = ENOSPC;
  // A custom stream's writer reports an error as 0 bytes written, never as a negative count.
  return static_cast<ssize_t>(written);
}
ssize_t LimitedRead(void* cookie, char* data, size_t size) {
  const size_t read = std::fread(data, 1, size, static_cast<FILE*>(cookie));
  return read == 0 && std::ferror(static_cast<FILE*>(cookie)) ? -1 : static_cast<ssize_t>(read);
}
int LimitedSeek(void* cookie, off64_t* offset, int origin) {
  FILE* file = static_cast<FILE*>(cookie);
  if (::fseeko(file, static_cast<off_t>(*offset), origin) != 0) return -1;
  *offset = ::ftello(file);
  return *offset < 0 ? -1 : 0;
}
int LimitedClose(void* cookie) {
  // Data still buffered in the real stream may meet a full disk of its own only here.
  return std::fclose(static_cast<FILE*>(cookie)) == 0 ? 0 : EOF;
}

FILE* WithWriteLimit(FILE* stream, const char* mode) {
  {
    std::lock_guard<std::mutex> lock(g_writeLimitLock);
    if (!g_writeRoomForTesting) return stream;
  }
  const std::string text(mode);
  if (text.find_first_of("wa+") == std::string::npos) return stream;
  const cookie_io_functions_t functions{LimitedRead, LimitedWrite, LimitedSeek, LimitedClose};
  std::string cookieMode;
  for (char c : text) {
    if (c == ',') break;
    if (c != 'e') cookieMode += c;
  }
  FILE* limited = ::fopencookie(stream, cookieMode.c_str(), functions);
  if (limited == nullptr) std::fclose(stream);
  return limited;
}

}  // namespace

void SetDiskWriteLimitForTesting(std::optional<uint64_t> bytes) {
  std::lock_guard<std::mutex> lock(g_writeLimitLock);
  g_writeRoomForTesting = bytes;
}

FILE* _wfsopen(const char* filename, const char* mode, int shflag) {
  if (filename == nullptr || mode == nullptr) return FailOpen(EINVAL, nullptr);
  switch (shflag) {
    case _SH_DENYRW:
    case _SH_DENYWR:
    case _SH_DENYRD:
    case _SH_DENYNO:
    case _SH_SECURE: break;
    default: return FailOpen(EINVAL, nullptr);
  }
  // Close-on-exec, so that a child process started elsewhere never inherits a cache file. Flag
  // characters go before any ",ccs=" suffix the original's modes may carry.
  std::string openMode(mode);
  const size_t suffix = openMode.find(',');
  openMode.insert(suffix == std::string::npos ? openMode.size() : suffix, 1, 'e');
  FILE* stream = std::fopen(filename, openMode.c_str());
  // The original refuses a folder with EACCES whatever the mode: fopen says EISDIR when writing
  // and happily opens it when reading.
  if (stream == nullptr) return FailOpen(errno == EISDIR ? EACCES : errno, filename);
  struct stat status {};
  if (::fstat(::fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(stream);
    return FailOpen(EACCES, filename);
  }
  return WithWriteLimit(stream, mode);
}

int _fseeki64(FILE* stream, int64_t offset, int origin) {
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return ::fseeko(stream, static_cast<off_t>(offset), origin);
}

int64_t _ftelli64(FILE* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int64_t>(::ftello(stream));
}
