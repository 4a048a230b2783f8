// The TLS connection test against loopback peers: exact history lines for
// each way a target can end.
#include "app_flags.h"
#include "cert_services.h"
#include "module.h"
#include "ssl_tester.h"
#include "support/fake_resolver.h"
#include "support/history_match.h"
#include "support/recording_owner.h"
#include "support/recording_sink.h"
#include "support/test_clock.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"
#include "version.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <filesystem>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace
{
const std::string kInter = "C=US, O=Kestavane Test, CN=Kestavane Test Intermediate";
const std::string kRoot = "C=US, O=Kestavane Test, CN=Kestavane Test Root";

// Dates as the US short pattern writes them, read straight from the certificate.
Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Lines Opening(const std::string& label, const std::string& host, int port)
{
    return {"Attempting " + label,
            "Creating Client Credentials....",
            "Credentials created.",
            "Attempting to resolve " + host + "...",
            host + " resolved to 127.0.0.1",
            "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...",
            "Connected to Server Successfully ",
            "Source Address:127.0.0.1  Source Port(1024-5000):N ",
            "Attempting SSL Handshake... "};
}

Lines LeafReport(X509* leaf, const std::string& serial, int extensions, const std::string& name)
{
    return {"",
            "Server issuer: " + kInter,
            "Serial Number is: " + serial,
            "valid from " + UsDate(X509_get0_notBefore(leaf)) + " to " + UsDate(X509_get0_notAfter(leaf)),
            std::to_string(extensions) + " extensions",
            "Server cert name : " + name,
            "--"};
}

const Lines kInterBlock = {"CA subject: " + kInter, "CA issuer: " + kRoot, "Serial Number is: 0x10 0x02 ",
                           "--"};
const Lines kSuccessEnd = {"Sending SSL Shutdown... ", "Closing connection... ",
                           "Connection Closed -- TEST SUCCESSFUL. "};
const Lines kFailedEnd = {"Closing connection... ", "Connection Closed -- TEST FAILED. "};

class SslTesterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string c = "C";
        platform::SetSystemLocaleName(&c);
        IsWin9x = false;
    }
    void TearDown() override
    {
        platform::SetSystemLocaleName(nullptr);
        platform::SetVersionAnswer(std::nullopt);
        IsWin9x = false;
    }

    Lines Masked() const { return WithSourcePortMasked(m_owner.Lines()); }

    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
};

TlsPeerOptions PeerFor(const Identity& id)
{
    TlsPeerOptions o;
    o.cert = id.cert.get();
    o.key = id.key.get();
    o.chain = id.chain;
    return o;
}

TEST_F(SslTesterTest, ValidChainWritesTheWholeSuccessSequence)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test", "DNS:localhost"}, false, -1, 30, 0x1234});
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "VITAL TNS"));
    peer.Join();
    const Lines expected = Concat(
        {Opening("VITAL TNS", "gw.test", peer.Port()),
         {"SSL Handshake was successful. ", "Header: 13, Trailer: 16, MaxMessage: 16384", "Protocol: TLS1.2",
          "Cipher: AES(256)", "Cipher strength: 256", "Hash: SHA_384", "Hash strength: 384",
          "Key exchange: Elliptic Curve DH Ephemeral", "Key exchange strength: 255"},
         LeafReport(id.cert.get(), "0x12 0x34 ", 5, "gw.test"),
         kInterBlock,
         kSuccessEnd});
    EXPECT_EQ(Masked(), expected);
    const TlsPeerResult seen = peer.Result();
    EXPECT_TRUE(seen.closeNotify);
    EXPECT_EQ(seen.serverName, "gw.test");
}

