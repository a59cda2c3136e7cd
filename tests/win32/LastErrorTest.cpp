#include "platform/win32/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

struct ErrnoCase {
  int error;
  DWORD code;
};

void PrintTo(const ErrnoCase& c, std::ostream* os) { *os << "errno " << c.error; }

class Win32ErrorFromErrnoTest : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(Win32ErrorFromErrnoTest, Map_GivesWin32Code) {
  EXPECT_EQ(GetParam().code, korvane::win32::Win32ErrorFromErrno(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Errno, Win32ErrorFromErrnoTest,
    ::testing::Values(ErrnoCase{ENOENT, ERROR_FILE_NOT_FOUND}, ErrnoCase{ENOTDIR, ERROR_PATH_NOT_FOUND},
                      ErrnoCase{EACCES, ERROR_ACCESS_DENIED}, ErrnoCase{EPERM, ERROR_ACCESS_DENIED},
                      ErrnoCase{ENOTEMPTY, ERROR_DIR_NOT_EMPTY}, ErrnoCase{EEXIST, ERROR_ALREADY_EXISTS},
                      ErrnoCase{ENOSPC, ERROR_DISK_FULL}, ErrnoCase{EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                      ErrnoCase{EBUSY, ERROR_BUSY}, ErrnoCase{ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
                      ErrnoCase{ELOOP, ERROR_CANT_RESOLVE_FILENAME}, ErrnoCase{EINVAL, ERROR_INVALID_PARAMETER},
                      ErrnoCase{EDOM, ERROR_GEN_FAILURE}));

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
