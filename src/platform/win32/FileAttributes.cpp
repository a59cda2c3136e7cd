#include "platform/win32/FileAttributes.h"

#include <cstdint>

namespace korvane::win32 {
namespace {

// Seconds from 1601-01-01 (the original's epoch) to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11'644'473'600;
constexpr int64_t kTicksPerSecond = 10'000'000;

FILETIME FileTimeFromTimespec(const timespec& time) {
  // Times before 1601 or too far ahead to count in 64 bits (no real file system stores either)
  // are clamped rather than allowed to overflow.
  constexpr int64_t kLastSecond = INT64_MAX / kTicksPerSecond - kEpochDifferenceSeconds - 1;
  const int64_t seconds = static_cast<int64_t>(time.tv_sec);
  if (seconds < -kEpochDifferenceSeconds) return FILETIME{0, 0};
  const int64_t ticks = seconds > kLastSecond
                            ? INT64_MAX
                            : (seconds + kEpochDifferenceSeconds) * kTicksPerSecond +
                                  static_cast<int64_t>(time.tv_nsec) / 100;
  const auto value = static_cast<uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

}  // namespace

DWORD AttributesFromStat(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return FILE_ATTRIBUTE_REPARSE_POINT;
  if (S_ISDIR(status.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = 0;
  if ((status.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

WIN32_FILE_ATTRIBUTE_DATA AttributeDataFromStat(const struct stat& status) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  data.dwFileAttributes = AttributesFromStat(status);
  data.ftCreationTime = FileTimeFromTimespec(status.st_ctim);
  data.ftLastAccessTime = FileTimeFromTimespec(status.st_atim);
  data.ftLastWriteTime = FileTimeFromTimespec(status.st_mtim);
  if (S_ISREG(status.st_mode)) {
    const auto size = static_cast<uint64_t>(status.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  return data;
}

}  // namespace korvane::win32
