#include "platform/win32/LastError.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

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
