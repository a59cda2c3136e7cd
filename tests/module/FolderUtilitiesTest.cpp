#include "module/FolderUtilities.h"

#include "platform/com/Hresult.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Korvane::Native::DeleteFolder;
using Korvane::Native::DeleteFolderTree;
using korvane::test::TempFolder;

constexpr int32_t kDirNotEmpty = ERROR_DIR_NOT_EMPTY, kInvalidName = ERROR_INVALID_NAME;

// Makes `entry` inside `folder`, with any missing parent: "a/b/" is a folder, "a/f" a file and
// "a/l>x" a symbolic link to "x" (relative to the folder's root).
void Build(const TempFolder& folder, const std::string& entry) {
  const std::size_t arrow = entry.find('>');
  const std::string path = entry.substr(0, arrow);
  folder.MakeFolder(std::filesystem::path(path).parent_path().string());
  if (arrow != std::string::npos) {
    folder.MakeLink(path, folder.Root() / entry.substr(arrow + 1));
  } else if (path.back() != '/') {
    folder.WriteFile(path);
  }
}

struct DeleteCase {
  const char* name;
  std::vector<std::string> tree;
  std::string path;     // appended to the temporary folder's path
  std::string pattern;  // empty: DeleteFolder
  int32_t result;
  std::vector<std::string> kept, gone;
};

// "out/" is outside the folder deleted in every case: nothing in it may ever go.
TEST(FolderUtilitiesTest, DeleteFolderTree_ResultAndWhatIsLeft) {
  const std::vector<std::string> refusable{"victim/a.tmp", "victim/sub/b.tmp"};
  const std::vector<std::string> untouchable{"file.tmp", "out/target.tmp", "link>out"};
  const DeleteCase cases[] = {
      {"FilesSubFoldersAndEmptyFolder",
       {"keep.txt", "victim/empty/", "victim/a.tmp", "victim/b.tmp", "victim/full/c.tmp", "victim/full/deeper/d.tmp"},
       "/victim/", "", 0, {"keep.txt"}, {"victim"}},
      {"DotFileKeepsFolder", {"victim/.hidden", "victim/a.tmp", "victim/sub/b.tmp"},
       "/victim/", "", kDirNotEmpty, {"victim/.hidden"}, {"victim/a.tmp", "victim/sub"}},
      // z.tmp is listed after "sub": its 0 replaces sub's 145, then removing "victim" fails.
      {"DotFileDeepDownKeepsEveryEnclosingFolder", {"victim/sub/.hidden", "victim/z.tmp"},
       "/victim/", "", kDirNotEmpty, {"victim/sub/.hidden"}, {"victim/z.tmp"}},
      {"Missing", untouchable, "/missing/", "", 0, {"file.tmp", "link", "out/target.tmp"}, {}},
      {"MissingParent", untouchable, "/missing/deeper/", "", 0, {"file.tmp", "link", "out/target.tmp"}, {}},
      {"File", untouchable, "/file.tmp/", "", 0, {"file.tmp", "link", "out/target.tmp"}, {}},
      {"LinkToFolder", untouchable, "/link/", "", 0, {"file.tmp", "link", "out/target.tmp"}, {}},
      // Not even "." matches, so the listing cannot be opened.
      {"PatternMatchingNothing", {"victim/a.tmp"}, "/victim/", "*.none", E_ACCESSDENIED, {"victim/a.tmp"}, {}},
      {"PatternSelects", {"victim/a.tmp", "victim/b.data"}, "/victim/", "*.tmp", kDirNotEmpty,
       {"victim/b.data"}, {"victim/a.tmp"}},
      {"LinkToOutsideFolderGoesAsLink", {"out/data/precious.tmp", "victim/a.tmp", "victim/link>out/data"},
       "/victim/", "", 0, {"out/data/precious.tmp"}, {"victim"}},
      {"LinkToOutsideFileGoesAsLink",
       {"out/precious.tmp", "victim/sub/link.tmp>out/precious.tmp", "victim/dangling>out/missing"},
       "/victim/", "", 0, {"out/precious.tmp"}, {"victim"}},
      // Child paths would name entries of some other folder.
      {"NoTrailingSlash", refusable, "/victim", "*", kInvalidName, refusable, {}},
      {"NulInPath", refusable, std::string("/victim/\0sub/", 13), "*", kInvalidName, refusable, {}},
      {"NulInPattern", refusable, "/victim/", std::string("*\0.tmp", 6), kInvalidName, refusable, {}},
      {"SlashInPattern", refusable, "/victim/", "sub/*", kInvalidName, refusable, {}}};
  for (const DeleteCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    for (const std::string& entry : c.tree) Build(folder, entry);
    const Platform::String path(folder.Path() + c.path);
    EXPECT_EQ(c.result, c.pattern.empty() ? DeleteFolder(path) : DeleteFolderTree(path, Platform::String(c.pattern)));
    for (const std::string& kept : c.kept) EXPECT_TRUE(folder.Exists(kept)) << kept;
    for (const std::string& gone : c.gone) EXPECT_FALSE(folder.Exists(gone)) << gone;
  }
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

TEST(FolderUtilitiesTest, DeleteFolder_UnlistableSubFolderStopsEveryLevel) {
  TempFolder folder;
  for (const char* entry : {"victim/a/b/inner.tmp", "victim/z.tmp", "warm-up/sub/"}) Build(folder, entry);
  // One unrestricted delete first: a sanitizer runtime checks each type's layout once, with
  // descriptors of its own, and must not find the limit in force when it does.
  ASSERT_EQ(0, DeleteFolder(folder.Path("warm-up", true)));
  int32_t result = 0;
  {
    // The top listing takes the one spare descriptor; the listing of "a" cannot open.
    DescriptorLimit limit(1);
    result = DeleteFolder(folder.Path("victim", true));
  }
  EXPECT_EQ(E_ACCESSDENIED, result);
  EXPECT_TRUE(folder.Exists("victim/a/b/inner.tmp"));
  EXPECT_TRUE(folder.Exists("victim/z.tmp"));  // listed after "a": never reached once "a" fails
}

}  // namespace
