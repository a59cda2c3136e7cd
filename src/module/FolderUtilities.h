// Recursive folder delete, used by the storage cache to wipe its cache folder.
//
// Paths name a folder and end with '/'; a child's path is the folder path with the child's name
// appended. Results are 0 (everything removed, or nothing to do), E_ACCESSDENIED (0x80070005,
// some folder could not be listed), or the positive Win32 code of the last failure.
//
// Symbolic links are never followed: a link inside the folder, to a file or to a folder, is
// deleted as a link, and nothing outside the named folder is ever touched. A `path` that is
// itself a symbolic link counts as "not a folder": the result is 0 and nothing is touched (the
// caller named a link, not a folder it owns). The caller must own the folder entirely; these
// functions take no lock and keep no state, so calls on disjoint folders are independent.
#pragma once

#include "platform/com/HString.h"

#include <cstdint>

namespace Korvane::Native {

// Deletes every entry of the folder `path` whose name matches the wildcard `pattern` and does
// not begin with '.' (a sub-folder with all its content, under the same rule with pattern "*"),
// then removes the folder itself:
//   - `path` missing, a file or a symbolic link: 0, nothing touched;
//   - the listing `path` + `pattern` cannot be opened (also when the pattern matches nothing,
//     not even "."): E_ACCESSDENIED, and no enclosing folder is removed either;
//   - a file that cannot be deleted leaves its Win32 code as the result only until the next
//     entry's result replaces it; if it is still there, removing the folder fails and gives
//     that call's code (ERROR_DIR_NOT_EMPTY, 145). A '.'-file is always still there.
// A `path` that does not end with '/', or a `path` or `pattern` holding a NUL character, or a
// `pattern` holding '/', would make child paths name entries of some other folder: refused with
// ERROR_INVALID_NAME (123), nothing touched.
// Throws only if building a path string fails (out of memory).
int32_t DeleteFolderTree(const Platform::String& path, const Platform::String& pattern);

// DeleteFolderTree(path, "*").
int32_t DeleteFolder(const Platform::String& path);

}  // namespace Korvane::Native
