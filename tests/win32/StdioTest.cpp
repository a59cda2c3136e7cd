#include "platform/win32/LastError.h"
#include "platform/win32/Stdio.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>

namespace {

using korvane::test::TempFolder;

struct FileCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

TEST(StdioTest, Wfsopen_WritesAndReadsBackWithEveryShareMode) {
  TempFolder folder;
  const std::string bytes("\x01\x02\x00\xFF payload", 12);
  for (int share : {_SH_DENYRW, _SH_DENYWR, _SH_DENYRD, _SH_DENYNO, _SH_SECURE}) {
    SCOPED_TRACE(share);
    const std::string path = folder.Path("frame" + std::to_string(share) + ".tmp");
    {
      UniqueFile out(_wfsopen(path.c_str(), "wb", share));
      ASSERT_NE(nullptr, out);
      ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), out.get()));
    }
    UniqueFile in(_wfsopen(path.c_str(), "rb", share));
    ASSERT_NE(nullptr, in);
    ASSERT_EQ(0, _fseeki64(in.get(), 0, SEEK_END));
    EXPECT_EQ(static_cast<int64_t>(bytes.size()), _ftelli64(in.get()));
    ASSERT_EQ(0, _fseeki64(in.get(), 0, SEEK_SET));
    std::string read(bytes.size(), '\0');
    ASSERT_EQ(bytes.size(), std::fread(read.data(), 1, read.size(), in.get()));
    EXPECT_EQ(bytes, read);
  }
}

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

// The code the calls above leave is the calling thread's own.
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
