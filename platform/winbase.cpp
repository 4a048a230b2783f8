#include "winbase.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <langinfo.h>
#include <locale.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace
{
constexpr int64_t kEpochDifference = 11644473600LL; // seconds from 1601 to 1970

// Decodes UTF-8; malformed bytes become U+FFFD, as the platform's default does.
std::vector<WCHAR> Utf8ToUtf16(const unsigned char* s, size_t n)
{
    std::vector<WCHAR> out;
    out.reserve(n);
    for (size_t i = 0; i < n;)
    {
        uint32_t cp = 0xFFFD;
        const unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > n)
            len = 1;
        else
        {
            cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
            bool ok = true;
            for (size_t k = 1; k < len; ++k)
            {
                if ((s[i + k] & 0xC0) != 0x80)
                {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            {
                cp = 0xFFFD;
                len = 1;
            }
        }
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        }
        else
            out.push_back(static_cast<WCHAR>(cp));
        i += len;
    }
    return out;
}

std::mutex g_localeMutex;
std::optional<std::string> g_localeOverride;
std::string g_configRoot = "/";

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The locale a session started with these settings uses for dates: LC_ALL,
// then LC_TIME, then LANG, whatever order they come in.
template <typename Lookup> std::string TimeLocale(Lookup lookup)
{
    for (const char* key : {"LC_ALL", "LC_TIME", "LANG"})
        if (std::string value = lookup(key); !value.empty())
            return value;
    return "";
}

// A file of shell-style assignments (KEY=value, optionally quoted or exported).
std::map<std::string, std::string> ReadAssignments(const std::string& path)
{
    std::map<std::string, std::string> values;
    // Plain stdio: a C++ stream here would build the C++ runtime's locale
    // tables, the dearest part of printing a date.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file)
        return values;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;)
        text.append(chunk, n);
    for (size_t at = 0; at < text.size();)
    {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trimmed(text.substr(at, end - at));
        at = end + 1;
        if (line.rfind("export ", 0) == 0)
            line = Trimmed(line.substr(7));
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string value = Trimmed(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        values[Trimmed(line.substr(0, eq))] = value;
    }
    return values;
}

// The system default is what the machine is set to, never the caller's
// environment: Debian keeps it in /etc/default/locale, systemd elsewhere in
// /etc/locale.conf.
std::string SystemLocaleName()
{
    std::string root;
    {
        std::lock_guard<std::mutex> lock(g_localeMutex);
        if (g_localeOverride)
            return *g_localeOverride;
        root = g_configRoot;
    }
    for (const char* file : {"etc/default/locale", "etc/locale.conf"})
    {
        const auto values = ReadAssignments((std::filesystem::path(root) / file).string());
        const std::string name = TimeLocale([&](const char* key) {
            const auto at = values.find(key);
            return at == values.end() ? std::string() : at->second;
        });
        if (!name.empty())
            return name;
    }
    return "";
}

std::string UserLocaleName()
{
    const std::string name = TimeLocale([](const char* key) {
        const char* value = std::getenv(key);
        return std::string(value ? value : "");
    });
    return name.empty() ? SystemLocaleName() : name;
}

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteLength, WCHAR* wide,
                        int wideLength)
{
    if (multiByte == nullptr || multiByteLength == 0 || wideLength < 0 ||
        (codePage != CP_ACP && codePage != CP_UTF8) || flags != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t n = multiByteLength < 0 ? std::strlen(multiByte) + 1 : static_cast<size_t>(multiByteLength);
    const auto converted = Utf8ToUtf16(reinterpret_cast<const unsigned char*>(multiByte), n);
    if (wideLength == 0)
        return static_cast<int>(converted.size());
    if (converted.size() > static_cast<size_t>(wideLength))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wide, converted.data(), converted.size() * sizeof(WCHAR));
    return static_cast<int>(converted.size());
}

