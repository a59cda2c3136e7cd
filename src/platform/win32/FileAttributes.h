// How a POSIX file status reads as Win32 attributes, shared by GetFileAttributesExW and the
// folder listing so that both report an entry identically. Internal to platform/win32.
#pragma once

#include "platform/win32/FileApi.h"

#include <sys/stat.h>

namespace korvane::win32 {

// FILE_ATTRIBUTE_* for a status taken WITHOUT following a final symbolic link (lstat): a link is
// FILE_ATTRIBUTE_REPARSE_POINT only, never FILE_ATTRIBUTE_DIRECTORY (see FileApi.h).
DWORD AttributesFromStat(const struct stat& status);

// Attributes, times and size (0 for folders and links) of a status, as both calls report them.
WIN32_FILE_ATTRIBUTE_DATA AttributeDataFromStat(const struct stat& status);

}  // namespace korvane::win32
