#include "platform/win32/FileApi.h"
#include "platform/win32/LastError.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using korvane::test::TempFolder;

// The kinds of entry a folder can hold, set up inside a TempFolder by name:
//   file.txt (4 bytes), dir/, dir/inner.txt, link-to-dir -> outside/, link-to-file -> outside/target.txt
class FileApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.WriteFile("file.txt", "data");
    folder.MakeFolder("dir");
    folder.WriteFile("dir/inner.txt");
    outside.WriteFile("target.txt", "target");
    folder.MakeLink("link-to-dir", outside.Root());
    folder.MakeLink("link-to-file", outside.Root() / "target.txt");
  }

  TempFolder folder;
  TempFolder outside;
};

struct AttributeCase {
  const char* relative;
  bool trailingSlash;
  DWORD attributes;
};
void PrintTo(const AttributeCase& c, std::ostream* os) { *os << c.relative << (c.trailingSlash ? "/" : ""); }

class GetFileAttributesTest : public FileApiTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(GetFileAttributesTest, GetFileAttributesExW_ReportsKindWithoutFollowingLinks) {
  const AttributeCase& c = GetParam();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(folder.Path(c.relative, c.trailingSlash).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(c.attributes, data.dwFileAttributes);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GetFileAttributesTest,
                         ::testing::Values(AttributeCase{"file.txt", false, FILE_ATTRIBUTE_NORMAL},
                                           AttributeCase{"dir", false, FILE_ATTRIBUTE_DIRECTORY},
                                           AttributeCase{"dir", true, FILE_ATTRIBUTE_DIRECTORY},
                                           AttributeCase{"link-to-dir", false, FILE_ATTRIBUTE_REPARSE_POINT},
                                           AttributeCase{"link-to-dir", true, FILE_ATTRIBUTE_REPARSE_POINT},
                                           AttributeCase{"link-to-file", false, FILE_ATTRIBUTE_REPARSE_POINT}));

TEST_F(FileApiTest, GetFileAttributesExW_ReportsSizeAndWriteTime) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(folder.Path("file.txt").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_EQ(4u, data.nFileSizeLow);
  // After 2020-01-01 in 100 ns units since 1601: the epoch shift is applied.
  const uint64_t written = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  EXPECT_GT(written, 132'223'104'000'000'000ull);
}

struct FailureCase {
  const char* relative;
  DWORD error;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.relative << " → " << c.error; }

class MissingPathTest : public FileApiTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MissingPathTest, GetFileAttributesExW_TellsMissingFileFromMissingFolder) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  SetLastError(0);
  EXPECT_FALSE(GetFileAttributesExW(folder.Path(GetParam().relative).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(GetParam().error, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(Paths, MissingPathTest,
                         ::testing::Values(FailureCase{"missing.txt", ERROR_FILE_NOT_FOUND},
                                           FailureCase{"missing/file.txt", ERROR_PATH_NOT_FOUND},
                                           FailureCase{"file.txt/inner", ERROR_PATH_NOT_FOUND},
                                           FailureCase{"file.txt/", ERROR_PATH_NOT_FOUND}));

TEST_F(FileApiTest, GetFileAttributesExW_RefusesBadArguments) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_FALSE(GetFileAttributesExW(nullptr, GetFileExInfoStandard, &data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(GetFileAttributesExW(folder.Path().c_str(), GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(GetFileAttributesExW("", GetFileExInfoStandard, &data));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(FileApiTest, CreateDirectoryW_CreatesOnceThenReportsExisting) {
  const std::string path = folder.Path("new", true);
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(folder.Root() / "new"));
  EXPECT_FALSE(CreateDirectoryW(path.c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_FALSE(CreateDirectoryW(folder.Path("file.txt").c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
}

TEST_F(FileApiTest, CreateDirectoryW_MissingParentGivesPathNotFound) {
  EXPECT_FALSE(CreateDirectoryW(folder.Path("missing/new").c_str(), nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_FALSE(folder.Exists("missing"));
}

TEST_F(FileApiTest, DeleteFileW_RemovesFile) {
  ASSERT_TRUE(DeleteFileW(folder.Path("file.txt").c_str()));
  EXPECT_FALSE(folder.Exists("file.txt"));
  EXPECT_FALSE(DeleteFileW(folder.Path("file.txt").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(FileApiTest, DeleteFileW_RemovesLinksNotTargets) {
  ASSERT_TRUE(DeleteFileW(folder.Path("link-to-file").c_str()));
  ASSERT_TRUE(DeleteFileW(folder.Path("link-to-dir").c_str()));
  EXPECT_FALSE(folder.Exists("link-to-file"));
  EXPECT_FALSE(folder.Exists("link-to-dir"));
  EXPECT_TRUE(outside.Exists("target.txt"));
}

TEST_F(FileApiTest, DeleteFileW_FolderIsAccessDenied) {
  EXPECT_FALSE(DeleteFileW(folder.Path("dir").c_str()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(folder.Exists("dir/inner.txt"));
}

TEST_F(FileApiTest, RemoveDirectoryW_RemovesEmptyFolderOnly) {
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("dir", true).c_str()));
  EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
  ASSERT_TRUE(DeleteFileW(folder.Path("dir/inner.txt").c_str()));
  ASSERT_TRUE(RemoveDirectoryW(folder.Path("dir", true).c_str()));
  EXPECT_FALSE(folder.Exists("dir"));
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("dir").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(FileApiTest, RemoveDirectoryW_FolderLinkGoesAsLink) {
  ASSERT_TRUE(RemoveDirectoryW(folder.Path("link-to-dir", true).c_str()));
  EXPECT_FALSE(folder.Exists("link-to-dir"));
  EXPECT_TRUE(outside.Exists("target.txt"));
}

TEST_F(FileApiTest, RemoveDirectoryW_FileOrFileLinkIsNotAFolder) {
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("file.txt").c_str()));
  EXPECT_EQ(ERROR_DIRECTORY, GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("link-to-file").c_str()));
  EXPECT_EQ(ERROR_DIRECTORY, GetLastError());
  EXPECT_TRUE(folder.Exists("file.txt"));
  EXPECT_TRUE(folder.Exists("link-to-file"));
}

// Reads a whole listing: each entry's name and attributes, in listing order.
std::vector<std::pair<std::string, DWORD>> List(const std::string& search, DWORD flags = 0) {
  std::vector<std::pair<std::string, DWORD>> entries;
  WIN32_FIND_DATAW data{};
  HANDLE listing = FindFirstFileExW(search.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, flags);
  if (listing == INVALID_HANDLE_VALUE) return entries;
  do {
    entries.emplace_back(data.cFileName, data.dwFileAttributes);
  } while (FindNextFileW(listing, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(listing));
  return entries;
}

TEST_F(FileApiTest, FindFirstFileExW_ListsDotEntriesAndNamesInOrder) {
  folder.WriteFile("B.txt");
  folder.WriteFile("a.txt");
  const std::vector<std::pair<std::string, DWORD>> expected{
      {".", FILE_ATTRIBUTE_DIRECTORY},          {"..", FILE_ATTRIBUTE_DIRECTORY},
      {"a.txt", FILE_ATTRIBUTE_NORMAL},         {"B.txt", FILE_ATTRIBUTE_NORMAL},
      {"dir", FILE_ATTRIBUTE_DIRECTORY},        {"file.txt", FILE_ATTRIBUTE_NORMAL},
      {"link-to-dir", FILE_ATTRIBUTE_REPARSE_POINT}, {"link-to-file", FILE_ATTRIBUTE_REPARSE_POINT}};
  EXPECT_EQ(expected, List(folder.Path("*", false)));
}

TEST_F(FileApiTest, FindFirstFileExW_AppliesPatternToNames) {
  folder.WriteFile("A.TXT");
  const std::vector<std::pair<std::string, DWORD>> expected{{"A.TXT", FILE_ATTRIBUTE_NORMAL},
                                                            {"file.txt", FILE_ATTRIBUTE_NORMAL}};
  EXPECT_EQ(expected, List(folder.Path("*.txt")));
  const std::vector<std::pair<std::string, DWORD>> sensitive{{"file.txt", FILE_ATTRIBUTE_NORMAL}};
  EXPECT_EQ(sensitive, List(folder.Path("*.txt"), FIND_FIRST_EX_CASE_SENSITIVE));
}

TEST_F(FileApiTest, FindFirstFileExW_LinkEntryCarriesSymlinkTag) {
  WIN32_FIND_DATAW data{};
  HANDLE listing = FindFirstFileExW(folder.Path("link-to-dir").c_str(), FindExInfoBasic, &data,
                                    FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, listing);
  EXPECT_STREQ("link-to-dir", data.cFileName);
  EXPECT_EQ(IO_REPARSE_TAG_SYMLINK, data.dwReserved0);
  EXPECT_FALSE(FindNextFileW(listing, &data));
  EXPECT_TRUE(FindClose(listing));
}

struct FindFailureCase {
  const char* search;  // inside the TempFolder
  DWORD error;
};
void PrintTo(const FindFailureCase& c, std::ostream* os) { *os << c.search << " → " << c.error; }

class FindFailureTest : public FileApiTest, public ::testing::WithParamInterface<FindFailureCase> {};

TEST_P(FindFailureTest, FindFirstFileExW_FailsWithOriginalCode) {
  WIN32_FIND_DATAW data{};
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileExW(folder.Path(GetParam().search).c_str(), FindExInfoStandard,
                                                   &data, FindExSearchNameMatch, nullptr, 0));
  EXPECT_EQ(GetParam().error, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(Searches, FindFailureTest,
                         ::testing::Values(FindFailureCase{"*.tmp", ERROR_FILE_NOT_FOUND},
                                           FindFailureCase{"dir/", ERROR_FILE_NOT_FOUND},
                                           FindFailureCase{"missing/*", ERROR_PATH_NOT_FOUND},
                                           FindFailureCase{"file.txt/*", ERROR_PATH_NOT_FOUND}));

TEST_F(FileApiTest, FindFirstFileExW_RefusesBadArguments) {
  WIN32_FIND_DATAW data{};
  const std::string search = folder.Path("*");
  int filter = 0;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileExW(search.c_str(), FindExInfoStandard, &data,
                                                   FindExSearchNameMatch, &filter, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileExW(search.c_str(), FindExInfoStandard, &data,
                                                   FindExSearchLimitToDevices, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileExW(search.c_str(), FindExInfoStandard, &data,
                                                   FindExSearchNameMatch, nullptr, 0x100));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileExW(folder.Path(std::string(256, 'x')).c_str(), FindExInfoStandard,
                                                   &data, FindExSearchNameMatch, nullptr, 0));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, GetLastError());
}

TEST_F(FileApiTest, FindNextFileW_SkipsEntriesDeletedMeanwhile) {
  WIN32_FIND_DATAW data{};
  HANDLE listing = FindFirstFileExW(folder.Path("*.txt").c_str(), FindExInfoStandard, &data,
                                    FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, listing);
  folder.WriteFile("late.txt");  // after the snapshot: not listed
  EXPECT_STREQ("file.txt", data.cFileName);
  EXPECT_FALSE(FindNextFileW(listing, &data));
  EXPECT_TRUE(FindClose(listing));

  folder.WriteFile("z.txt");
  listing = FindFirstFileExW(folder.Path("*.txt").c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                             nullptr, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, listing);
  EXPECT_STREQ("file.txt", data.cFileName);
  std::filesystem::remove(folder.Root() / "late.txt");
  ASSERT_TRUE(FindNextFileW(listing, &data));
  EXPECT_STREQ("z.txt", data.cFileName);
  EXPECT_TRUE(FindClose(listing));
}

TEST_F(FileApiTest, FindClose_StaleHandleIsRefused) {
  WIN32_FIND_DATAW data{};
  HANDLE listing = FindFirstFileExW(folder.Path("*").c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                                    nullptr, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, listing);
  ASSERT_TRUE(FindClose(listing));
  EXPECT_FALSE(FindClose(listing));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(FindNextFileW(listing, &data));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

class DiskFreeSpaceTest : public FileApiTest {
 protected:
  void TearDown() override { SetDiskFreeSpaceForTesting(std::nullopt); }
};

TEST_F(DiskFreeSpaceTest, GetDiskFreeSpaceExW_ReportsConsistentFigures) {
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path("", true).c_str(), &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), nullptr, nullptr, nullptr));
}

TEST_F(DiskFreeSpaceTest, SetDiskFreeSpaceForTesting_ReportsChosenFigureUntilReset) {
  ULARGE_INTEGER available{}, total{}, free{};
  SetDiskFreeSpaceForTesting(1'073'741'823);
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), &available, &total, &free));
  EXPECT_EQ(1'073'741'823u, available.QuadPart);
  EXPECT_EQ(1'073'741'823u, free.QuadPart);
  EXPECT_GT(total.QuadPart, 0u);

  // A figure no file system reports (not a multiple of any block size) proves the reset.
  SetDiskFreeSpaceForTesting(12'345);
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(12'345u, available.QuadPart);
  SetDiskFreeSpaceForTesting(std::nullopt);
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), &available, nullptr, nullptr));
  EXPECT_NE(12'345u, available.QuadPart);
}

TEST_F(DiskFreeSpaceTest, GetDiskFreeSpaceExW_MissingPathFailsEvenWithHook) {
  SetDiskFreeSpaceForTesting(5);
  ULARGE_INTEGER available{};
  EXPECT_FALSE(GetDiskFreeSpaceExW(folder.Path("missing/deeper").c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

}  // namespace
