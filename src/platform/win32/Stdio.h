// The original C runtime's wide-path file streams: _wfsopen with share modes, and 64-bit seeks.
// The streams are ordinary FILE* streams; read, write, seek and close them with <cstdio>.
#pragma once

#include "platform/win32/Win32Types.h"

#include <cstdint>
#include <cstdio>
#include <optional>

// Share modes. Linux has no mandatory file sharing, so they are accepted (a value outside this
// set fails with EINVAL) and not enforced: another open of the same file succeeds where the
// original would fail with a sharing violation. A caller that relies on exclusion must provide
// it itself; the component only ever opens its own cache files, under its own lock.
constexpr int _SH_DENYRW = 0x10;  // deny readers and writers
constexpr int _SH_DENYWR = 0x20;  // deny writers
constexpr int _SH_DENYRD = 0x30;  // deny readers
constexpr int _SH_DENYNO = 0x40;  // deny nobody
constexpr int _SH_SECURE = 0x80;

// Opens `filename` (UTF-8) as fopen does with `mode` ("rb", "wb", "r+b", ...; the stream is
// also close-on-exec). Returns null on failure with errno set as fopen sets it, and the calling
// thread's last error set to the matching Win32 code (GetLastError, platform/win32/LastError.h).
// As on the original, a folder cannot be opened in any mode (EACCES), and a null name or mode or
// an unknown share flag fails with EINVAL.
FILE* _wfsopen(const char* filename, const char* mode, int shflag);

// Seek and tell with 64-bit offsets; -1 with errno set on failure (EINVAL for a null stream).
int _fseeki64(FILE* stream, int64_t offset, int origin);
int64_t _ftelli64(FILE* stream);

// Test hook: a disk that fills up. While a limit is set, the streams _wfsopen opens for writing
// share `bytes` of room; once the bytes written through them reach it, further writes fail with
// ENOSPC (fwrite comes up short or fclose fails, as on a full disk), opening still succeeds.
// nullopt lifts the limit, also for the streams opened under it.
void SetDiskWriteLimitForTesting(std::optional<uint64_t> bytes);
