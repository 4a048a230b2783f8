#include "socket_client.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "wintime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
class SocketClientTest : public ::testing::Test
{
protected:
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
};

Lines ConnectLines(const std::string& host, int port)
{
    return {"Attempting to resolve " + host + "...", host + " resolved to 127.0.0.1",
            "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "..."};
}

long MillisSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST_F(SocketClientTest, ConnectWritesItsProgressAndLeavesABlockingSocket)
{
    LoopbackListener listener;
    CSocketClient client(&m_owner);
    client.m_label = "LBL";
    client.m_lastError = "earlier";
    ASSERT_TRUE(client.Connect("gw.test", listener.Port(), 2000));
    EXPECT_EQ(m_owner.Lines(), ConnectLines("gw.test", listener.Port()));
    EXPECT_NE(client.m_socket, ws2::INVALID_SOCKET);
    EXPECT_EQ(::fcntl(static_cast<int>(client.m_socket), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(client.m_host, "gw.test");
    EXPECT_STREQ(client.m_ipAddress, "127.0.0.1");
    EXPECT_EQ(client.m_port, listener.Port());
    EXPECT_EQ(client.m_lastError, "earlier"); // untouched on success
    EXPECT_EQ(client.Close(), 0);
    EXPECT_EQ(client.Close(), 0);
    EXPECT_EQ(client.m_socket, ws2::INVALID_SOCKET);
}

TEST_F(SocketClientTest, SecondConnectWithoutCloseFailsSilentlyAndKeepsTheFirst)
{
    LoopbackListener listener;
    CSocketClient client(&m_owner);
    client.m_label = "LBL";
    ASSERT_TRUE(client.Connect("gw.test", listener.Port(), 2000));
    const auto first = client.m_socket;
    const size_t lines = m_owner.Lines().size();
    EXPECT_FALSE(client.Connect("gw.test", listener.Port(), 2000));
    EXPECT_EQ(client.GetLastErrorText(), "Socket to LBL Already Open.");
    EXPECT_EQ(m_owner.Lines().size(), lines);
    EXPECT_EQ(client.m_socket, first);
    EXPECT_TRUE(client.IsConnected());
}

TEST_F(SocketClientTest, FailedStartupIsReportedByConnectOnly)
{
    ws2::SetStartupFailure(ws2::WSASYSNOTREADY);
    CSocketClient client(&m_owner);
    ws2::SetStartupFailure(0);
    EXPECT_FALSE(client.m_winsockReady);
    EXPECT_FALSE(client.Connect("gw.test", 1, 100));
    EXPECT_EQ(client.GetLastErrorText(), "TCPIP Startup  Failed.");
    EXPECT_TRUE(m_owner.Lines().empty());
}

TEST_F(SocketClientTest, UnresolvedNameStopsAfterTheFirstLine)
{
    CSocketClient client(&m_owner);
    client.m_label = "LBL";
    EXPECT_FALSE(client.Connect("nohost.invalid", 443, 100));
    EXPECT_EQ(m_owner.Lines(), (Lines{"Attempting to resolve nohost.invalid..."}));
    EXPECT_EQ(client.GetLastErrorText(), "DNS Lookup of nohost.invalid Failed!");
    EXPECT_EQ(client.m_socket, ws2::INVALID_SOCKET);
    EXPECT_EQ(client.m_host, "");
}

TEST_F(SocketClientTest, EmptyNameFailsTheLookupOnThisPlatform)
{
    ws2::SetResolver(nullptr); // the real lookup: an empty name gives no address here
    CSocketClient client(&m_owner);
    EXPECT_FALSE(client.Connect("", 443, 100));
    EXPECT_EQ(client.GetLastErrorText(), "DNS Lookup of  Failed!");
    EXPECT_EQ(m_owner.Lines(), (Lines{"Attempting to resolve ..."}));
}

TEST_F(SocketClientTest, AtSignSelectsTheHostAfterTheLastOneNotAtTheStart)
{
    LoopbackListener listener(16);
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("user@gw.test", listener.Port(), 2000));
    client.Close();
    ASSERT_TRUE(client.Connect("a@b@gw.test", listener.Port(), 2000));
    client.Close();
    EXPECT_FALSE(client.Connect("@gw.test", listener.Port(), 2000));
    EXPECT_EQ(m_resolver.Asked(), (std::vector<std::string>{"gw.test", "gw.test", "@gw.test"}));
    EXPECT_EQ(m_owner.Lines()[1], "user@gw.test resolved to 127.0.0.1");
    EXPECT_EQ(client.m_host, "a@b@gw.test");
}

TEST_F(SocketClientTest, ResolveHostReportsASmallBuffer)
{
    m_resolver.Add("wide.test", "255.255.255.254");
    CSocketClient client(&m_owner);
    char buffer[30];
    EXPECT_EQ(client.ResolveHost("wide.test", buffer, 16), 0);
    EXPECT_STREQ(buffer, "255.255.255.254");
    EXPECT_EQ(client.ResolveHost("wide.test", buffer, 15), 1);
    EXPECT_EQ(client.ResolveHost("nohost.invalid", buffer, 30), 2);
    EXPECT_EQ(client.ResolveHost("10.1.2.3", buffer, 30), 0);
    EXPECT_STREQ(buffer, "10.1.2.3");
}

TEST_F(SocketClientTest, RefusedPortFailsAtOnce)
{
    const int port = ClosedPort();
    CSocketClient client(&m_owner);
    client.m_label = "LBL";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("gw.test", port, 20000));
    EXPECT_LT(MillisSince(start), 10000); // ended by the refusal, not by the time-out
    EXPECT_EQ(client.GetLastErrorText(), "Socket Connect to LBL Failed.");
    EXPECT_EQ(m_owner.Lines(), ConnectLines("gw.test", port));
    EXPECT_EQ(client.m_socket, ws2::INVALID_SOCKET);
}

// A listener whose accept queue is full drops new SYNs, so the connect never completes.
struct FullListener
{
    LoopbackListener listener{0};
    std::vector<int> fillers;
    FullListener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(listener.Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 3; ++i)
        {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers.push_back(fd);
        }
        SleepMs(50);
    }
    ~FullListener()
    {
        for (int fd : fillers)
            ::close(fd);
    }
};

