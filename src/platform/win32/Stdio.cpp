#include "platform/win32/Stdio.h"

#include "platform/win32/LastError.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

FILE* FailOpen(int error, const char* path) {
  SetLastError(korvane::win32::Win32ErrorForPath(error, path));
  errno = error;
  return nullptr;
}

}  // namespace

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
  return stream;
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