TEST_F(SslTesterTest, RsaServerReportsItsSuite)
{
    Identity id = m_pki.Leaf({"/O=Shop/CN=rsa.test", {"DNS:gw.test"}, false, -1, 30, 0x0A}, true);
    TlsPeerOptions options = PeerFor(id);
    options.maxVersion = TLS1_2_VERSION;
    options.cipherList = "ECDHE-RSA-AES256-GCM-SHA384";
    TlsPeer peer(options);
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    const Lines report(lines.begin() + 10, lines.begin() + 18);
    EXPECT_EQ(report,
              (Lines{"Header: 13, Trailer: 16, MaxMessage: 16384", "Protocol: TLS1.2", "Cipher: AES(256)",
                     "Cipher strength: 256", "Hash: SHA_384", "Hash strength: 384",
                     "Key exchange: Elliptic Curve DH Ephemeral", "Key exchange strength: 255"}));
    EXPECT_EQ(lines[20], "Serial Number is: 0x0a ");
    EXPECT_EQ(lines[23], "Server cert name : rsa.test");
}

struct Rejection
{
    const char* name;
    int notBefore, notAfter;
    bool selfSigned;
    const char* host;
    int error;
    const char* text;
};

class SslRejection : public SslTesterTest, public ::testing::WithParamInterface<Rejection>
{};

TEST_P(SslRejection, ReportIsWrittenThenTheFailurePairAndNoShutdown)
{
    const Rejection r = GetParam();
    Identity id;
    if (r.selfSigned)
    {
        id.key = MakeEcKey();
        id.cert = MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 0x33}, id.key.get(), nullptr,
                           id.key.get());
    }
    else
        id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, r.notBefore, r.notAfter, 0x33});
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test(r.host, peer.Port(), "LBL"));
    peer.Join();
    const std::string pair =
        "VerifyCertificateChain Failed (F) - Error = " + std::to_string(r.error) + " more: ";
    Lines report = r.selfSigned ? Lines{"",
                                        "Server issuer: CN=gw.test",
                                        "Serial Number is: 0x33 ",
                                        "valid from " + UsDate(X509_get0_notBefore(id.cert.get())) + " to " +
                                            UsDate(X509_get0_notAfter(id.cert.get())),
                                        "4 extensions",
                                        "Server cert name : gw.test",
                                        "--"}
                                : Concat({LeafReport(id.cert.get(), "0x33 ", 5, "gw.test"), kInterBlock});
    const Lines lines = Masked();
    const Lines tail(lines.begin() + 18, lines.end());
    EXPECT_EQ(tail, Concat({report, {pair, pair + r.text}, kFailedEnd}));
    EXPECT_FALSE(peer.Result().closeNotify);
}

INSTANTIATE_TEST_SUITE_P(Certificates, SslRejection,
                         ::testing::Values(Rejection{"WrongName", -1, 30, false, "localhost", -2146762481,
                                                     "SSL Certificate Common Name Does Not Match."},
                                           Rejection{"SelfSigned", -1, 30, true, "gw.test", -2146762487,
                                                     "SSL Certificate - Untrusted Root"},
                                           Rejection{"Expired", -3, -1, false, "gw.test", -2146762495,
                                                     "SSL Certificate is Expired."}),
                         [](const ::testing::TestParamInfo<Rejection>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SslTesterTest, DottedAddressIsCheckedAsItsTextAndSendsNoServerName)
{
    Identity withIp = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test", "IP:127.0.0.1"}});
    TlsPeer peer(PeerFor(withIp));
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("127.0.0.1", peer.Port(), "LBL"));
    peer.Join();
    EXPECT_EQ(peer.Result().serverName, "");

    Identity withoutIp = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeer other(PeerFor(withoutIp));
    EXPECT_FALSE(tester.Test("127.0.0.1", other.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[lines.size() - 3], "VerifyCertificateChain Failed (F) - Error = -2146762481 more: "
                                       "SSL Certificate Common Name Does Not Match.");
}

TEST_F(SslTesterTest, PeersThatMisbehaveDuringTheHandshake)
{
    struct Case
    {
        const char* name;
        ScriptedServer::Script script;
        std::string reason;
    };
    std::string garbage(64 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : garbage)
        c = static_cast<char>(random());
    garbage[0] = 'G'; // not a record type
    const std::vector<Case> cases = {
        {"closes after the ClientHello",
         [](int fd) {
             char buffer[2048];
             ::recv(fd, buffer, sizeof buffer, 0);
         },
         "LBL disconnected unexpectedly."},
        {"answers in plain text",
         [](int fd) {
             char buffer[2048];
             ::recv(fd, buffer, sizeof buffer, 0);
             SendAll(fd, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
             DrainUntilClosed(fd, 3000);
         },
         "InitializeSecurityContext Failed(2) - Status = -2146893048"},
        {"sends 64 KiB of garbage",
         [&garbage](int fd) {
             char buffer[2048];
             ::recv(fd, buffer, sizeof buffer, 0);
             SendAll(fd, garbage);
             DrainUntilClosed(fd, 3000);
         },
         "InitializeSecurityContext Failed(2) - Status = -2146893048"},
    };
    for (const auto& c : cases)
    {
        CRecordingOwner owner;
        ScriptedServer server(c.script);
        CSslTester tester(&owner);
        EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL")) << c.name;
        const Lines lines = owner.Lines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
                  Concat({{"** FAILED to Handshake with LBL! **  " + c.reason}, kFailedEnd}))
            << c.name;
    }
}

TEST_F(SslTesterTest, SilentPeerEndsTheHandshakeAfterTenSeconds)
{
    ScriptedServer server([](int fd) { DrainUntilClosed(fd, 3000); });
    CTestClock clock;
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
    EXPECT_EQ(clock.Moved(), 10000u); // one read's bound
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              Concat({{"** FAILED to Handshake with LBL! **  LBL disconnected unexpectedly."}, kFailedEnd}));
}

