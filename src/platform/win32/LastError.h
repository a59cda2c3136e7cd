// The calling thread's last Win32 error, and how POSIX errno values become Win32 codes.
//
// Every call in this folder that fails sets the last error of the calling thread before it
// returns, as its original does; a call that succeeds leaves it alone unless its original is
// documented to clear it. The value is per thread, so concurrent callers never see each other's.
#pragma once

#include "platform/win32/Win32Types.h"

DWORD GetLastError();
void SetLastError(DWORD error);

namespace korvane::win32 {

// The Win32 code that stands for a POSIX errno value in general:
//   ENOENT→2 ERROR_FILE_NOT_FOUND, ENOTDIR→3 ERROR_PATH_NOT_FOUND, EMFILE/ENFILE→4,
//   EACCES/EPERM/EISDIR→5 ERROR_ACCESS_DENIED, EBADF→6, ENOMEM→8, EROFS→19, EXDEV→17,
//   ETXTBSY→32, ENOSYS/EOPNOTSUPP→50, EEXIST→183 ERROR_ALREADY_EXISTS, EINVAL→87,
//   ENOSPC/EDQUOT/EFBIG→112 ERROR_DISK_FULL, ENOTEMPTY→145 ERROR_DIR_NOT_EMPTY, EBUSY→170,
//   ENAMETOOLONG→206, ELOOP→1921 ERROR_CANT_RESOLVE_FILENAME, EIO→1117; 0→0;
//   anything else → 31 ERROR_GEN_FAILURE.
DWORD Win32ErrorFromErrno(int error);

// As Win32ErrorFromErrno, refined for a failure on `path` the way the original tells a missing
// file from a missing folder: ENOENT becomes 3 ERROR_PATH_NOT_FOUND when the folder that should
// hold `path` is itself missing or not a folder, and stays 2 ERROR_FILE_NOT_FOUND otherwise.
DWORD Win32ErrorForPath(int error, const char* path);

// Sets the thread's last error from `error` (as Win32ErrorForPath) and returns FALSE, so a failing
// call can end with `return FailWithErrno(errno, path);`.
BOOL FailWithErrno(int error, const char* path);
// Sets the thread's last error to `code` and returns FALSE.
BOOL FailWith(DWORD code);

}  // namespace korvane::win32
