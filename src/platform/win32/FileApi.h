// File and folder calls of the original's file API, over POSIX.
//
// Every call takes a NUL-terminated UTF-8 path with '/' separators, may be called from any
// thread, returns its original's result and, on failure, sets the calling thread's last error
// (platform/win32/LastError.h) to the Win32 code its original gives. A null path or a null
// required out-pointer fails with ERROR_INVALID_PARAMETER instead of crashing; an empty path fails
// with ERROR_PATH_NOT_FOUND.
//
// Symbolic links are what the original calls reparse points, and these calls never follow the
// last component of a path that is one: a link is reported with FILE_ATTRIBUTE_REPARSE_POINT
// and WITHOUT FILE_ATTRIBUTE_DIRECTORY even when it points at a folder (a trailing '/' does not
// change that), so that code walking a folder tree treats it as a leaf it may delete, never as a
// folder to descend into. This is how the original reports a junction, minus the directory bit
// that makes naive tree walkers follow one. Links in the middle of a path are followed as usual.
#pragma once

#include "platform/win32/Win32Types.h"

#include "platform/com/Stream.h"  // ULARGE_INTEGER

#include <cstdint>
#include <optional>

enum GET_FILEEX_INFO_LEVELS : int32_t { GetFileExInfoStandard = 0, GetFileExMaxInfoLevel = 1 };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;  // POSIX keeps no creation time: the status-change time stands in
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;  // 0 for folders and links
  DWORD nFileSizeLow;
};

enum FINDEX_INFO_LEVELS : int32_t { FindExInfoStandard = 0, FindExInfoBasic = 1, FindExInfoMaxInfoLevel = 2 };

enum FINDEX_SEARCH_OPS : int32_t {
  FindExSearchNameMatch = 0,
  FindExSearchLimitToDirectories = 1,  // advisory on the original; accepted and not applied
  FindExSearchLimitToDevices = 2,      // refused with ERROR_INVALID_PARAMETER
  FindExSearchMaxSearchOp = 3
};

constexpr DWORD FIND_FIRST_EX_CASE_SENSITIVE = 0x1;
constexpr DWORD FIND_FIRST_EX_LARGE_FETCH = 0x2;             // accepted, no effect
constexpr DWORD FIND_FIRST_EX_ON_DISK_ENTRIES_ONLY = 0x4;    // accepted, no effect

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;  // IO_REPARSE_TAG_SYMLINK for a link, else 0
  DWORD dwReserved1;
  char cFileName[MAX_PATH];     // UTF-8, NUL-terminated
  char cAlternateFileName[14];  // always empty: there are no short names
};

// Attributes of the file, folder or link `fileName` names. Attributes: FILE_ATTRIBUTE_DIRECTORY
// for a folder; FILE_ATTRIBUTE_REPARSE_POINT alone for a symbolic link; for anything else
// FILE_ATTRIBUTE_READONLY when its owner may not write it, FILE_ATTRIBUTE_NORMAL when no other
// attribute applies. Fails with 2 for a missing entry, 3 when its folder is missing or a path
// component is a file, 87 for a level other than GetFileExInfoStandard.
BOOL GetFileAttributesExW(const char* fileName, GET_FILEEX_INFO_LEVELS level, void* fileInformation);

// Creates one folder (not its parents). Fails with ERROR_ALREADY_EXISTS (183) when anything
// already has that name and ERROR_PATH_NOT_FOUND (3) when its parent is missing. The security
// attributes are ignored: the new folder gets mode 0777 less the process umask.
BOOL CreateDirectoryW(const char* pathName, SECURITY_ATTRIBUTES* securityAttributes);

// Deletes a file. A symbolic link is deleted as a link, whatever it points at; its target is
// never touched. A folder fails with ERROR_ACCESS_DENIED (5), as on the original. Unlike the
// original, a file without write permission is deleted too (POSIX asks only for a writable
// folder).
BOOL DeleteFileW(const char* fileName);

// Removes an empty folder. A symbolic link to a folder is removed as a link and its target is
// left alone; a link to anything else, or a file, fails with ERROR_DIRECTORY (267). A folder
// that is not empty fails with ERROR_DIR_NOT_EMPTY (145), a missing one with 2 (or 3).
BOOL RemoveDirectoryW(const char* pathName);

// Free space on the file system holding `directoryName` (null: the working folder): the bytes
// available to this caller, the total size, and the total free bytes (each out-pointer may be
// null). Fails with the errno-mapped code when the path cannot be queried.
BOOL GetDiskFreeSpaceExW(const char* directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes);

// TEST HOOK. While set, every successful GetDiskFreeSpaceExW reports `freeBytes` as both the
// bytes available to the caller and the total free bytes (the total size stays real), so a test
// can put a caller on either side of a free-space threshold. A failing query still fails.
// std::nullopt restores the real figures; unset, it has no effect. Process-wide, thread-safe.
void SetDiskFreeSpaceForTesting(std::optional<uint64_t> freeBytes);

// Opens a listing of the folder part of `fileName` (everything up to its last '/'; none means
// the working folder) for the entries whose names match its last component as a wildcard
// pattern (platform/win32/WildcardMatch.h; the folder part is taken literally), and returns the
// first entry. "." and ".." are listed like any other name when the pattern matches them.
// Entries come in name order, ignoring ASCII case (the listing is a snapshot of the names taken
// here; an entry deleted before its turn is skipped). Attributes are as GetFileAttributesExW
// reports them, so a link never shows as a folder. Fails with INVALID_HANDLE_VALUE and:
// 2 ERROR_FILE_NOT_FOUND when no name matches (or the pattern is empty), 3 when the folder is
// missing or not a folder, 5 when it cannot be read, 206 for a pattern longer than 255 bytes,
// 87 for a null argument, a search filter, LimitToDevices or an unknown flag.
HANDLE FindFirstFileExW(const char* fileName, FINDEX_INFO_LEVELS infoLevelId, void* findFileData,
                        FINDEX_SEARCH_OPS searchOp, void* searchFilter, DWORD additionalFlags);

// The next entry of a listing; FALSE with ERROR_NO_MORE_FILES (18) after the last one. A handle
// that is not an open listing (never opened, or already closed) fails with ERROR_INVALID_HANDLE
// (6) instead of touching freed memory. A listing may be used from any thread; calls on one
// listing are serialised.
BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findFileData);

// Closes a listing; ERROR_INVALID_HANDLE for anything else, so a second close is harmless.
BOOL FindClose(HANDLE findFile);