TEST_F(SslTesterTest, ConnectWaitIsBoundedByTenSeconds)
{
    DroppingListener full;
    CTestClock clock;
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", full.Port(), "LBL"));
    EXPECT_EQ(clock.Moved(), 10001u); // the bound and one pass
    EXPECT_EQ(m_owner.Lines().back(), " TEST FAILED. ");
}

// The server's flight cut into segments of one size: a read may end inside
// a record, and the provider hands back what it has not consumed.
class ServerFlightInSegments : public SslTesterTest, public ::testing::WithParamInterface<size_t>
{};

TEST_P(ServerFlightInSegments, HandshakeSucceeds)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION})
    {
        CRecordingOwner owner;
        TlsPeerOptions options = PeerFor(id);
        options.maxVersion = version;
        options.cut = GetParam();
        options.cutPauseUs = GetParam() == 0 ? 0 : GetParam() == 1 ? 100 : 2000;
        TlsPeer peer(options);
        CSslTester tester(&owner);
        EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "LBL")) << version;
        peer.Join();
        EXPECT_EQ(owner.Lines().back(), "Connection Closed -- TEST SUCCESSFUL. ") << version;
        EXPECT_TRUE(peer.Result().closeNotify) << version;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ServerFlightInSegments,
                         ::testing::Values(size_t{1}, size_t{100}, size_t{700}, size_t{0}),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return info.param == 0 ? std::string("WholeFlight")
                                                    : "Bytes" + std::to_string(info.param);
                         });

// The peer reads the ClientHello, answers with a ServerHello that is cut
// short, and keeps what the client sends next.
TEST_F(SslTesterTest, ProviderAlertOnAFailureReachesThePeer)
{
    std::string afterHello;
    ScriptedServer server([&afterHello](int fd) {
        char buffer[4096];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
        SendAll(fd, std::string("\x16\x03\x03\x00\x04\x02\x00\x00\x00", 9));
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 3000) > 0)
        {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            afterHello.append(buffer, static_cast<size_t>(n));
        }
    });
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
    server.Join();
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[lines.size() - 3].rfind(
                  "** FAILED to Handshake with LBL! **  InitializeSecurityContext Failed(2)", 0),
              0u);
    ASSERT_GE(afterHello.size(), 7u);
    EXPECT_EQ(afterHello[0], '\x15'); // an alert record
    EXPECT_EQ(afterHello[5], '\x02'); // fatal
}

