#include "platform/win32/FileApi.h"
#include "platform/win32/LastError.h"

#include "support/TempFolder.h"

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
  TempFolder folder;
  TempFolder outside;
};

TEST_F(FileApiTest, GetFileAttributesExW_ReportsKindWithoutFollowingLinks) {
  const struct {
    const char* path;
    DWORD attributes;  // 0: the query fails
    DWORD error;
  } cases[] = {{"file.txt", FILE_ATTRIBUTE_NORMAL, 0},           {"dir", FILE_ATTRIBUTE_DIRECTORY, 0},
               {"dir/", FILE_ATTRIBUTE_DIRECTORY, 0},            {"link-to-dir", FILE_ATTRIBUTE_REPARSE_POINT, 0},
               {"link-to-dir/", FILE_ATTRIBUTE_REPARSE_POINT, 0}, {"link-to-file", FILE_ATTRIBUTE_REPARSE_POINT, 0},
               {"missing.txt", 0, ERROR_FILE_NOT_FOUND},          {"missing/file.txt", 0, ERROR_PATH_NOT_FOUND},
               {"file.txt/inner", 0, ERROR_PATH_NOT_FOUND},       {"file.txt/", 0, ERROR_PATH_NOT_FOUND}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    SetLastError(0);
    EXPECT_EQ(c.attributes != 0, GetFileAttributesExW(folder.Path(c.path).c_str(), GetFileExInfoStandard, &data) != 0);
    EXPECT_EQ(c.attributes, data.dwFileAttributes);
    EXPECT_EQ(c.error, GetLastError());
  }
}

// One sequence, each call seeing what the earlier ones left.
TEST_F(FileApiTest, CreateDeleteRemove_DoTheirOwnKindOrFailWithOriginalCode) {
  folder.MakeLink("second-link-to-dir", outside.Root());
  enum Call { kCreateDirectory, kDeleteFile, kRemoveDirectory };
  const struct {
    Call call;
    const char* path;
    DWORD error;  // 0: the call succeeds
  } steps[] = {{kCreateDirectory, "new/", 0},
               {kCreateDirectory, "new/", ERROR_ALREADY_EXISTS},
               {kCreateDirectory, "missing/new", ERROR_PATH_NOT_FOUND},
               {kDeleteFile, "dir", ERROR_ACCESS_DENIED},  // never a folder
               {kRemoveDirectory, "dir/", ERROR_DIR_NOT_EMPTY},
               {kRemoveDirectory, "link-to-file", ERROR_DIRECTORY},
               {kRemoveDirectory, "file.txt", ERROR_DIRECTORY},
               {kDeleteFile, "file.txt", 0},            {kDeleteFile, "file.txt", ERROR_FILE_NOT_FOUND},
               {kDeleteFile, "link-to-file", 0},        {kDeleteFile, "second-link-to-dir", 0},  // links go as links
               {kDeleteFile, "dir/inner.txt", 0},       {kRemoveDirectory, "dir/", 0},
               {kRemoveDirectory, "dir", ERROR_FILE_NOT_FOUND},
               {kRemoveDirectory, "link-to-dir/", 0}};  // a folder link also as a folder
  for (const auto& step : steps) {
    const std::string path = folder.Path(step.path);
    SCOPED_TRACE(testing::Message() << "call " << step.call << " on " << step.path);
    const BOOL done = step.call == kCreateDirectory ? CreateDirectoryW(path.c_str(), nullptr)
                      : step.call == kDeleteFile    ? DeleteFileW(path.c_str())
                                                    : RemoveDirectoryW(path.c_str());
    EXPECT_EQ(step.error == 0, done != 0);
    if (step.error != 0) {
      EXPECT_EQ(step.error, GetLastError());
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder.Root() / "new"));
  for (const char* gone : {"dir", "file.txt", "link-to-file", "link-to-dir", "second-link-to-dir"}) {
    EXPECT_FALSE(folder.Exists(gone)) << gone;
  }
  EXPECT_TRUE(outside.Exists("target.txt"));
}

using Listing = std::vector<std::pair<std::string, DWORD>>;

HANDLE Find(const std::string& search, WIN32_FIND_DATAW* data, DWORD flags = 0) {
  return FindFirstFileExW(search.c_str(), FindExInfoStandard, data, FindExSearchNameMatch, nullptr, flags);
}

// A whole listing: each entry's name and attributes, in listing order.
Listing List(const std::string& search, DWORD flags = 0) {
  Listing entries;
  WIN32_FIND_DATAW data{};
  HANDLE listing = Find(search, &data, flags);
  if (listing == INVALID_HANDLE_VALUE) return entries;
  do {
    entries.emplace_back(data.cFileName, data.dwFileAttributes);
  } while (FindNextFileW(listing, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(listing));
  return entries;
}

TEST_F(FileApiTest, FindFirstFileExW_ListsDotEntriesThenNamesInOrderOrFailsWithOriginalCode) {
  folder.WriteFile("B.txt");
  const Listing expected{{".", FILE_ATTRIBUTE_DIRECTORY},      {"..", FILE_ATTRIBUTE_DIRECTORY},
                         {"B.txt", FILE_ATTRIBUTE_NORMAL},      {"dir", FILE_ATTRIBUTE_DIRECTORY},
                         {"file.txt", FILE_ATTRIBUTE_NORMAL},   {"link-to-dir", FILE_ATTRIBUTE_REPARSE_POINT},
                         {"link-to-file", FILE_ATTRIBUTE_REPARSE_POINT}};
  EXPECT_EQ(expected, List(folder.Path("*")));
  EXPECT_EQ((Listing{{"B.txt", FILE_ATTRIBUTE_NORMAL}, {"file.txt", FILE_ATTRIBUTE_NORMAL}}), List(folder.Path("*.TXT")));
  EXPECT_EQ(Listing{}, List(folder.Path("*.TXT"), FIND_FIRST_EX_CASE_SENSITIVE));
  const std::pair<const char*, DWORD> failures[] = {{"*.tmp", ERROR_FILE_NOT_FOUND},
                                                    {"dir/", ERROR_FILE_NOT_FOUND},
                                                    {"missing/*", ERROR_PATH_NOT_FOUND},
                                                    {"file.txt/*", ERROR_PATH_NOT_FOUND}};
  for (const auto& [search, error] : failures) {
    WIN32_FIND_DATAW data{};
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Find(folder.Path(search), &data)) << search;
    EXPECT_EQ(error, GetLastError()) << search;
  }
}

TEST_F(FileApiTest, FindNextFileW_ListsSnapshotAndSkipsEntriesDeletedMeanwhile) {
  folder.WriteFile("late.txt");
  WIN32_FIND_DATAW data{};
  HANDLE listing = Find(folder.Path("*.txt"), &data);
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
    HANDLE listing = Find(folder.Path("*.tmp"), &first);
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

TEST_F(FileApiTest, GetDiskFreeSpaceExW_ReportsRealFiguresOrFailsWithOriginalCode) {
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(folder.Path("", true).c_str(), &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExW(folder.Path("missing/deeper").c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

}  // namespace
