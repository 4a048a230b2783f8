#include "liveness.h"
#include "socket_client.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_clock.h"

#include <gtest/gtest.h>

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

// A client as a tester holds it: with the label of its target.
class CLabelledClient : public CSocketClient
{
public:
    CLabelledClient(CHistoryOwner* owner, const std::string& label) : CSocketClient(owner)
    {
        m_label = label;
    }
};

Lines ConnectLines(const std::string& host, int port)
{
    return {"Attempting to resolve " + host + "...", host + " resolved to 127.0.0.1",
            "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "..."};
}

TEST_F(SocketClientTest, ConnectWritesItsProgressAndLeavesABlockingSocket)
{
    ScriptedServer server([](int fd) {
        SleepMs(200); // the client is in its read by now
        SendAll(fd, "abc");
        DrainUntilClosed(fd, 3000);
    });
    CLabelledClient client(&m_owner, "LBL");
    EXPECT_FALSE(client.Connect("nohost.invalid", 443, 100));
    m_owner.ClearHistory();
    ASSERT_TRUE(client.Connect("gw.test", server.Port(), 2000));
    EXPECT_EQ(m_owner.Lines(), ConnectLines("gw.test", server.Port()));
    EXPECT_EQ(client.GetLastErrorText(), "DNS Lookup of nohost.invalid Failed!"); // untouched on success
    EXPECT_TRUE(client.IsConnected());
    char buffer[8];
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), 3); // a blocking read waits for the bytes
    EXPECT_EQ(client.Close(), 0);
    EXPECT_EQ(client.Close(), 0);
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(SocketClientTest, SecondConnectWithoutCloseFailsSilentlyAndKeepsTheFirst)
{
    LoopbackListener listener;
    CLabelledClient client(&m_owner, "LBL");
    ASSERT_TRUE(client.Connect("gw.test", listener.Port(), 2000));
    const int peer = listener.Accept(1000);
    ASSERT_GE(peer, 0);
    const size_t lines = m_owner.Lines().size();
    EXPECT_FALSE(client.Connect("gw.test", listener.Port(), 2000));
    EXPECT_EQ(client.GetLastErrorText(), "Socket to LBL Already Open.");
    EXPECT_EQ(m_owner.Lines().size(), lines);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.Send("x", 1), 1); // still on the first connection
    char byte = 0;
    EXPECT_EQ(::recv(peer, &byte, 1, 0), 1);
    ::close(peer);
}

TEST_F(SocketClientTest, FailedStartupIsReportedByConnectOnly)
{
    ws2::SetStartupFailure(ws2::WSASYSNOTREADY);
    CSocketClient client(&m_owner);
    ws2::SetStartupFailure(0);
    EXPECT_FALSE(client.Connect("gw.test", 1, 100));
    EXPECT_EQ(client.GetLastErrorText(), "TCPIP Startup  Failed.");
    EXPECT_TRUE(m_owner.Lines().empty());
}