// Faults put into the client's own socket at a wait of the test: the send or
// the read that follows fails.
class SocketFaults : public SslTesterTest
{
protected:
    Lines RunWith(std::function<void(int fd, CWaitClock::Event event)> fault, int maxVersion = TLS1_3_VERSION)
    {
        Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
        TlsPeerOptions options = PeerFor(id);
        options.maxVersion = maxVersion;
        options.lifetimeMs = 5000;
        TlsPeer peer(options);
        CTestClock clock(1000, 3000);
        bool done = false;
        clock.onWait = [&](ws2::SOCKET socket, CWaitClock::Event event) {
            if (!done)
                fault(static_cast<int>(socket), event);
            done = done || event == CWaitClock::Event::Readable;
        };
        CSslTester tester(&m_owner);
        EXPECT_FALSE(tester.Test("gw.test", peer.Port(), "LBL"));
        const Lines lines = m_owner.Lines();
        return Lines(lines.end() - 3, lines.end());
    }
};

TEST_F(SocketFaults, FirstTokenCannotBeSent)
{
    const Lines end = RunWith([](int fd, CWaitClock::Event event) {
        if (event != CWaitClock::Event::Connected)
            return;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 3000); // connected, then no more sending
        ::shutdown(fd, SHUT_WR);
    });
    EXPECT_EQ(end, Concat({{"** FAILED to Handshake with LBL! **  Socket Error 10054 sending to LBL"},
                           kFailedEnd}));
}

TEST_F(SocketFaults, TokenInsideTheLoopCannotBeSent)
{
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION})
    {
        m_owner.ClearHistory();
        const Lines end = RunWith(
            [](int fd, CWaitClock::Event event) {
                if (event == CWaitClock::Event::Readable)
                    ::shutdown(fd,
                               SHUT_WR); // the ClientHello is out; the answer to the server's flight is not
            },
            version);
        EXPECT_EQ(end, Concat({{"** FAILED to Handshake with LBL! **  Socket Error 10054 sending to  LBL"},
                               kFailedEnd}))
            << version;
    }
}

TEST_F(SocketFaults, ReadFailsRatherThanFindingTheEnd)
{
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const Lines end = RunWith([&pipeEnds](int fd, CWaitClock::Event event) {
        if (event != CWaitClock::Event::Readable)
            return;
        // The descriptor now has a byte waiting, but is no socket: the read fails.
        EXPECT_EQ(::write(pipeEnds[1], "x", 1), 1);
        EXPECT_EQ(::dup2(pipeEnds[0], fd), fd);
    });
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(end, Concat({{"** FAILED to Handshake with LBL! **  Socket Error 10038 receiving from LBL"},
                           kFailedEnd}));
}

// The host name resolves (an empty name here), the handshake passes, and the
// verification refuses to check a certificate against no name.
TEST_F(SslTesterTest, EmptyHostFailsTheVerificationBeforeTheReport)
{
    m_resolver.Add("", "127.0.0.1");
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("", peer.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[17], "Key exchange strength: 255");
    EXPECT_EQ(Lines(lines.begin() + 18, lines.end()),
              Concat({{"VerifyServerCertificate Failed (A) - The target principal name is incorrect."},
                      kFailedEnd}));
    EXPECT_FALSE(peer.Result().closeNotify);
}

