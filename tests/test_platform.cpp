#include "module.h"
#include "module_entry.h"
#include "support/temp_folder.h"
#include "version.h"
#include "winbase.h"
#include "wintime.h"
#include "ws2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing_support::TempFolder;

// glibc's newlocale leaks its copy of LOCPATH (built by __argz_add_sep) on
// every call while that is set, which only these tests do, to find the locale
// they compiled.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace
{
struct SearchOnly
{
    explicit SearchOnly(const fs::path& dir)
    {
        SetDllDirectoryA(dir.c_str());
        platform::SetDefaultModuleSearch(false);
    }
    ~SearchOnly()
    {
        SetDllDirectoryA(nullptr);
        platform::SetDefaultModuleSearch(true);
    }
};

TEST(ModuleLoader, MapsWindowsNamesToModuleFiles)
{
    EXPECT_EQ(platform::ModuleFileName("Secur32.dll"), "libsecur32.so");
    EXPECT_EQ(platform::ModuleFileName("IpHlpApi.dll"), "libiphlpapi.so");
    EXPECT_EQ(platform::ModuleFileName("NOVA_API.DLL"), "libnova_api.so");
    EXPECT_EQ(platform::ModuleFileName("C:\\Windows\\Security.dll"), "libsecurity.so");
}

TEST(ModuleLoader, FindsTheModuleBesideTheProgramAndItsEntries)
{
    HMODULE module = LoadLibraryA("KvTestModule.dll");
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "KvTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchEntry"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModuleLoader, ReportsWindowsLastErrors)
{
    TempFolder dir;
    SearchOnly only(dir.path);
    EXPECT_EQ(LoadLibraryA("KvTestModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    std::ofstream(dir.path / "libbroken.so") << "not a module";
    EXPECT_EQ(LoadLibraryA("Broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);

    fs::copy_file(fs::path(platform::ExecutableDirectory()) / "libkvtestmodule.so",
                  dir.path / "libkvtestmodule.so");
    HMODULE module = LoadLibraryA("KVTESTMODULE.DLL");
    EXPECT_NE(module, nullptr);
    if (module)
        FreeLibrary(module);
}

TEST(VersionQuery, AnswersAsTheNtFamilyUnlessTold)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&info));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, 10u);

    platform::SetVersionAnswer(platform::VersionAnswer{true, VER_PLATFORM_WIN32_WINDOWS, 4, 10});
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    platform::SetVersionAnswer(platform::VersionAnswer{false});
    EXPECT_FALSE(GetVersionExA(&info));
    platform::SetVersionAnswer(std::nullopt);
}

TEST(Ticks, OffsetMovesTheCounterAcrossTheWrap)
{
    platform::SetTickCountOffset(0xFFFFFFFFu - GetTickCount() - 20);
    const DWORD before = GetTickCount();
    Sleep(60);
    const DWORD after = GetTickCount();
    platform::SetTickCountOffset(0);
    EXPECT_LT(after, before); // wrapped
}

class Ws2Test : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(ws2::WSAStartup(0x0002, &m_data), 0); }
    void TearDown() override { ws2::WSACleanup(); }
    ws2::WSADATA m_data{};
};

TEST_F(Ws2Test, ErrnoMapsToTheWsaCodesTheClientTestsFor)
{
    EXPECT_EQ(ws2::WsaErrorFromErrno(EINPROGRESS), ws2::WSAEWOULDBLOCK);
    EXPECT_EQ(ws2::WsaErrorFromErrno(EAGAIN), ws2::WSAEWOULDBLOCK);
    EXPECT_EQ(ws2::WsaErrorFromErrno(ECONNREFUSED), ws2::WSAECONNREFUSED);
    EXPECT_EQ(ws2::WsaErrorFromErrno(ECONNRESET), ws2::WSAECONNRESET);
    EXPECT_EQ(ws2::WsaErrorFromErrno(EPIPE), ws2::WSAECONNRESET);
    EXPECT_EQ(ws2::WsaErrorFromErrno(EBADF), ws2::WSAENOTSOCK);
    EXPECT_EQ(ws2::WsaErrorFromErrno(ENOTCONN), ws2::WSAENOTCONN);
    EXPECT_EQ(ws2::WsaErrorFromErrno(ETIMEDOUT), ws2::WSAETIMEDOUT);
}

