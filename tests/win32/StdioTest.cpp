#include "platform/win32/LastError.h"
#include "platform/win32/Stdio.h"

#include "TempFolder.h"

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

class WfsopenShareTest : public ::testing::TestWithParam<int> {
 protected:
  TempFolder folder;
};

TEST_P(WfsopenShareTest, Wfsopen_WritesAndReadsBackWithEveryShareMode) {
  const std::string path = folder.Path("frame.tmp");
  const std::string bytes("\x01\x02\x00\xFF payload", 12);
  {
    UniqueFile out(_wfsopen(path.c_str(), "wb", GetParam()));
    ASSERT_NE(nullptr, out);
    ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), out.get()));
  }
  UniqueFile in(_wfsopen(path.c_str(), "rb", GetParam()));
  ASSERT_NE(nullptr, in);
  ASSERT_EQ(0, _fseeki64(in.get(), 0, SEEK_END));
  EXPECT_EQ(static_cast<int64_t>(bytes.size()), _ftelli64(in.get()));
  ASSERT_EQ(0, _fseeki64(in.get(), 0, SEEK_SET));
  std::string read(bytes.size(), '\0');
  ASSERT_EQ(bytes.size(), std::fread(read.data(), 1, read.size(), in.get()));
  EXPECT_EQ(bytes, read);
}

INSTANTIATE_TEST_SUITE_P(ShareModes, WfsopenShareTest,
                         ::testing::Values(_SH_DENYRW, _SH_DENYWR, _SH_DENYRD, _SH_DENYNO, _SH_SECURE));

struct OpenFailureCase {
  const char* relative;
  const char* mode;
  int shflag;
  int error;
  DWORD lastError;
};
void PrintTo(const OpenFailureCase& c, std::ostream* os) {
  *os << c.relative << " \"" << c.mode << "\" share " << c.shflag << " → errno " << c.error;
}

class WfsopenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {
 protected:
  void SetUp() override { folder.MakeFolder("dir"); }
  TempFolder folder;
};

TEST_P(WfsopenFailureTest, Wfsopen_FailsWithErrnoAndLastError) {
  const OpenFailureCase& c = GetParam();
  errno = 0;
  SetLastError(0);
  UniqueFile stream(_wfsopen(folder.Path(c.relative).c_str(), c.mode, c.shflag));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(c.error, errno);
  EXPECT_EQ(c.lastError, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WfsopenFailureTest,
    ::testing::Values(OpenFailureCase{"missing.tmp", "rb", _SH_DENYWR, ENOENT, ERROR_FILE_NOT_FOUND},
                      OpenFailureCase{"missing/frame.tmp", "wb", _SH_DENYRW, ENOENT, ERROR_PATH_NOT_FOUND},
                      OpenFailureCase{"dir", "rb", _SH_DENYWR, EACCES, ERROR_ACCESS_DENIED},
                      OpenFailureCase{"dir", "wb", _SH_DENYRW, EACCES, ERROR_ACCESS_DENIED},
                      OpenFailureCase{"frame.tmp", "wb", 0x11, EINVAL, ERROR_INVALID_PARAMETER}));

}  // namespace