BOOL WINAPI ChainThatCannotBeBuilt(HCERTCHAINENGINE, PCCERT_CONTEXT, const FILETIME*, HCERTSTORE,
                                   const CERT_CHAIN_PARA*, DWORD, void*, PCCERT_CHAIN_CONTEXT*)
{
    SetLastError(CRYPT_E_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI PolicyThatCannotRun(const char*, PCCERT_CHAIN_CONTEXT, const CERT_CHAIN_POLICY_PARA*,
                                CERT_CHAIN_POLICY_STATUS*)
{
    SetLastError(E_INVALIDARG);
    return FALSE;
}

// Certificate services that fail where the platform's never do: the report
// stands, then the failure line, and no shutdown is sent.
TEST_F(SslTesterTest, ChainServicesThatFail)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 0x44});
    CertChainServices noChain;
    noChain.getCertificateChain = ChainThatCannotBeBuilt;
    CertChainServices noPolicy;
    noPolicy.verifyCertificateChainPolicy = PolicyThatCannotRun;
    const std::vector<std::pair<const CertChainServices*, std::string>> cases = {
        {&noChain, "CertGetCertificateChain Failed (D) Errod -2146885628"},
        {&noPolicy, "VerifyCertificateChain Failed (E) - Status = -2147024809"},
    };
    for (const auto& [services, line] : cases)
    {
        CRecordingOwner owner;
        TlsPeer peer(PeerFor(id));
        SetChainServices(services);
        CSslTester tester(&owner);
        EXPECT_FALSE(tester.Test("gw.test", peer.Port(), "LBL"));
        SetChainServices(nullptr);
        peer.Join();
        const Lines lines = WithSourcePortMasked(owner.Lines());
        const Lines tail(lines.begin() + 18, lines.end());
        EXPECT_EQ(
            tail,
            Concat({LeafReport(id.cert.get(), "0x44 ", 5, "gw.test"), kInterBlock, {line}, kFailedEnd}));
        EXPECT_FALSE(peer.Result().closeNotify);
    }
}

TEST_F(SslTesterTest, PeersThatAreOddButSound)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    std::vector<std::pair<const char*, TlsPeerOptions>> cases;
    TlsPeerOptions certRequest = PeerFor(id);
    certRequest.requestClientCert = true;
    cases.emplace_back("client certificate request", certRequest);
    TlsPeerOptions appData = PeerFor(id);
    appData.maxVersion = TLS1_2_VERSION;
    appData.appDataAfterHandshake = "hello, client";
    cases.emplace_back("application data after the handshake", appData);
    for (auto& [name, options] : cases)
    {
        CRecordingOwner owner;
        TlsPeer peer(options);
        CSslTester tester(&owner);
        EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "LBL")) << name;
        peer.Join();
        EXPECT_EQ(owner.Lines().back(), "Connection Closed -- TEST SUCCESSFUL. ") << name;
        EXPECT_TRUE(peer.Result().closeNotify) << name;
        EXPECT_FALSE(peer.Result().clientSentCertificate) << name;
    }
}

TEST_F(SslTesterTest, IssuerCycleInWhatTheServerSentEndsTheWalk)
{
    Key aKey = MakeEcKey(), bKey = MakeEcKey(), leafKey = MakeEcKey();
    // A is issued by B and B by A: each names the other.
    Cert bSeed = MakeCert({"/CN=B", {}, true, -1, 30, 0xB0}, bKey.get(), nullptr, bKey.get());
    Cert a = MakeCert({"/CN=A", {}, true, -1, 30, 0xA1}, aKey.get(), bSeed.get(), bKey.get());
    Cert b = MakeCert({"/CN=B", {}, true, -1, 30, 0xB1}, bKey.get(), a.get(), aKey.get());
    Cert leaf =
        MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 0x01}, leafKey.get(), a.get(), aKey.get());
    TlsPeerOptions options;
    options.cert = leaf.get();
    options.key = leafKey.get();
    options.chain = {a.get(), b.get()};
    TlsPeer peer(options);
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", peer.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    const Lines walk(lines.begin() + 25, lines.end() - 4);
    EXPECT_EQ(walk, (Lines{"CA subject: CN=A", "CA issuer: CN=B", "Serial Number is: 0x00 0xa1 ", "--",
                           "CA subject: CN=B", "CA issuer: CN=A", "Serial Number is: 0x00 0xb1 ", "--"}));
    EXPECT_EQ(
        lines[lines.size() - 3],
        "VerifyCertificateChain Failed (F) - Error = -2146762487 more: SSL Certificate - Untrusted Root");
}