TEST_F(Ws2Test, NonBlockingConnectInProgressReadsAsWouldBlock)
{
    const ws2::SOCKET s = ws2::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, ws2::INVALID_SOCKET);
    ws2::u_long on = 1;
    ASSERT_EQ(ws2::ioctlsocket(s, FIONBIO, &on), 0);
    // A full accept queue keeps the connect pending.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i)
    {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    Sleep(50);
    EXPECT_EQ(ws2::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), ws2::SOCKET_ERROR);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEWOULDBLOCK);

    ws2::fd_set writeSet, exceptSet;
    ws2::FdZero(&writeSet);
    ws2::FdZero(&exceptSet);
    ws2::FdSet(s, &writeSet);
    ws2::FdSet(s, &exceptSet);
    const ws2::timeval zero{0, 0};
    EXPECT_EQ(ws2::select(-1, nullptr, &writeSet, &exceptSet, &zero), 0);
    EXPECT_EQ(ws2::closesocket(s), 0);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST_F(Ws2Test, RefusedConnectShowsOnlyInTheExceptionSet)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);

    const ws2::SOCKET s = ws2::socket(AF_INET, SOCK_STREAM, 0);
    ws2::u_long on = 1;
    ws2::ioctlsocket(s, FIONBIO, &on);
    ws2::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ws2::fd_set writeSet, exceptSet;
    int ready = 0;
    for (int i = 0; i < 1000 && ready == 0; ++i)
    {
        ws2::FdZero(&writeSet);
        ws2::FdZero(&exceptSet);
        ws2::FdSet(s, &writeSet);
        ws2::FdSet(s, &exceptSet);
        const ws2::timeval wait{0, 1000};
        ready = ws2::select(-1, nullptr, &writeSet, &exceptSet, &wait);
    }
    EXPECT_EQ(ready, 1);
    EXPECT_FALSE(ws2::FdIsSet(s, &writeSet));
    EXPECT_TRUE(ws2::FdIsSet(s, &exceptSet));
    ws2::closesocket(s);
}

TEST_F(Ws2Test, SelectOnAClosedSocketIsNotASocket)
{
    const ws2::SOCKET s = ws2::socket(AF_INET, SOCK_STREAM, 0);
    ws2::closesocket(s);
    ws2::fd_set readSet;
    ws2::FdZero(&readSet);
    ws2::FdSet(s, &readSet);
    const ws2::timeval zero{0, 0};
    EXPECT_EQ(ws2::select(-1, &readSet, nullptr, nullptr, &zero), ws2::SOCKET_ERROR);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAENOTSOCK);
}

TEST_F(Ws2Test, SetsHoldDescriptorsAboveTheLinuxSelectLimit)
{
    // Descriptors past 1023 would overrun a Linux fd_set; ours is a list.
    const ws2::SOCKET s = ws2::socket(AF_INET, SOCK_STREAM, 0);
    const int high = ::fcntl(static_cast<int>(s), F_DUPFD_CLOEXEC, 1500);
    if (high < 0)
        GTEST_SKIP() << "descriptor limit below 1500";
    ws2::fd_set writeSet;
    ws2::FdZero(&writeSet);
    ws2::FdSet(static_cast<ws2::SOCKET>(high), &writeSet);
    const ws2::timeval zero{0, 0};
    EXPECT_EQ(ws2::select(-1, nullptr, &writeSet, nullptr, &zero),
              1); // an unconnected socket is writable on Linux
    ::close(high);
    ws2::closesocket(s);
}

TEST(Ws2Startup, SocketsNeedAStartedLibrary)
{
    EXPECT_EQ(ws2::socket(AF_INET, SOCK_STREAM, 0), ws2::INVALID_SOCKET);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSANOTINITIALISED);
    EXPECT_EQ(ws2::WSACleanup(), ws2::SOCKET_ERROR);
    ws2::WSADATA data{};
    ws2::SetStartupFailure(ws2::WSASYSNOTREADY);
    EXPECT_EQ(ws2::WSAStartup(0x0002, &data), ws2::WSASYSNOTREADY);
    ws2::SetStartupFailure(0);
    EXPECT_EQ(ws2::WSAStartup(0x0002, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(ws2::WSACleanup(), 0);
}
// Dates follow the machine's locale settings, read under a temporary root,
// while the caller's environment says otherwise. One locale is compiled for
// the tests (de_DE: "%d.%m.%Y"); any other name the files give falls back to
// the US pattern.
class SystemLocale : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(fs::path(KV_TEST_LOCALES) / "de_DE" / "LC_TIME"));
        for (const char* key : {"LOCPATH", "LC_ALL", "LC_TIME", "LANG"})
            if (const char* value = std::getenv(key))
                m_saved[key] = value;
        ::setenv("LOCPATH", KV_TEST_LOCALES, 1);
        const std::string root = m_root.path.string();
        platform::SetSystemConfigRoot(&root);
        fs::create_directories(m_root.path / "etc" / "default");
    }
    void TearDown() override
    {
        platform::SetSystemConfigRoot(nullptr);
        for (const char* key : {"LOCPATH", "LC_ALL", "LC_TIME", "LANG"})
        {
            const auto at = m_saved.find(key);
            if (at == m_saved.end())
                ::unsetenv(key);
            else
                ::setenv(key, at->second.c_str(), 1);
        }
    }
    void Write(const char* file, const char* text)
    {
        if (text)
            std::ofstream(m_root.path / file) << text;
    }
    // The environment of the caller: every locale variable says the same.
    static void Environment(const char* name)
    {
        for (const char* key : {"LC_ALL", "LC_TIME", "LANG"})
            name ? ::setenv(key, name, 1) : ::unsetenv(key);
    }
    static std::string ShortDate(LCID locale)
    {
        char pattern[80] = {};
        GetLocaleInfoA(locale, LOCALE_SSHORTDATE, pattern, sizeof pattern);
        return pattern;
    }

    TempFolder m_root;
    std::map<std::string, std::string> m_saved;
};

