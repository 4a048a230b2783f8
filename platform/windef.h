// Windows base types the system's interfaces are written in, with their
// published widths (DWORD and LONG are 32 bits everywhere).
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef uint32_t UINT;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef void* HMODULE;
typedef void* HANDLE;
typedef void* HWND;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Calling convention of the run-time loaded modules' entry points: on the
// x86-64 System V ABI there is exactly one, so this marks intent only.
#define WINAPI

// Last-error values the system prints or tests for.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

// Per-thread last error, as GetLastError/SetLastError.
DWORD GetLastError();
void SetLastError(DWORD code);