TEST_F(SslTesterTest, AbsurdlyLongChainEndsTheWalkAtItsBound)
{
    // Forty CAs, each issuing the next; the server sends them all.
    std::vector<Key> keys;
    std::vector<Cert> cas;
    keys.push_back(MakeEcKey());
    cas.push_back(MakeCert({"/CN=CA 0", {}, true, -1, 30, 100}, keys[0].get(), nullptr, keys[0].get()));
    for (int i = 1; i < 40; ++i)
    {
        keys.push_back(MakeEcKey());
        cas.push_back(MakeCert({"/CN=CA " + std::to_string(i), {}, true, -1, 30, 100 + i}, keys[i].get(),
                               cas[i - 1].get(), keys[i - 1].get()));
    }
    Key leafKey = MakeEcKey();
    Cert leaf = MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 1}, leafKey.get(), cas.back().get(),
                         keys.back().get());
    TlsPeerOptions options;
    options.cert = leaf.get();
    options.key = leafKey.get();
    for (int i = 39; i >= 0; --i)
        options.chain.push_back(cas[i].get());
    TlsPeer peer(options);
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", peer.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--"), 1 + 16); // the server's block and sixteen issuers
    EXPECT_EQ(lines.back(), "Connection Closed -- TEST FAILED. ");
}

TEST_F(SslTesterTest, SecondTestOnOneObjectRebindsAndRunsTheWholeSequence)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeerOptions options = PeerFor(id);
    options.connections = 2;
    TlsPeer peer(options);
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "Primary"));
    const size_t first = m_owner.Lines().size();
    EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "Secondary"));
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines.size(), 2 * first);
    EXPECT_EQ(lines[first], "Attempting Secondary");
    EXPECT_EQ(lines[first + 1], "Creating Client Credentials....");
}

TEST_F(SslTesterTest, ConnectFailuresEndWithTheReason)
{
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("no%s%dhost.invalid", 443, "USER DEFINED GATEWAY AND PORT"));
    const int port = ClosedPort();
    EXPECT_FALSE(tester.Test("gw.test", port, "LBL"));
    EXPECT_EQ(
        m_owner.Lines(),
        (Lines{"Attempting USER DEFINED GATEWAY AND PORT", "Creating Client Credentials....",
               "Credentials created.", "Attempting to resolve no%s%dhost.invalid...",
               "** FAILED to Connect to USER DEFINED GATEWAY AND PORT! ** DNS Lookup of no%s%dhost.invalid "
               "Failed!",
               " TEST FAILED. ", "Attempting LBL", "Creating Client Credentials....", "Credentials created.",
               "Attempting to resolve gw.test...", "gw.test resolved to 127.0.0.1",
               "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...",
               "** FAILED to Connect to LBL! ** Socket Connect to LBL Failed.", " TEST FAILED. "}));
}

// Provider modules that are missing or broken, reached through the loader's folder.
class ProviderModule : public SslTesterTest
{
protected:
    void SetUp() override
    {
        SslTesterTest::SetUp();
        char name[] = "/tmp/kvmodXXXXXX";
        m_dir = ::mkdtemp(name);
        SetDllDirectoryA(m_dir.c_str());
        platform::SetDefaultModuleSearch(false);
    }
    void TearDown() override
    {
        SetDllDirectoryA(nullptr);
        platform::SetDefaultModuleSearch(true);
        fs::remove_all(m_dir);
        SslTesterTest::TearDown();
    }
    void Provide(const std::string& built, const std::string& as)
    {
        fs::copy_file(fs::path(platform::ExecutableDirectory()) / built, fs::path(m_dir) / as);
    }
    Lines RunOnce()
    {
        CSslTester tester(&m_owner);
        EXPECT_FALSE(tester.Test("gw.test", 443, "LBL"));
        return m_owner.Lines();
    }
    std::string m_dir;
};

TEST_F(ProviderModule, Missing)
{
    EXPECT_EQ(RunOnce(), (Lines{"Attempting LBL", "Creating Client Credentials....",
                                "Error 0x7e loading Secur32.dll."}));
}