TEST_F(SocketClientTest, SilentPeerFailsAfterTheTimeOut)
{
    FullListener peer;
    CSocketClient client(&m_owner);
    client.m_label = "LBL";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("gw.test", peer.listener.Port(), 300));
    EXPECT_GE(MillisSince(start), 300);
    EXPECT_EQ(client.GetLastErrorText(), "Socket Connect to LBL Failed.");
    EXPECT_EQ(client.m_socket, ws2::INVALID_SOCKET);
}

TEST_F(SocketClientTest, TimeOutHoldsAcrossTheTickCounterWrap)
{
    platform::SetTickCountOffset(0xFFFFFFFFu - GetTickCount() - 100);
    FullListener peer;
    CSocketClient client(&m_owner);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("gw.test", peer.listener.Port(), 400));
    platform::SetTickCountOffset(0);
    EXPECT_GE(MillisSince(start), 400);
    EXPECT_LT(MillisSince(start), 5000);
}

TEST(Elapsed, WrapsAsTheCounterDoes)
{
    EXPECT_EQ(CSocketClient::ElapsedSince(100, 350), 250u);
    EXPECT_EQ(CSocketClient::ElapsedSince(0xFFFFFFF0u, 0x10u), 0x1Fu);
}

TEST_F(SocketClientTest, PortOutsideTheRangeConnectsModulo65536)
{
    LoopbackListener listener(16);
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("gw.test", listener.Port() + 65536, 2000));
    EXPECT_EQ(m_owner.Lines().back(),
              "Attempting to connect to 127.0.0.1 on port " + std::to_string(listener.Port() + 65536) + "...");
    EXPECT_EQ(client.m_port, listener.Port() + 65536);
    client.Close();
    ASSERT_TRUE(client.Connect("gw.test", listener.Port() - 65536, 2000));
    EXPECT_GE(listener.Accept(1000), 0);
}

TEST_F(SocketClientTest, SendLengthZeroMeansTheText)
{
    std::string received;
    ScriptedServer server([&](int fd) {
        char buffer[64];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            received.append(buffer, static_cast<size_t>(n));
    });
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("gw.test", server.Port(), 2000));
    EXPECT_EQ(client.Send("hello", 0), 5);
    EXPECT_EQ(client.Send("ab\0cd", 5), 5);
    EXPECT_EQ(client.Send("xyz", -3), 3);
    client.Close();
    server.Join();
    EXPECT_EQ(received, std::string("helloab\0cdxyz", 13));
}

TEST_F(SocketClientTest, LivenessFollowsThePeerAndUnreadBytes)
{
    ScriptedServer server([](int fd) {
        SendAll(fd, "abc");
        SleepMs(200);
    });
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("gw.test", server.Port(), 2000));
    server.Join(); // the peer sent three bytes and closed
    EXPECT_TRUE(client.HasPendingData());
    EXPECT_TRUE(client.IsConnected()); // unread bytes are still queued
    char buffer[8];
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), 3);
    EXPECT_FALSE(client.HasPendingData());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), 0);
}

TEST_F(SocketClientTest, LiveQuietPeerIsConnected)
{
    LoopbackListener listener;
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("gw.test", listener.Port(), 2000));
    const int peer = listener.Accept(1000);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_FALSE(client.HasPendingData());
    ::close(peer);
    SleepMs(50);
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(SocketClientTest, OperationsWithoutASocketFailCleanly)
{
    CSocketClient client(&m_owner);
    EXPECT_EQ(client.SetNonBlocking(1), 1);
    EXPECT_FALSE(client.HasPendingData());
    EXPECT_FALSE(client.IsConnected());
    char buffer[4];
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), ws2::SOCKET_ERROR);
    EXPECT_EQ(client.Send("x", 1), ws2::SOCKET_ERROR);
    EXPECT_EQ(client.Close(), 0);
}

TEST_F(SocketClientTest, SendToAClosedPeerRaisesNoSignal)
{
    ScriptedServer server([](int) {});
    CSocketClient client(&m_owner);
    ASSERT_TRUE(client.Connect("gw.test", server.Port(), 2000));
    server.Join();
    SleepMs(50);
    std::string big(256 * 1024, 'x');
    int result = 0;
    for (int i = 0; i < 20 && result != ws2::SOCKET_ERROR; ++i)
        result = client.Send(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(result, ws2::SOCKET_ERROR); // and the process is still here
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAECONNRESET);
}
} // namespace
