// Small base services of the platform: the ANSI-to-UTF-16 conversion, the
// local heap, file times and the locale's short date.
//
// The ANSI code page here is UTF-8, the encoding of every Linux text the
// program meets.
#pragma once

#include "windef.h"

#include <string>

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteLength, WCHAR* wide,
                        int wideLength);

constexpr UINT LMEM_FIXED = 0;
void* LocalAlloc(UINT flags, size_t bytes);
void* LocalFree(void* memory);

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);

typedef DWORD LCID;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr DWORD LOCALE_SSHORTDATE = 0x1F;

int GetLocaleInfoA(LCID locale, DWORD type, char* data, int size);
int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, const char* format, char* out, int size);

namespace platform
{
// 100-nanosecond intervals since 1601-01-01 UTC, from seconds since 1970.
FILETIME FileTimeFromUnix(int64_t seconds);
// A strftime date pattern ("%d.%m.%Y") in the platform's picture form ("dd.MM.yyyy").
std::string ShortDatePatternFromStrftime(const std::string& pattern);
// The system default locale's short date comes from the machine's settings
// (/etc/default/locale, else /etc/locale.conf), never from the caller's
// environment; the user default's from LC_ALL, LC_TIME or LANG, else the
// system's. Tests name the system locale outright (null: read the files
// again), or move the root the files are read under (null: "/").
void SetSystemLocaleName(const std::string* name);
void SetSystemConfigRoot(const std::string* root);
} // namespace platform
