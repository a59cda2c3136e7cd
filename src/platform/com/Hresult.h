// HRESULT and the status codes the component and the platform exchange. Values are those of
// the Windows SDK so that codes seen by applications mean what they mean there.
#pragma once

#include <cstdint>

using HRESULT = int32_t;
using ULONG = uint32_t;
using BOOL = int32_t;
// The runtime ABI's Boolean: one byte, 0 or 1.
using boolean = uint8_t;
using BYTE = uint8_t;
using UINT = uint32_t;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD = uint32_t;
using LONG = int32_t;
using SIZE_T = std::size_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr HRESULT MakeHresult(uint32_t value) { return static_cast<HRESULT>(value); }

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// A Win32 error code as an HRESULT (facility 7), as HRESULT_FROM_WIN32 does.
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t code) {
  return static_cast<int32_t>(code) <= 0 ? static_cast<HRESULT>(code)
                                         : MakeHresult((code & 0xFFFFu) | 0x80070000u);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT E_BOUNDS = MakeHresult(0x8000000Bu);
constexpr HRESULT E_CHANGED_STATE = MakeHresult(0x8000000Cu);
constexpr HRESULT E_ILLEGAL_METHOD_CALL = MakeHresult(0x8000000Eu);
constexpr HRESULT RO_E_CLOSED = MakeHresult(0x80000013u);
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
constexpr HRESULT RPC_E_DISCONNECTED = MakeHresult(0x80010108u);
constexpr HRESULT RPC_E_WRONG_THREAD = MakeHresult(0x8001010Eu);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
constexpr HRESULT E_HANDLE = MakeHresult(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_HR = MakeHresult(0x800706BAu);
constexpr HRESULT JSCRIPT_E_CANTEXECUTE = MakeHresult(0x89020001u);
constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001u);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070u);
constexpr HRESULT STG_E_READFAULT = MakeHresult(0x8003001Eu);
constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001Du);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHresult(0x80030009u);
constexpr HRESULT E_ILLEGAL_STATE_CHANGE = MakeHresult(0x8000000Du);

// Win32 error codes the component and the platform use (GetLastError values).
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_WRITE_PROTECT = 19;
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t ERROR_HANDLE_DISK_FULL = 39;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_FILE_EXISTS = 80;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_DISK_FULL = 112;
constexpr uint32_t ERROR_INVALID_NAME = 123;
constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
constexpr uint32_t ERROR_BUSY = 170;
constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t ERROR_DIRECTORY = 267;
constexpr uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;
// Used unchanged (not as an HRESULT) by the component's own consistency checks.
constexpr uint32_t ERROR_ASSERTION_FAILURE = 668;
constexpr HRESULT kNotReady = static_cast<HRESULT>(ERROR_ASSERTION_FAILURE);
