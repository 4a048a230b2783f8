// Platform version query. On Linux it answers as the NT family, version 10.0;
// tests substitute other answers to reach the Windows 9x and NT 4.0 paths.
#pragma once

#include "windef.h"

#include <optional>

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA
{
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

BOOL GetVersionExA(OSVERSIONINFOA* info);

namespace platform
{
struct VersionAnswer
{
    bool succeeds = true;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 10;
    DWORD minor = 0;
};
// Replaces what GetVersionExA reports; nullopt restores the real answer.
void SetVersionAnswer(std::optional<VersionAnswer> answer);
} // namespace platform