TEST_F(ProviderModule, WithoutTheEntryPoint)
{
    Provide("libkvtestmodule.so", "libsecur32.so");
    EXPECT_EQ(RunOnce(), (Lines{"Attempting LBL", "Creating Client Credentials....",
                                "Error 0x7f reading InitSecurityInterface entry point."}));
}

TEST_F(ProviderModule, GivingNoTable)
{
    Provide("libnullprovider.so", "libsecur32.so");
    EXPECT_EQ(RunOnce(), (Lines{"Attempting LBL", "Creating Client Credentials....",
                                "Error 0x8 reading security interface."}));
}

TEST_F(ProviderModule, RefusingCredentials)
{
    Provide("librefusingprovider.so", "libsecur32.so");
    const long references = platform::LiveModuleReferences();
    CRecordingSink sink;
    m_owner.SetResultSink(&sink);
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", 443, "LBL"));
    EXPECT_EQ(m_owner.Lines(), (Lines{"Attempting LBL", "Creating Client Credentials....",
                                      "**** Error 0x8009030e returned by AcquireCredentialsHandle"}));
    EXPECT_EQ(platform::LiveModuleReferences(), references); // unloaded at once
    // The credentials belong to the handshake's step in the record.
    ASSERT_EQ(sink.targets.size(), 1u);
    EXPECT_EQ(sink.targets[0].failedStep, TestStep::Handshake);
    EXPECT_EQ(sink.targets[0].reason, "**** Error 0x8009030e returned by AcquireCredentialsHandle");
}

// The real provider behind a probe that counts what the tester holds of it.
class ProbedProvider : public ProviderModule
{
protected:
    void SetUp() override
    {
        ProviderModule::SetUp();
        Provide("libprobeprovider.so", "libsecur32.so");
        m_probe = LoadLibraryA("Secur32.dll"); // the same module the tester will load
        ASSERT_NE(m_probe, nullptr);
        Call<void (*)(const char*)>("ProbeForwardTo")(
            (platform::ExecutableDirectory() + "/libsecur32.so").c_str());
        Fault("");
    }
    void TearDown() override
    {
        if (m_probe)
            FreeLibrary(m_probe);
        ProviderModule::TearDown();
    }
    template <typename Fn> Fn Call(const char* name)
    {
        return reinterpret_cast<Fn>(GetProcAddress(m_probe, name));
    }
    void Fault(const char* query) { Call<void (*)(const char*)>("ProbeSetFault")(query); }
    // Credentials handles, security contexts and tokens the callers hold.
    std::vector<int> Held()
    {
        auto live = Call<int (*)(const char*)>("ProbeLive");
        return {live("credentials"), live("contexts"), live("tokens")};
    }
    HMODULE m_probe = nullptr;
};

TEST_F(ProbedProvider, SecondTestReleasesWhatTheFirstHeld)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeerOptions options = PeerFor(id);
    options.connections = 2;
    TlsPeer peer(options);
    const long references = platform::LiveModuleReferences();
    {
        CSslTester tester(&m_owner);
        EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "Primary"));
        EXPECT_EQ(Held(), (std::vector<int>{1, 1, 0})); // kept until the object goes or starts over
        EXPECT_EQ(platform::LiveModuleReferences(), references + 1);
        EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "Secondary"));
        EXPECT_EQ(Held(), (std::vector<int>{1, 1, 0}));
        EXPECT_EQ(platform::LiveModuleReferences(), references + 1);
    }
    EXPECT_EQ(Held(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(platform::LiveModuleReferences(), references);
}

TEST_F(ProbedProvider, FailedHandshakeGivesBackEveryToken)
{
    ScriptedServer server([](int fd) {
        char buffer[2048];
        ::recv(fd, buffer, sizeof buffer, 0);
        SendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
        DrainUntilClosed(fd, 3000);
    });
    {
        CSslTester tester(&m_owner);
        EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
        EXPECT_EQ(Held(), (std::vector<int>{1, 1, 0}));
    }
    EXPECT_EQ(Held(), (std::vector<int>{0, 0, 0}));
}

// A provider that cannot tell what was negotiated: the report ends at the
// error line, and the test goes on.
TEST_F(ProbedProvider, ConnectionQueriesThatFail)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"connection-info", "Error 0x80090302 querying connection info"},
        {"stream-sizes", "**** Error 0x80090302 reading SECPKG_ATTR_STREAM_SIZES"},
    };
    for (const auto& [query, line] : cases)
    {
        CRecordingOwner owner;
        Fault(query);
        TlsPeer peer(PeerFor(id));
        CSslTester tester(&owner);
        EXPECT_TRUE(tester.Test("gw.test", peer.Port(), "LBL")) << query;
        const Lines lines = owner.Lines();
        ASSERT_GT(lines.size(), 12u);
        EXPECT_EQ(Lines(lines.begin() + 9, lines.begin() + 12),
                  (Lines{"SSL Handshake was successful. ", line, ""}))
            << query;
    }
}