void* LocalAlloc(UINT /*flags*/, size_t bytes)
{
    void* memory = std::malloc(bytes ? bytes : 1);
    if (memory == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

void* LocalFree(void* memory)
{
    std::free(memory);
    return nullptr;
}

FILETIME platform::FileTimeFromUnix(int64_t seconds)
{
    const uint64_t ticks = static_cast<uint64_t>(seconds + kEpochDifference) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime)
{
    if (fileTime == nullptr || systemTime == nullptr)
        return FALSE;
    const uint64_t ticks = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL)
        return FALSE;
    const int64_t unixSeconds = static_cast<int64_t>(ticks / 10000000ULL) - kEpochDifference;
    const time_t t = static_cast<time_t>(unixSeconds);
    tm parts{};
    if (::gmtime_r(&t, &parts) == nullptr)
        return FALSE;
    systemTime->wYear = static_cast<WORD>(parts.tm_year + 1900);
    systemTime->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    systemTime->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    systemTime->wDay = static_cast<WORD>(parts.tm_mday);
    systemTime->wHour = static_cast<WORD>(parts.tm_hour);
    systemTime->wMinute = static_cast<WORD>(parts.tm_min);
    systemTime->wSecond = static_cast<WORD>(parts.tm_sec);
    systemTime->wMilliseconds = static_cast<WORD>((ticks / 10000ULL) % 1000ULL);
    return TRUE;
}

std::string platform::ShortDatePatternFromStrftime(const std::string& pattern)
{
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] != '%' || i + 1 == pattern.size())
        {
            const char c = pattern[i];
            if (std::strchr("dMyHhmsgt'", c))
                out += std::string("'") + c + "'";
            else
                out += c;
            continue;
        }
        char c = pattern[++i];
        if (c == 'E' || c == 'O' || c == '-' || c == '_' || c == '0')
        {
            if (i + 1 == pattern.size())
                break;
            c = pattern[++i];
        }
        switch (c)
        {
        case 'd': out += "dd"; break;
        case 'e': out += "d"; break;
        case 'm': out += "MM"; break;
        case 'b':
        case 'h': out += "MMM"; break;
        case 'B': out += "MMMM"; break;
        case 'y': out += "yy"; break;
        case 'Y':
        case 'G': out += "yyyy"; break;
        case 'a': out += "ddd"; break;
        case 'A': out += "dddd"; break;
        case 'D': out += "MM/dd/yy"; break;
        case 'F': out += "yyyy-MM-dd"; break;
        case '%': out += '%'; break;
        default: break; // no date part
        }
    }
    return out;
}

void platform::SetSystemLocaleName(const std::string* name)
{
    std::lock_guard<std::mutex> lock(g_localeMutex);
    g_localeOverride = name ? std::optional<std::string>(*name) : std::nullopt;
}

void platform::SetSystemConfigRoot(const std::string* root)
{
    std::lock_guard<std::mutex> lock(g_localeMutex);
    g_configRoot = root ? *root : "/";
}

int GetLocaleInfoA(LCID locale, DWORD type, char* data, int size)
{
    if (type != LOCALE_SSHORTDATE || size < 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string pattern = "M/d/yyyy";
    const std::string name = locale == LOCALE_USER_DEFAULT ? UserLocaleName() : SystemLocaleName();
    if (!name.empty() && name != "C" && name != "POSIX" && name.rfind("C.", 0) != 0)
    {
        if (locale_t loc = ::newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(nullptr)))
        {
            const std::string converted = platform::ShortDatePatternFromStrftime(::nl_langinfo_l(D_FMT, loc));
            ::freelocale(loc);
            if (!converted.empty())
                pattern = converted;
        }
    }
    const int needed = static_cast<int>(pattern.size()) + 1;
    if (size == 0)
        return needed;
    if (data == nullptr || size < needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(data, pattern.c_str(), static_cast<size_t>(needed));
    return needed;
}

int GetDateFormatA(LCID /*locale*/, DWORD /*flags*/, const SYSTEMTIME* date, const char* format, char* out,
                   int size)
{
    if (date == nullptr || format == nullptr || size < 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    for (const char* p = format; *p;)
    {
        if (*p == '\'')
        {
            for (++p; *p && *p != '\''; ++p)
                text += *p;
            if (*p)
                ++p;
            continue;
        }
        const char c = *p;
        if (c != 'd' && c != 'M' && c != 'y')
        {
            text += *p++;
            continue;
        }
        int run = 0;
        while (p[run] == c)
            ++run;
        p += run;
        char number[16];
        if (c == 'd')
        {
            if (run == 1)
                std::snprintf(number, sizeof number, "%u", date->wDay);
            else if (run == 2)
                std::snprintf(number, sizeof number, "%02u", date->wDay);
            else
            {
                const std::string day = kDays[date->wDayOfWeek % 7];
                std::snprintf(number, sizeof number, "%s", run == 3 ? day.substr(0, 3).c_str() : day.c_str());
            }
        }
        else if (c == 'M')
        {
            const unsigned month = date->wMonth >= 1 && date->wMonth <= 12 ? date->wMonth : 1;
            if (run == 1)
                std::snprintf(number, sizeof number, "%u", month);
            else if (run == 2)
                std::snprintf(number, sizeof number, "%02u", month);
            else
            {
                const std::string name = kMonths[month - 1];
                std::snprintf(number, sizeof number, "%s",
                              run == 3 ? name.substr(0, 3).c_str() : name.c_str());
            }
        }
        else if (run <= 2)
            std::snprintf(number, sizeof number, run == 1 ? "%u" : "%02u", date->wYear % 100u);
        else
            std::snprintf(number, sizeof number, "%u", date->wYear);
        text += number;
    }
    const int needed = static_cast<int>(text.size()) + 1;
    if (size == 0)
        return needed;
    if (out == nullptr || size < needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.c_str(), static_cast<size_t>(needed));
    return needed;
}