TEST_F(SocketClientTest, UnresolvedNameStopsAfterTheFirstLine)
{
    CLabelledClient client(&m_owner, "LBL");
    EXPECT_FALSE(client.Connect("nohost.invalid", 443, 100));
    EXPECT_EQ(m_owner.Lines(), (Lines{"Attempting to resolve nohost.invalid..."}));
    EXPECT_EQ(client.GetLastErrorText(), "DNS Lookup of nohost.invalid Failed!");
    EXPECT_FALSE(client.IsConnected());
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
    CTestClock clock;
    CLabelledClient client(&m_owner, "LBL");
    EXPECT_FALSE(client.Connect("gw.test", port, 10000));
    EXPECT_EQ(clock.Moved(), 0u); // ended by the refusal, not by the time-out
    EXPECT_EQ(client.GetLastErrorText(), "Socket Connect to LBL Failed.");
    EXPECT_EQ(m_owner.Lines(), ConnectLines("gw.test", port));
    EXPECT_FALSE(client.IsConnected());
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

// A silent server costs the time-out plus one pass. Across the tick
// counter's wrap the elapsed time is counted one less, as (2^32 - 1) -
// start + now, so the wait takes one pass more there.
struct TickStart
{
    DWORD ticks;
    uint64_t waited;
};

class SilentConnect : public SocketClientTest, public ::testing::WithParamInterface<TickStart>
{};

TEST_P(SilentConnect, FailsOnePassAfterTheTimeOut)
{
    FullListener peer;
    CTestClock clock(GetParam().ticks);
    CLabelledClient client(&m_owner, "LBL");
    EXPECT_FALSE(client.Connect("gw.test", peer.listener.Port(), 10000));
    EXPECT_EQ(clock.Moved(), GetParam().waited);
    EXPECT_EQ(client.GetLastErrorText(), "Socket Connect to LBL Failed.");
    EXPECT_EQ(m_owner.Lines(), ConnectLines("gw.test", peer.listener.Port()));
    EXPECT_FALSE(client.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(TickCounter, SilentConnect,
                         ::testing::Values(TickStart{1000u, 10001u}, TickStart{0xFFFFFFFFu - 100u, 10002u}));

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
    EXPECT_EQ(m_owner.Lines().back(), "Attempting to connect to 127.0.0.1 on port " +
                                          std::to_string(listener.Port() + 65536) + "...");
    EXPECT_GE(listener.Accept(1000), 0);
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
// The liveness check's conclusions, row by row of its table.
TEST(Liveness, SelectErrorsThatMeanTheConnectionIsGone)
{
    for (int error : {ws2::WSAENOTSOCK, ws2::WSAENETDOWN, ws2::WSANOTINITIALISED})
        EXPECT_TRUE(liveness::SelectErrorMeansGone(error)) << error;
    for (int error : {ws2::WSAEINTR, ws2::WSAEINVAL, ws2::WSAENOBUFS, ws2::WSAEFAULT})
        EXPECT_FALSE(liveness::SelectErrorMeansGone(error)) << error;
}

struct PeekRow
{
    int selectCount;
    int peeked;
    int error;
    bool connected;
};

class LivenessPeek : public ::testing::TestWithParam<PeekRow>
{};

TEST_P(LivenessPeek, ConcludesAsTheTableSays)
{
    const PeekRow r = GetParam();
    EXPECT_EQ(liveness::PeekMeansConnected(r.selectCount, r.peeked, r.error), r.connected);
}

std::vector<PeekRow> PeekRows()
{
    std::vector<PeekRow> rows = {
        {1, 1, 0, true}, // a byte waits
        {0, 1, 0, true},
        {1, 0, 0, false}, // readable, nothing to read: closed
        {0, 0, 0, true},
        {-1, 0, 0, true}, // the select failed: not known to be readable
        {1, -1, ws2::WSAEWOULDBLOCK, false},
        {0, -1, ws2::WSAEWOULDBLOCK, true},
        {-1, -1, ws2::WSAEWOULDBLOCK, true},
        {1, -1, ws2::WSAEINPROGRESS, true},
        {1, -1, ws2::WSAENOBUFS, true}, // any error not in the table
        {0, -1, ws2::WSAENOTCONN, true},
    };
    for (int error : {ws2::WSAEINTR, ws2::WSAEFAULT, ws2::WSAEINVAL, ws2::WSAENOTSOCK, ws2::WSAEMSGSIZE,
                      ws2::WSAEOPNOTSUPP, ws2::WSAENETDOWN, ws2::WSAENETRESET, ws2::WSAECONNABORTED,
                      ws2::WSAECONNRESET, ws2::WSAEISCONN, ws2::WSAESHUTDOWN, ws2::WSAETIMEDOUT})
        rows.push_back({0, -1, error, false});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, LivenessPeek, ::testing::ValuesIn(PeekRows()));
} // namespace