TEST_F(ProbedProvider, ServerCertificateThatCannotBeHad)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    Fault("remote-cert");
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", peer.Port(), "LBL"));
    const Lines lines = m_owner.Lines();
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(
        Lines(lines.begin() + 17, lines.end()),
        Concat({{"Key exchange strength: 255", "VerifyServerCertificate Failed (C) - Status = -2146893054"},
                kFailedEnd}));
}

TEST_F(ProviderModule, NtFourLoadsItsOwnLibraryName)
{
    platform::SetVersionAnswer(platform::VersionAnswer{true, VER_PLATFORM_WIN32_NT, 4, 0});
    EXPECT_EQ(RunOnce(), (Lines{"Attempting LBL", "Creating Client Credentials....",
                                "Error 0x7e loading Security.dll."}));
}

TEST_F(SslTesterTest, UnknownPlatformWritesNothingAfterTheCredentialsLine)
{
    platform::SetVersionAnswer(platform::VersionAnswer{true, 3, 1, 0});
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", 443, "LBL"));
    EXPECT_EQ(m_owner.Lines(), (Lines{"Attempting LBL", "Creating Client Credentials...."}));
}

TEST_F(SslTesterTest, Windows9xKeepsOnlyTheTcpPart)
{
    IsWin9x = true;
    LoopbackListener listener;
    const long references = platform::LiveModuleReferences();
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", listener.Port(), "LBL"));
    EXPECT_EQ(
        Masked(),
        (Lines{"Attempting LBL", "*** WIN9X *** Creating SChannel Credentials SKIPPED",
               "Attempting to resolve gw.test...", "gw.test resolved to 127.0.0.1",
               "Attempting to connect to 127.0.0.1 on port " + std::to_string(listener.Port()) + "...",
               "Connected to Server Successfully ", "Source Address:127.0.0.1  Source Port(1024-5000):N ",
               "*** WIN9X *** SSL Handshake SKIPPED", "Closing connection... ",
               "Connection Closed -- TEST SUCCESSFUL. "}));
    EXPECT_EQ(platform::LiveModuleReferences(), references); // no provider loaded
}

TEST(CertText, ErrorNamesAndDates)
{
    EXPECT_EQ(CSslTester::GetCertErrorText(0x800B010F), "SSL Certificate Common Name Does Not Match.");
    EXPECT_EQ(CSslTester::GetCertErrorText(0x800B0110), "CERT_E_WRONG_USAGE");
    EXPECT_EQ(CSslTester::GetCertErrorText(0x80096004), "CERT_E_UNKNOWN");
    EXPECT_EQ(CSslTester::FormatCertDate(nullptr), "");
    const std::string c = "C";
    platform::SetSystemLocaleName(&c);
    const FILETIME lateNight = platform::FileTimeFromUnix(1735689599); // 2024-12-31 23:59:59 UTC
    EXPECT_EQ(CSslTester::FormatCertDate(&lateNight), "12/31/2024");   // UTC, no time of day
    platform::SetSystemLocaleName(nullptr);
}
} // namespace
