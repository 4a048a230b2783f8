#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_clock.h"
#include "tcp_tester.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
class TcpTesterTest : public ::testing::Test
{
protected:
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
};

int PeerPort(int fd)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
    return ntohs(peer.sin_port);
}

// A greeting server that records the client's port, sends its chunks with a
// pause between them and then waits for the client to go.
struct GreetingServer
{
    std::atomic<int> clientPort{0};
    ScriptedServer server;
    explicit GreetingServer(std::vector<std::string> chunks, int pauseMs = 0, int holdMs = 3000)
        : server([this, chunks, pauseMs, holdMs](int fd) {
              clientPort = PeerPort(fd);
              for (const auto& chunk : chunks)
              {
                  SendAll(fd, chunk);
                  SleepMs(pauseMs);
              }
              DrainUntilClosed(fd, holdMs);
          })
    {}
};

Lines Head(const std::string& label, int port)
{
    return {"Attempting " + label, "Attempting to resolve gw.test...", "gw.test resolved to 127.0.0.1",
            "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...",
            "Connected to Server Successfully "};
}

Lines Append(Lines lines, const Lines& more)
{
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

TEST_F(TcpTesterTest, LowerCaseGreetingPasses)
{
    GreetingServer peer({"welcome, connected\x03"});
    CTcpTester tester(&m_owner);
    ASSERT_TRUE(tester.Test("gw.test", peer.server.Port(), "MERCURY LOMBRIX Primary"));
    const std::string source =
        "Source Address:127.0.0.1  Source Port(1024-5000):" + std::to_string(peer.clientPort.load()) + " ";
    EXPECT_EQ(m_owner.Lines(), Append(Head("MERCURY LOMBRIX Primary", peer.server.Port()),
                                      {source, "Received 'CONNECTED' From MERCURY LOMBRIX Primary",
                                       "Closing connection... ", "Connection Closed -- TEST SUCCESSFUL. "}));
}

TEST_F(TcpTesterTest, GreetingsThatPass)
{
    const std::vector<std::vector<std::string>> greetings = {
        {"CONNE", "CTED\x03"},         // split over two reads
        {"DISCONNECTED\x03"},          // merely contains the word
        {"NOT CONNECTED\x03", "junk"}, // rest after the terminator is dropped
        {"\x03", "CONNECTED\x03"},     // an empty first message, then the greeting
    };
    for (const auto& chunks : greetings)
    {
        GreetingServer peer(chunks, 150);
        CTcpTester tester(&m_owner);
        ASSERT_TRUE(tester.Connect("gw.test", peer.server.Port(), 2000));
        EXPECT_TRUE(tester.WaitForConnected(3000)) << chunks[0];
        EXPECT_EQ(m_owner.Lines().back(), "Received 'CONNECTED' From ");
    }
}

const Lines kTimedOutEnd = {"Timeout waiting for 'CONNECTED' From LBL", " TEST FAILED. ",
                            "Closing connection... ", "Connection Closed -- TEST FAILED. "};

// Each of these peers then falls silent: the test ends at the greeting's
// bound, 10 000 ms after the wait began (the connect took no time).
TEST_F(TcpTesterTest, GreetingsThatNeverCount)
{
    const std::vector<std::string> greetings = {
        "CONNECTED", // no terminator
        std::string("HELLO\x03"
                    "CONNECTED\x03"),            // only the first message of a read is examined
        std::string("HELLO\0CONNECTED\x03", 16), // the search stops at a NUL
        "",                                      // a greeter that never speaks
    };
    for (const auto& greeting : greetings)
    {
        CRecordingOwner owner;
        GreetingServer peer({greeting}, 0, 3000);
        CTestClock clock;
        CTcpTester tester(&owner);
        EXPECT_FALSE(tester.Test("gw.test", peer.server.Port(), "LBL"));
        EXPECT_EQ(clock.Moved(), 10000u) << greeting;
        const auto lines = owner.Lines();
        ASSERT_EQ(lines.size(), 10u) << greeting;
        EXPECT_EQ(Lines(lines.begin() + 6, lines.end()), kTimedOutEnd) << greeting;
        EXPECT_EQ(tester.GetLastErrorText(), "LOGIN_FAILED");
    }
}

TEST_F(TcpTesterTest, ConnectWaitIsBoundedByTenSeconds)
{
    DroppingListener full;
    CTestClock clock;
    CTcpTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", full.Port(), "LBL"));
    EXPECT_EQ(clock.Moved(), 10001u); // the bound and one pass
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(
        Lines(lines.end() - 3, lines.end()),
        (Lines{"** FAILED to Connect to LBL! ** ", " Socket Connect to LBL Failed.", " TEST FAILED. "}));
}

TEST_F(TcpTesterTest, PeerThatClosesAtOnceIsALostConnection)
{
    ScriptedServer server([](int) {});
    CTcpTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
    const auto lines = m_owner.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"Connection Lost To LBL", " TEST FAILED. ", "Closing connection... ",
                     "Connection Closed -- TEST FAILED. "}));
    EXPECT_EQ(tester.GetLastErrorText(), "CONNECTION LOST");
}

TEST_F(TcpTesterTest, ConnectFailuresEndWithoutClosingLines)
{
    const int port = ClosedPort();
    CTcpTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", port, "LBL"));
    EXPECT_FALSE(tester.Test("nohost.invalid", port, "OTHER %s"));
    EXPECT_EQ(m_owner.Lines(),
              (Lines{"Attempting LBL", "Attempting to resolve gw.test...", "gw.test resolved to 127.0.0.1",
                     "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...",
                     "** FAILED to Connect to LBL! ** ", " Socket Connect to LBL Failed.", " TEST FAILED. ",
                     "Attempting OTHER %s", "Attempting to resolve nohost.invalid...",
                     "** FAILED to Connect to OTHER %s! ** ", " DNS Lookup of nohost.invalid Failed!",
                     " TEST FAILED. "}));
}

TEST_F(TcpTesterTest, OneTesterServesSeveralTargets)
{
    GreetingServer first({"CONNECTED\x03"});
    GreetingServer second({"CONNECTED\x03"});
    CTcpTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", first.server.Port(), "A"));
    EXPECT_TRUE(tester.Test("gw.test", second.server.Port(), "B"));
    EXPECT_EQ(m_owner.Lines().back(), "Connection Closed -- TEST SUCCESSFUL. ");
}

long PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

TEST_F(TcpTesterTest, PeerStreamingWithoutTerminatorCannotGrowTheProcess)
{
    const std::string chunk(64 * 1024, 'A');
    ScriptedServer server([&](int fd) {
        // Streams until the client goes, for 8 s at most.
        const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        for (int i = 0; i < 1000000 && std::chrono::steady_clock::now() < stop && SendAll(fd, chunk); ++i)
        {}
    });
    { // reset the peak so only this test counts
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
    }
    const long before = PeakResidentKiB();
    CTestClock clock;
    clock.readyStepMs = 1; // 10 000 reads, far more than 64 KiB, before the bound
    CTcpTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
    server.Join();
    // A reader that kept everything would hold the 20 MB read. AddressSanitizer
    // holds freed blocks back a while, more so in newer releases.
    constexpr long kBoundKiB = KV_SANITIZE_ADDRESS ? 12 * 1024 : 4 * 1024;
    EXPECT_LT(PeakResidentKiB() - before, kBoundKiB);
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()), kTimedOutEnd);
}
} // namespace
