// FindFirstFileExW / FindNextFileW / FindClose (declared in FileApi.h).
#include "platform/win32/FileApi.h"

#include "platform/win32/FileAttributes.h"
#include "platform/win32/LastError.h"
#include "platform/win32/WildcardMatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

using korvane::win32::FailWith;

namespace {

// Linux limits one name to 255 bytes, so a longer pattern could only ever match nothing; it is
// refused as the original refuses an over-long component.
constexpr size_t kMaxNameBytes = 255;
constexpr DWORD kKnownFlags =
    FIND_FIRST_EX_CASE_SENSITIVE | FIND_FIRST_EX_LARGE_FETCH | FIND_FIRST_EX_ON_DISK_ENTRIES_ONLY;

struct DirCloser {
  void operator()(DIR* folder) const { ::closedir(folder); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

struct Entry {
  std::string name;
  unsigned char type;  // d_type, used only when the entry cannot be examined
};

// One open listing. The names are a snapshot taken when it opens (so deleting entries while
// walking it, which is what tree deletes do, cannot make the folder reader skip or repeat any);
// each entry's status is read when its turn comes, through the folder's own descriptor so that
// a rename of the folder meanwhile does not redirect the listing.
struct Listing {
  UniqueDir folder;            // immutable after opening
  std::vector<Entry> entries;  // immutable after opening
  std::mutex lock;
  size_t next = 0;  // guarded by lock
};

// Open listings by handle value. Handles are numbers, never addresses, so a stale or foreign
// handle is recognised and refused instead of being dereferenced; a listing stays alive while
// a FindNextFileW on another thread still uses it, even if FindClose removes it meanwhile.
class ListingTable {
 public:
  HANDLE Add(std::shared_ptr<Listing> listing) {
    std::lock_guard<std::mutex> guard(lock_);
    const uintptr_t id = nextId_++;
    open_.emplace(id, std::move(listing));
    return reinterpret_cast<HANDLE>(id);
  }
  std::shared_ptr<Listing> Find(HANDLE handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
    return it == open_.end() ? nullptr : it->second;
  }
  bool Remove(HANDLE handle) {
    std::shared_ptr<Listing> removed;  // released after the table's lock
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == open_.end()) return false;
    removed = std::move(it->second);
    open_.erase(it);
    return true;
  }

 private:
  std::mutex lock_;
  std::unordered_map<uintptr_t, std::shared_ptr<Listing>> open_;  // guarded by lock_
  uintptr_t nextId_ = 0x10;                                        // guarded by lock_
};

// Never destroyed: a listing may be closed by a static destructor of some other module.
ListingTable& Table() {
  static auto* table = new ListingTable;
  return *table;
}

unsigned char FoldAscii(unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Name order ignoring ASCII case, then by bytes, so the order is total and repeatable.
bool NameBefore(const Entry& a, const Entry& b) {
  const auto folded = [](const std::string& s, size_t i) { return FoldAscii(static_cast<unsigned char>(s[i])); };
  const size_t common = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < common; ++i) {
    if (folded(a.name, i) != folded(b.name, i)) return folded(a.name, i) < folded(b.name, i);
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

// Fills `data` with the next entry that still exists; false when none is left.
bool NextEntry(Listing& listing, WIN32_FIND_DATAW* data) {
  while (listing.next < listing.entries.size()) {
    const Entry& entry = listing.entries[listing.next++];
    struct stat status {};
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (::fstatat(::dirfd(listing.folder.get()), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      attributes = korvane::win32::AttributeDataFromStat(status);
    } else if (errno == ENOENT) {
      continue;  // deleted since the listing opened
    } else {
      // Readable but not searchable folder: the name is known, its details are not.
      attributes.dwFileAttributes = entry.type == DT_DIR   ? FILE_ATTRIBUTE_DIRECTORY
                                    : entry.type == DT_LNK ? FILE_ATTRIBUTE_REPARSE_POINT
                                                           : FILE_ATTRIBUTE_NORMAL;
    }
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = attributes.dwFileAttributes;
    data->ftCreationTime = attributes.ftCreationTime;
    data->ftLastAccessTime = attributes.ftLastAccessTime;
    data->ftLastWriteTime = attributes.ftLastWriteTime;
    data->nFileSizeHigh = attributes.nFileSizeHigh;
    data->nFileSizeLow = attributes.nFileSizeLow;
    if (attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) data->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    const size_t length = std::min<size_t>(entry.name.size(), MAX_PATH - 1);
    std::memcpy(data->cFileName, entry.name.data(), length);
    return true;
  }
  return false;
}

HANDLE FailFind(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE FindFirstFileExW(const char* fileName, FINDEX_INFO_LEVELS infoLevelId, void* findFileData,
                        FINDEX_SEARCH_OPS searchOp, void* searchFilter, DWORD additionalFlags) {
  if (fileName == nullptr || findFileData == nullptr || searchFilter != nullptr ||
      (infoLevelId != FindExInfoStandard && infoLevelId != FindExInfoBasic) ||
      (searchOp != FindExSearchNameMatch && searchOp != FindExSearchLimitToDirectories) ||
      (additionalFlags & ~kKnownFlags) != 0)
    return FailFind(ERROR_INVALID_PARAMETER);
  if (*fileName == '\0') return FailFind(ERROR_PATH_NOT_FOUND);

  const std::string_view search(fileName);
  const size_t slash = search.rfind('/');
  const std::string folderPath = slash == std::string_view::npos ? std::string(".")
                                 : slash == 0                    ? std::string("/")
                                                                 : std::string(search.substr(0, slash));
  const std::string_view pattern = slash == std::string_view::npos ? search : search.substr(slash + 1);
  if (pattern.size() > kMaxNameBytes) return FailFind(ERROR_FILENAME_EXCED_RANGE);

  auto listing = std::make_shared<Listing>();
  listing->folder.reset(::opendir(folderPath.c_str()));
  if (!listing->folder) {
    // The folder is the "path" of the search: missing means path-not-found, never file-not-found.
    const int error = errno;
    return FailFind(error == ENOENT ? ERROR_PATH_NOT_FOUND : korvane::win32::Win32ErrorFromErrno(error));
  }
  if (pattern.empty()) return FailFind(ERROR_FILE_NOT_FOUND);

  const bool caseSensitive = (additionalFlags & FIND_FIRST_EX_CASE_SENSITIVE) != 0;
  errno = 0;
  while (const dirent* entry = ::readdir(listing->folder.get())) {
    if (korvane::win32::MatchFileName(pattern, entry->d_name, caseSensitive))
      listing->entries.push_back(Entry{entry->d_name, entry->d_type});
    errno = 0;
  }
  if (errno != 0) return FailFind(korvane::win32::Win32ErrorFromErrno(errno));
  std::sort(listing->entries.begin(), listing->entries.end(), NameBefore);

  // The original answers "file not found" when nothing matches, "." and ".." included.
  if (!NextEntry(*listing, static_cast<WIN32_FIND_DATAW*>(findFileData))) return FailFind(ERROR_FILE_NOT_FOUND);
  return Table().Add(std::move(listing));
}

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findFileData) {
  if (findFileData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  const std::shared_ptr<Listing> listing = Table().Find(findFile);
  if (!listing) return FailWith(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(listing->lock);
  if (!NextEntry(*listing, findFileData)) return FailWith(ERROR_NO_MORE_FILES);
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!Table().Remove(findFile)) return FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}
