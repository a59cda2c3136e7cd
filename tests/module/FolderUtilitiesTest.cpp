#include "module/FolderUtilities.h"

#include "platform/com/Hresult.h"

#include "../win32/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Korvane::Native::DeleteFolder;
using Korvane::Native::DeleteFolderTree;
using korvane::test::TempFolder;

class FolderUtilitiesTest : public ::testing::Test {
 protected:
  // The folder under test, "victim/" inside the temporary folder, as the '/'-terminated path the
  // utilities take.
  std::string Victim() const { return folder.Path("victim", true); }

  TempFolder folder;
  TempFolder outside;  // never to be touched
};

TEST_F(FolderUtilitiesTest, DeleteFolder_RemovesFilesSubFoldersAndItself) {
  folder.WriteFile("keep.txt");  // a sibling of the folder, not inside it
  folder.MakeFolder("victim/full/deeper");
  folder.MakeFolder("victim/empty");
  folder.WriteFile("victim/a.tmp");
  folder.WriteFile("victim/b.tmp");
  folder.WriteFile("victim/full/c.tmp");
  folder.WriteFile("victim/full/deeper/d.tmp");

  EXPECT_EQ(0, DeleteFolder(Victim()));
  EXPECT_FALSE(folder.Exists("victim"));
  EXPECT_TRUE(folder.Exists("keep.txt"));
}

TEST_F(FolderUtilitiesTest, DeleteFolder_DotFileKeepsFolderWithDirNotEmpty) {
  folder.MakeFolder("victim/sub");
  folder.WriteFile("victim/.hidden");
  folder.WriteFile("victim/a.tmp");
  folder.WriteFile("victim/sub/b.tmp");

  EXPECT_EQ(static_cast<int32_t>(ERROR_DIR_NOT_EMPTY), DeleteFolder(Victim()));
  EXPECT_TRUE(folder.Exists("victim/.hidden"));
  EXPECT_FALSE(folder.Exists("victim/a.tmp"));
  EXPECT_FALSE(folder.Exists("victim/sub"));
}

TEST_F(FolderUtilitiesTest, DeleteFolder_DotFileDeepDownKeepsEveryEnclosingFolder) {
  folder.MakeFolder("victim/sub");
  folder.WriteFile("victim/sub/.hidden");
  folder.WriteFile("victim/z.tmp");  // listed after "sub": its success replaces sub's 145

  // The deeper failure is overwritten by the later entry's 0, then the folder's own removal
  // fails because "sub" is still there.
  EXPECT_EQ(static_cast<int32_t>(ERROR_DIR_NOT_EMPTY), DeleteFolder(Victim()));
  EXPECT_TRUE(folder.Exists("victim/sub/.hidden"));
  EXPECT_TRUE(folder.Exists("victim/sub"));
  EXPECT_FALSE(folder.Exists("victim/z.tmp"));
}

struct NothingToDoCase {
  const char* name;
  const char* relative;  // inside the temporary folder; a trailing '/' is added
};
void PrintTo(const NothingToDoCase& c, std::ostream* os) { *os << c.name; }

class NothingToDoTest : public FolderUtilitiesTest, public ::testing::WithParamInterface<NothingToDoCase> {};

