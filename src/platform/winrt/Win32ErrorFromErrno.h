// The Win32 error code that stands for a POSIX errno value, so that file failures reach the
// component with the codes it knows (ERROR_FILE_NOT_FOUND for ENOENT, ERROR_ACCESS_DENIED for
// EACCES and EPERM, ...). Unknown values map to ERROR_GEN_FAILURE (31); 0 maps to
// ERROR_SUCCESS.
#pragma once

#include "platform/com/Hresult.h"

namespace korvane::winrt {

uint32_t Win32ErrorFromErrno(int error) noexcept;

// HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)); E_FAIL for 0 (a failure with no errno).
HRESULT HResultFromErrno(int error) noexcept;

}  // namespace korvane::winrt
