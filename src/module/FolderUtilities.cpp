#include "module/FolderUtilities.h"

#include "platform/win32/FileApi.h"
#include "platform/win32/LastError.h"

#include <memory>
#include <string_view>

namespace Korvane::Native {
namespace {

struct FindCloser {
  void operator()(void* listing) const { FindClose(listing); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

bool HoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool IsUsable(const Platform::String& path, const Platform::String& pattern) {
  const std::string_view folder = path.View();
  const std::string_view wildcard = pattern.View();
  return !folder.empty() && folder.back() == '/' && !HoldsNul(folder) && !HoldsNul(wildcard) &&
         wildcard.find('/') == std::string_view::npos;
}

int32_t Win32Result(BOOL succeeded) { return succeeded ? 0 : static_cast<int32_t>(GetLastError()); }

}  // namespace

int32_t DeleteFolderTree(const Platform::String& path, const Platform::String& pattern) {
  if (!IsUsable(path, pattern)) return static_cast<int32_t>(ERROR_INVALID_NAME);

  // Only a folder is emptied and removed. A symbolic link reports no directory attribute, so a
  // link named as `path` ends here too, untouched.
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!GetFileAttributesExW(path.Data(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return 0;

  // Any listing failure (the folder vanished, is unreadable, or nothing matches, "." included)
  // is reported as access denied, whatever the underlying error: callers only tell it apart
  // from the positive Win32 codes by its sign.
  const Platform::String search = path + pattern.View();
  WIN32_FIND_DATAW entry{};
  HANDLE found = FindFirstFileExW(search.Data(), FindExInfoStandard, &entry, FindExSearchNameMatch, nullptr, 0);
  if (found == INVALID_HANDLE_VALUE) return E_ACCESSDENIED;
  UniqueFind listing(found);

  // Each entry replaces the result, so a file that could not be deleted only shows if the
  // folder's own removal fails over it later. Only a negative result (a sub-folder that could
  // not be listed) stops the walk, and then no enclosing folder is removed either.
  int32_t result = 0;
  do {
    if (entry.cFileName[0] == '.') continue;  // ".", ".." and hidden files stay
    const Platform::String child = path + entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      result = DeleteFolder(child + "/");
    } else {
      // Files, and links to anything: DeleteFileW removes a link itself, never its target.
      result = Win32Result(DeleteFileW(child.Data()));
    }
    if (result < 0) break;
  } while (FindNextFileW(listing.get(), &entry));

  // The listing holds the folder open: close it before removing the folder.
  listing.reset();

  if (result >= 0) result = Win32Result(RemoveDirectoryW(path.Data()));
  return result;
}

int32_t DeleteFolder(const Platform::String& path) { return DeleteFolderTree(path, "*"); }

}  // namespace Korvane::Native
