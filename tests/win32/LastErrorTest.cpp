#include "platform/win32/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

TEST(LastErrorTest, Win32ErrorFromErrno_GivesWin32Code) {
  const std::pair<int, DWORD> cases[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND},         {ENOTDIR, ERROR_PATH_NOT_FOUND},     {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED},           {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},    {EEXIST, ERROR_ALREADY_EXISTS},
      {ENOSPC, ERROR_DISK_FULL},              {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {EBUSY, ERROR_BUSY},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE}, {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
      {EINVAL, ERROR_INVALID_PARAMETER},      {EDOM, ERROR_GEN_FAILURE}};
  for (const auto& [error, code] : cases) {
    EXPECT_EQ(code, korvane::win32::Win32ErrorFromErrno(error)) << "errno " << error;
  }
}

TEST(LastErrorTest, SetLastError_IsPerThread) {
  SetLastError(ERROR_DIR_NOT_EMPTY);
  DWORD seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_DISK_FULL);
  });
  other.join();
  EXPECT_EQ(ERROR_SUCCESS, seenByOther);
  EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
}

}  // namespace
