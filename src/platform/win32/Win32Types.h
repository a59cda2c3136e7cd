// The Win32 types and constants shared by the file, folder, standard-I/O and counter calls.
// Paths everywhere in this folder are NUL-terminated UTF-8 with '/' as the folder separator;
// the names keep their W suffix so that component code reads as it did against the original.
#pragma once

#include "platform/com/Hresult.h"

#include <cstdint>

using HANDLE = void*;
using WORD = uint16_t;

// An invalid handle is all ones, not null, as on the original platform.
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#endif

// A file name in WIN32_FIND_DATAW holds at most MAX_PATH - 1 bytes. Linux limits a name to 255
// bytes (NAME_MAX), so every name a listing returns fits.
constexpr DWORD MAX_PATH = 260;

// 100 ns intervals since 1601-01-01 UTC, split in two halves.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// Accepted and ignored: POSIX permissions come from the process umask.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// The reparse tag WIN32_FIND_DATAW::dwReserved0 carries for a symbolic link.
constexpr DWORD IO_REPARSE_TAG_SYMLINK = 0xA000000Cu;

// Win32 error codes this folder reports beyond those every module shares (platform/com/Hresult.h).
constexpr uint32_t ERROR_NOT_SAME_DEVICE = 17;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_BAD_PATHNAME = 161;
constexpr uint32_t ERROR_IO_DEVICE = 1117;
