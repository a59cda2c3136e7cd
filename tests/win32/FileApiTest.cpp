#include "platform/win32/FileApi.h"
#include "platform/win32/LastError.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using korvane::test::TempFolder;

// Every kind of entry, inside a TempFolder: file.txt (4 bytes), dir/inner.txt,
// link-to-dir -> outside/, link-to-file -> outside/target.txt.
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
  void TearDown() override { SetDiskFreeSpaceForTesting(std::nullopt); }

  TempFolder folder;
  TempFolder outside;
};

struct AttributeCase {
  const char* path;    // inside the TempFolder
  DWORD attributes;    // 0: the query fails
  DWORD error;
};

void PrintTo(const AttributeCase& c, std::ostream* os) { *os << c.path; }

class GetFileAttributesTest : public FileApiTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(GetFileAttributesTest, GetFileAttributesExW_ReportsKindWithoutFollowingLinks) {
  const AttributeCase& c = GetParam();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  SetLastError(0);
  EXPECT_EQ(c.attributes != 0, GetFileAttributesExW(folder.Path(c.path).c_str(), GetFileExInfoStandard, &data) != 0);
  EXPECT_EQ(c.attributes, data.dwFileAttributes);
  EXPECT_EQ(c.error, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, GetFileAttributesTest,
    ::testing::Values(AttributeCase{"file.txt", FILE_ATTRIBUTE_NORMAL, 0}, AttributeCase{"dir", FILE_ATTRIBUTE_DIRECTORY, 0},
                      AttributeCase{"dir/", FILE_ATTRIBUTE_DIRECTORY, 0},
                      AttributeCase{"link-to-dir", FILE_ATTRIBUTE_REPARSE_POINT, 0},
                      AttributeCase{"link-to-dir/", FILE_ATTRIBUTE_REPARSE_POINT, 0},
                      AttributeCase{"link-to-file", FILE_ATTRIBUTE_REPARSE_POINT, 0},
                      AttributeCase{"missing.txt", 0, ERROR_FILE_NOT_FOUND},
                      AttributeCase{"missing/file.txt", 0, ERROR_PATH_NOT_FOUND},
                      AttributeCase{"file.txt/inner", 0, ERROR_PATH_NOT_FOUND},
                      AttributeCase{"file.txt/", 0, ERROR_PATH_NOT_FOUND}));

TEST_F(FileApiTest, CreateDirectoryW_CreatesOnceThenReportsExisting) {
  ASSERT_TRUE(CreateDirectoryW(folder.Path("new", true).c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(folder.Root() / "new"));
  EXPECT_FALSE(CreateDirectoryW(folder.Path("new", true).c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_FALSE(CreateDirectoryW(folder.Path("missing/new").c_str(), nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(FileApiTest, DeleteFileW_RemovesFilesAndLinksNeverFolders) {
  ASSERT_TRUE(DeleteFileW(folder.Path("file.txt").c_str()));
  ASSERT_TRUE(DeleteFileW(folder.Path("link-to-file").c_str()));
  ASSERT_TRUE(DeleteFileW(folder.Path("link-to-dir").c_str()));
  EXPECT_FALSE(folder.Exists("file.txt") || folder.Exists("link-to-file") || folder.Exists("link-to-dir"));
  EXPECT_TRUE(outside.Exists("target.txt"));
  EXPECT_FALSE(DeleteFileW(folder.Path("file.txt").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(DeleteFileW(folder.Path("dir").c_str()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

TEST_F(FileApiTest, RemoveDirectoryW_RemovesEmptyFolderOrFolderLink) {
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("dir", true).c_str()));
  EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
  ASSERT_TRUE(DeleteFileW(folder.Path("dir/inner.txt").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(folder.Path("dir", true).c_str()));
  EXPECT_TRUE(RemoveDirectoryW(folder.Path("link-to-dir", true).c_str()));
  EXPECT_FALSE(folder.Exists("dir") || folder.Exists("link-to-dir"));
  EXPECT_TRUE(outside.Exists("target.txt"));
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("dir").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("link-to-file").c_str()));
  EXPECT_EQ(ERROR_DIRECTORY, GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(folder.Path("file.txt").c_str()));
  EXPECT_EQ(ERROR_DIRECTORY, GetLastError());
}

using Listing = std::vector<std::pair<std::string, DWORD>>;

// A whole listing: each entry's name and attributes, in listing order.
Listing List(const std::string& search, DWORD flags = 0) {
  Listing entries;
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

TEST_F(FileApiTest, FindFirstFileExW_ListsDotEntriesThenNamesInOrder) {
  folder.WriteFile("B.txt");
  const Listing expected{{".", FILE_ATTRIBUTE_DIRECTORY},      {"..", FILE_ATTRIBUTE_DIRECTORY},
                         {"B.txt", FILE_ATTRIBUTE_NORMAL},      {"dir", FILE_ATTRIBUTE_DIRECTORY},
                         {"file.txt", FILE_ATTRIBUTE_NORMAL},   {"link-to-dir", FILE_ATTRIBUTE_REPARSE_POINT},
                         {"link-to-file", FILE_ATTRIBUTE_REPARSE_POINT}};
  EXPECT_EQ(expected, List(folder.Path("*")));
  EXPECT_EQ((Listing{{"B.txt", FILE_ATTRIBUTE_NORMAL}, {"file.txt", FILE_ATTRIBUTE_NORMAL}}), List(folder.Path("*.TXT")));
  EXPECT_EQ(Listing{}, List(folder.Path("*.TXT"), FIND_FIRST_EX_CASE_SENSITIVE));
}

struct FindFailureCase {
  const char* search;  // inside the TempFolder
  DWORD error;
};

void PrintTo(const FindFailureCase& c, std::ostream* os) { *os << c.search; }

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

TEST_F(FileApiTest, FindNextFileW_ListsSnapshotAndSkipsEntriesDeletedMeanwhile) {
  folder.WriteFile("late.txt");
  WIN32_FIND_DATAW data{};
  HANDLE listing = FindFirstFileExW(folder.Path("*.txt").c_str(), FindExInfoStandard, &data,
                                    FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, listing);
  EXPECT_STREQ("file.txt", data.cFileName);
  folder.WriteFile("new.txt");  // after the snapshot
  std::filesystem::remove(folder.Root() / "late.txt");
  EXPECT_FALSE(FindNextFileW(listing, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(listing));
  EXPECT_FALSE(FindClose(listing));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(FindNextFileW(listing, &data));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(FileApiTest, FindNextFileW_CloseOnAnotherThreadNeverTouchesFreedListing) {
  for (int i = 0; i < 200; ++i) folder.WriteFile("entry" + std::to_string(i) + ".tmp");
  for (int round = 0; round < 20; ++round) {
    WIN32_FIND_DATAW first{};
    HANDLE listing = FindFirstFileExW(folder.Path("*.tmp").c_str(), FindExInfoStandard, &first,
                                      FindExSearchNameMatch, nullptr, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    std::atomic<DWORD> endError{0};
    std::thread reader([&] {
      WIN32_FIND_DATAW data{};
      while (FindNextFileW(listing, &data)) {
      }
      endError = GetLastError();
    });
    EXPECT_TRUE(FindClose(listing));
    reader.join();
    // Either the reader ran to the end first, or it saw the listing closed under it.
    EXPECT_TRUE(endError == ERROR_NO_MORE_FILES || endError == ERROR_INVALID_HANDLE) << endError;
  }
}

TEST_F(FileApiTest, GetDiskFreeSpaceExW_ReportsRealFiguresOrTheTestFigure) {
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path("", true).c_str(), &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);

  SetDiskFreeSpaceForTesting(1'073'741'823);
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), &available, nullptr, &free));
  EXPECT_EQ(1'073'741'823u, available.QuadPart);
  EXPECT_EQ(1'073'741'823u, free.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExW(folder.Path("missing/deeper").c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

  // No file system reports a figure that is not a multiple of its block size: proves the reset.
  SetDiskFreeSpaceForTesting(12'345);
  SetDiskFreeSpaceForTesting(std::nullopt);
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path().c_str(), &available, nullptr, nullptr));
  EXPECT_NE(12'345u, available.QuadPart);
  EXPECT_NE(1'073'741'823u, available.QuadPart);
}

}  // namespace