TEST_P(NothingToDoTest, DeleteFolder_ReturnsZeroAndTouchesNothing) {
  folder.WriteFile("file.tmp");
  outside.WriteFile("target.tmp");
  folder.MakeLink("link", outside.Root());

  EXPECT_EQ(0, DeleteFolder(folder.Path(GetParam().relative, true)));
  EXPECT_TRUE(folder.Exists("file.tmp"));
  EXPECT_TRUE(folder.Exists("link"));
  EXPECT_TRUE(outside.Exists("target.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Paths, NothingToDoTest,
                         ::testing::Values(NothingToDoCase{"Missing", "missing"},
                                           NothingToDoCase{"MissingParent", "missing/deeper"},
                                           NothingToDoCase{"File", "file.tmp"},
                                           NothingToDoCase{"LinkToFolder", "link"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FolderUtilitiesTest, DeleteFolderTree_PatternMatchingNothingIsAccessDenied) {
  folder.MakeFolder("victim");
  folder.WriteFile("victim/a.tmp");

  EXPECT_EQ(E_ACCESSDENIED, DeleteFolderTree(Victim(), "*.none"));
  EXPECT_TRUE(folder.Exists("victim/a.tmp"));
}

TEST_F(FolderUtilitiesTest, DeleteFolderTree_PatternSelectsEntries) {
  folder.MakeFolder("victim");
  folder.WriteFile("victim/a.tmp");
  folder.WriteFile("victim/b.data");

  // "*.tmp" does not list "." either, and the remaining file keeps the folder.
  EXPECT_EQ(static_cast<int32_t>(ERROR_DIR_NOT_EMPTY), DeleteFolderTree(Victim(), "*.tmp"));
  EXPECT_FALSE(folder.Exists("victim/a.tmp"));
  EXPECT_TRUE(folder.Exists("victim/b.data"));
}

// Lowers the process's descriptor limit so that exactly `spare` more descriptors can be opened,
// and restores it on destruction. A folder whose listing cannot be opened is otherwise hard to
// make when tests run as root, for whom permissions never stop a listing.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(FolderUtilitiesTest, DeleteFolder_UnlistableSubFolderStopsEveryLevel) {
  folder.MakeFolder("victim/a/b");
  folder.WriteFile("victim/a/b/inner.tmp");
  folder.WriteFile("victim/z.tmp");  // listed after "a": never reached once "a" fails
  // One unrestricted delete first: a sanitizer runtime checks each type's layout once, with
  // descriptors of its own, and must not find the limit in force when it does.
  folder.MakeFolder("warm-up/sub");
  ASSERT_EQ(0, DeleteFolder(folder.Path("warm-up", true)));
  int32_t result = 0;
  {
    // The top listing takes the one spare descriptor; the listing of "a" cannot open.
    DescriptorLimit limit(1);
    result = DeleteFolder(Victim());
  }
  EXPECT_EQ(E_ACCESSDENIED, result);
  EXPECT_TRUE(folder.Exists("victim/a/b/inner.tmp"));
  EXPECT_TRUE(folder.Exists("victim/z.tmp"));
}

TEST_F(FolderUtilitiesTest, DeleteFolder_LinkToOutsideFolderGoesAsLink) {
  outside.MakeFolder("data");
  outside.WriteFile("data/precious.tmp");
  folder.MakeFolder("victim");
  folder.WriteFile("victim/a.tmp");
  folder.MakeLink("victim/link", outside.Root() / "data");

  EXPECT_EQ(0, DeleteFolder(Victim()));
  EXPECT_FALSE(folder.Exists("victim"));
  EXPECT_TRUE(outside.Exists("data/precious.tmp"));
}

TEST_F(FolderUtilitiesTest, DeleteFolder_LinkToOutsideFileGoesAsLink) {
  outside.WriteFile("precious.tmp", "keep me");
  folder.MakeFolder("victim/sub");
  folder.MakeLink("victim/sub/link.tmp", outside.Root() / "precious.tmp");
  folder.MakeLink("victim/dangling", outside.Root() / "missing");

  EXPECT_EQ(0, DeleteFolder(Victim()));
  EXPECT_FALSE(folder.Exists("victim"));
  EXPECT_TRUE(outside.Exists("precious.tmp"));
}

struct RefusedCase {
  const char* name;
  std::string path;  // inside "victim": relative suffix appended to the temporary folder
  std::string pattern;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedInputTest : public FolderUtilitiesTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedInputTest, DeleteFolderTree_AmbiguousInputIsInvalidName) {
  folder.MakeFolder("victim/sub");
  folder.WriteFile("victim/a.tmp");
  folder.WriteFile("victim/sub/b.tmp");

  EXPECT_EQ(static_cast<int32_t>(ERROR_INVALID_NAME),
            DeleteFolderTree(Platform::String(folder.Path() + GetParam().path), Platform::String(GetParam().pattern)));
  EXPECT_TRUE(folder.Exists("victim/a.tmp"));
  EXPECT_TRUE(folder.Exists("victim/sub/b.tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusedInputTest,
    ::testing::Values(RefusedCase{"NoTrailingSlash", "/victim", "*"},
                      RefusedCase{"NulInPath", std::string("/victim/\0sub/", 13), "*"},
                      RefusedCase{"NulInPattern", "/victim/", std::string("*\0.tmp", 6)},
                      RefusedCase{"SlashInPattern", "/victim/", "sub/*"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
