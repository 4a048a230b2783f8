#include "module.h"
#include "version.h"
#include "wintime.h"
#include "ws2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
struct TempDir
{
    fs::path path;
    TempDir()
    {
        char name[] = "/tmp/kvtestXXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
};

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
    TempDir dir;
    SearchOnly only(dir.path);
    EXPECT_EQ(LoadLibraryA("KvTestModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    std::ofstream(dir.path / "libbroken.so") << "not a module";
    EXPECT_EQ(LoadLibraryA("Broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);

    fs::copy_file(fs::path(platform::ExecutableDirectory()) / "libkvtestmodule.so", dir.path / "libkvtestmodule.so");
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
    EXPECT_EQ(ws2::select(-1, nullptr, &writeSet, nullptr, &zero), 1); // an unconnected socket is writable on Linux
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
} // namespace
