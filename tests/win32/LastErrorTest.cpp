#include "platform/win32/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

struct ErrnoCase {
  int error;
  DWORD code;
};
void PrintTo(const ErrnoCase& c, std::ostream* os) { *os << "errno " << c.error << " → " << c.code; }

class Win32ErrorFromErrnoTest : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(Win32ErrorFromErrnoTest, Map_GivesWin32Code) {
  EXPECT_EQ(GetParam().code, korvane::win32::Win32ErrorFromErrno(GetParam().error)) << "errno " << GetParam().error;
}

INSTANTIATE_TEST_SUITE_P(
    Errno, Win32ErrorFromErrnoTest,
    ::testing::Values(ErrnoCase{0, ERROR_SUCCESS}, ErrnoCase{ENOENT, ERROR_FILE_NOT_FOUND},
                      ErrnoCase{ENOTDIR, ERROR_PATH_NOT_FOUND}, ErrnoCase{EACCES, ERROR_ACCESS_DENIED},
                      ErrnoCase{EPERM, ERROR_ACCESS_DENIED}, ErrnoCase{EISDIR, ERROR_ACCESS_DENIED},
                      ErrnoCase{ENOTEMPTY, ERROR_DIR_NOT_EMPTY}, ErrnoCase{EEXIST, ERROR_ALREADY_EXISTS},
                      ErrnoCase{ENOSPC, ERROR_DISK_FULL}, ErrnoCase{EDQUOT, ERROR_DISK_FULL},
                      ErrnoCase{EMFILE, ERROR_TOO_MANY_OPEN_FILES}, ErrnoCase{ENFILE, ERROR_TOO_MANY_OPEN_FILES},
                      ErrnoCase{EBUSY, ERROR_BUSY}, ErrnoCase{ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
                      ErrnoCase{ELOOP, ERROR_CANT_RESOLVE_FILENAME}, ErrnoCase{EINVAL, ERROR_INVALID_PARAMETER},
                      ErrnoCase{EBADF, ERROR_INVALID_HANDLE}, ErrnoCase{ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                      ErrnoCase{EROFS, ERROR_WRITE_PROTECT}, ErrnoCase{EIO, ERROR_IO_DEVICE},
                      ErrnoCase{EDOM, ERROR_GEN_FAILURE}));

TEST(Win32ErrorForPathTest, Map_MissingFolderIsPathNotFound) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, korvane::win32::Win32ErrorForPath(ENOENT, "/tmp/korvane-surely-missing"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, korvane::win32::Win32ErrorForPath(ENOENT, "/korvane-surely-missing/file"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, korvane::win32::Win32ErrorForPath(ENOENT, ""));
  EXPECT_EQ(ERROR_ACCESS_DENIED, korvane::win32::Win32ErrorForPath(EACCES, "/korvane-surely-missing/file"));
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
