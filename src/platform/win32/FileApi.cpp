#include "platform/win32/FileApi.h"

#include "platform/win32/FileAttributes.h"
#include "platform/win32/LastError.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using korvane::win32::FailWith;
using korvane::win32::FailWithErrno;

namespace {

// The original accepts "folder\" for a folder. POSIX resolves a final symbolic link when the path
// ends with a separator, so the separators are dropped before any call that must see the link
// itself rather than its target.
std::string WithoutTrailingSeparators(const char* path) {
  std::string text(path);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::mutex g_freeSpaceLock;
std::optional<uint64_t> g_freeSpaceForTesting;  // guarded by g_freeSpaceLock

}  // namespace

BOOL GetFileAttributesExW(const char* fileName, GET_FILEEX_INFO_LEVELS level, void* fileInformation) {
  if (fileName == nullptr || fileInformation == nullptr || level != GetFileExInfoStandard)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (*fileName == '\0') return FailWith(ERROR_PATH_NOT_FOUND);
  const std::string path = WithoutTrailingSeparators(fileName);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return FailWithErrno(errno, fileName);
  // "file/" names no folder: the original fails it as a bad path, as stat() would with ENOTDIR.
  if (path.size() != std::char_traits<char>::length(fileName) && !S_ISDIR(status.st_mode) &&
      !S_ISLNK(status.st_mode))
    return FailWith(ERROR_PATH_NOT_FOUND);
  *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(fileInformation) = korvane::win32::AttributeDataFromStat(status);
  return TRUE;
}

BOOL CreateDirectoryW(const char* pathName, SECURITY_ATTRIBUTES* /*securityAttributes*/) {
  if (pathName == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (*pathName == '\0') return FailWith(ERROR_PATH_NOT_FOUND);
  if (::mkdir(pathName, 0777) != 0) {
    // mkdir only reports ENOENT for a missing parent: the new name itself cannot be "missing".
    const int error = errno;
    return FailWith(error == ENOENT ? ERROR_PATH_NOT_FOUND : korvane::win32::Win32ErrorFromErrno(error));
  }
  return TRUE;
}

BOOL DeleteFileW(const char* fileName) {
  if (fileName == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (*fileName == '\0') return FailWith(ERROR_PATH_NOT_FOUND);
  // unlink never follows a final link and never removes a folder (EISDIR → access denied, as the
  // original answers DeleteFile on a folder).
  if (::unlink(fileName) != 0) return FailWithErrno(errno, fileName);
  return TRUE;
}

BOOL RemoveDirectoryW(const char* pathName) {
  if (pathName == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (*pathName == '\0') return FailWith(ERROR_PATH_NOT_FOUND);
  const std::string path = WithoutTrailingSeparators(pathName);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return FailWithErrno(errno, pathName);
  if (S_ISLNK(status.st_mode)) {
    // A link to a folder is a "directory link" on the original and goes away as a link; rmdir
    // would refuse it (ENOTDIR) and must never be pointed at its target.
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) return FailWith(ERROR_DIRECTORY);
    if (::unlink(path.c_str()) != 0) return FailWithErrno(errno, pathName);
    return TRUE;
  }
  if (!S_ISDIR(status.st_mode)) return FailWith(ERROR_DIRECTORY);
  if (::rmdir(path.c_str()) != 0) {
    // POSIX allows either code for a folder that still has entries.
    const int error = errno;
    return FailWith(error == ENOTEMPTY || error == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                          : korvane::win32::Win32ErrorForPath(error, pathName));
  }
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(const char* directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes) {
  const char* path = directoryName == nullptr ? "." : directoryName;
  if (*path == '\0') return FailWith(ERROR_PATH_NOT_FOUND);
  struct statvfs volume {};
  if (::statvfs(path, &volume) != 0) return FailWithErrno(errno, path);
  const uint64_t unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
  uint64_t available = static_cast<uint64_t>(volume.f_bavail) * unit;
  uint64_t free = static_cast<uint64_t>(volume.f_bfree) * unit;
  const uint64_t total = static_cast<uint64_t>(volume.f_blocks) * unit;
  {
    std::lock_guard<std::mutex> lock(g_freeSpaceLock);
    if (g_freeSpaceForTesting) available = free = *g_freeSpaceForTesting;
  }
  if (freeBytesAvailableToCaller != nullptr) freeBytesAvailableToCaller->QuadPart = available;
  if (totalNumberOfBytes != nullptr) totalNumberOfBytes->QuadPart = total;
  if (totalNumberOfFreeBytes != nullptr) totalNumberOfFreeBytes->QuadPart = free;
  return TRUE;
}

void SetDiskFreeSpaceForTesting(std::optional<uint64_t> freeBytes) {
  std::lock_guard<std::mutex> lock(g_freeSpaceLock);
  g_freeSpaceForTesting = freeBytes;
}