struct LocaleSettings
{
    const char* name;
    const char* defaultLocale; // etc/default/locale; null: no such file
    const char* localeConf;    // etc/locale.conf; null: no such file
    const char* environment;
    const char* expected;
};

class SystemLocaleFiles : public SystemLocale, public ::testing::WithParamInterface<LocaleSettings>
{};

TEST_P(SystemLocaleFiles, DecideTheShortDateWhateverTheEnvironmentSays)
{
    const LocaleSettings& c = GetParam();
    Write("etc/default/locale", c.defaultLocale);
    Write("etc/locale.conf", c.localeConf);
    Environment(c.environment);
    EXPECT_EQ(ShortDate(LOCALE_SYSTEM_DEFAULT), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SystemLocaleFiles,
    ::testing::Values(
        LocaleSettings{"DebianFile", "LANG=de_DE\n", nullptr, "C", "dd.MM.yyyy"},
        LocaleSettings{"AsUpdateLocaleWritesIt",
                       "#  File generated by update-locale\n  export LANG=\"de_DE\"  \n", nullptr, "C",
                       "dd.MM.yyyy"},
        LocaleSettings{"NoSettingsIgnoresAGermanSession", nullptr, nullptr, "de_DE", "M/d/yyyy"},
        LocaleSettings{"CSettingIgnoresAGermanSession", "LANG=C.UTF-8\n", nullptr, "de_DE", "M/d/yyyy"},
        LocaleSettings{"SystemdFile", nullptr, "LANG='de_DE'\n", "C", "dd.MM.yyyy"},
        LocaleSettings{"DebianFileComesFirst", "LANG=C\n", "LANG=de_DE\n", "de_DE", "M/d/yyyy"},
        LocaleSettings{"DebianFileWithoutALocale", "# nothing set\n", "LC_TIME=de_DE\n", "C", "dd.MM.yyyy"},
        LocaleSettings{"TimeOverLang", "LC_TIME=de_DE\nLANG=C\n", nullptr, "C", "dd.MM.yyyy"},
        LocaleSettings{"TimeOverLangWrittenFirst", "LANG=C\nLC_TIME=de_DE\n", nullptr, "C", "dd.MM.yyyy"},
        LocaleSettings{"AllOverTime", "LC_TIME=C\nLC_ALL=de_DE\n", nullptr, "C", "dd.MM.yyyy"},
        LocaleSettings{"UnknownLocale", "LANG=xx_YY.UTF-8\n", nullptr, "de_DE", "M/d/yyyy"},
        LocaleSettings{"WindowsLinesAndNoLastLineFeed", "# by hand\r\nLANG=de_DE", nullptr, "C",
                       "dd.MM.yyyy"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SystemLocale, TheUserDefaultIsTheSessionsAndElseTheSystems)
{
    Write("etc/default/locale", "LANG=C\n");
    Environment("de_DE");
    EXPECT_EQ(ShortDate(LOCALE_USER_DEFAULT), "dd.MM.yyyy");
    EXPECT_EQ(ShortDate(LOCALE_SYSTEM_DEFAULT), "M/d/yyyy");

    Write("etc/default/locale", "LANG=de_DE\n");
    Environment(nullptr);
    EXPECT_EQ(ShortDate(LOCALE_USER_DEFAULT), "dd.MM.yyyy");
}

TEST_F(SystemLocale, ADateInTheSystemPattern)
{
    Write("etc/default/locale", "LANG=de_DE\n");
    Environment("en_US.UTF-8");
    const std::string pattern = ShortDate(LOCALE_SYSTEM_DEFAULT);
    SYSTEMTIME date{};
    date.wYear = 2026;
    date.wMonth = 12;
    date.wDay = 7;
    char text[80] = {};
    GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &date, pattern.c_str(), text, sizeof text);
    EXPECT_STREQ(text, "07.12.2026");
}
} // namespace

namespace
{
constexpr long kNoMemory = -8;
constexpr long kFailure = -31;

long Measure(int base, const char* text)
{
    if (text == nullptr)
        throw std::bad_alloc();
    if (*text == '!')
        throw std::runtime_error("refused");
    if (*text == '?')
        throw 42; // not even a std::exception
    return base + static_cast<long>(std::strlen(text));
}
} // namespace

TEST(ModuleEntry, PassesCallsThroughAndTurnsWhatIsThrownIntoStatuses)
{
    long (*entry)(int, const char*) = GuardedEntry<Measure, kNoMemory, kFailure>;
    static_assert(noexcept(GuardedEntry<Measure, kNoMemory, kFailure>(1, "")));
    EXPECT_EQ(entry(40, "ab"), 42);
    EXPECT_EQ(entry(7, nullptr), kNoMemory);
    EXPECT_EQ(entry(7, "!"), kFailure);
    EXPECT_EQ(entry(7, "?"), kFailure);
}
