#include "platform/win32/LastError.h"
#include "platform/win32/Stdio.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

namespace {

using korvane::test::TempFolder;

struct FileCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

TEST(StdioTest, Wfsopen_FailsWithErrnoAndLastError) {
  TempFolder folder;
  folder.MakeFolder("dir");
  const struct {
    const char* relative;
    const char* mode;
    int shflag;
    int error;
    DWORD lastError;
  } cases[] = {{"missing.tmp", "rb", _SH_DENYWR, ENOENT, ERROR_FILE_NOT_FOUND},
               {"missing/frame.tmp", "wb", _SH_DENYRW, ENOENT, ERROR_PATH_NOT_FOUND},
               {"dir", "rb", _SH_DENYWR, EACCES, ERROR_ACCESS_DENIED},
               {"dir", "wb", _SH_DENYRW, EACCES, ERROR_ACCESS_DENIED},
               {"frame.tmp", "wb", 0x11, EINVAL, ERROR_INVALID_PARAMETER}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.relative << " \"" << c.mode << "\" share " << c.shflag);
    errno = 0;
    SetLastError(0);
    UniqueFile stream(_wfsopen(folder.Path(c.relative).c_str(), c.mode, c.shflag));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(c.error, errno);
    EXPECT_EQ(c.lastError, GetLastError());
  }
}

}  // namespace
