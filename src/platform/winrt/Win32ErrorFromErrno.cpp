#include "platform/winrt/Win32ErrorFromErrno.h"

#include <cerrno>

namespace korvane::winrt {

namespace {

constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorIoDevice = 1117;

}  // namespace

uint32_t Win32ErrorFromErrno(int error) noexcept {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:  // Windows refuses to open a folder as a file with "access denied"
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_BUSY;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG:
    case EOVERFLOW:
      return kErrorFileTooLarge;
    case EIO:
      return kErrorIoDevice;
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    default:
      return kErrorGenFailure;
  }
}

HRESULT HResultFromErrno(int error) noexcept {
  return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(Win32ErrorFromErrno(error));
}

}  // namespace korvane::winrt
