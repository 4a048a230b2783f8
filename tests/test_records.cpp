// The records the testers hand to a result sink: a pass field by field, and
// each way a test fails, as real peers make it fail, with its step, cause,
// platform code and reason.
#include "app_flags.h"
#include "causes.h"
#include "ssl_tester.h"
#include "support/child_process.h"
#include "support/dns_config.h"
#include "support/fake_resolver.h"
#include "support/history_match.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/recording_sink.h"
#include "support/test_clock.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"
#include "tcp_tester.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <memory>
#include <poll.h>
#include <sys/socket.h>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
const std::string kRoot = "C=US, O=Kestavane Test, CN=Kestavane Test Root";

int64_t Seconds(const ASN1_TIME* time)
{
    tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    return static_cast<int64_t>(timegm(&parts));
}

TlsPeerOptions PeerFor(const Identity& id)
{
    TlsPeerOptions o;
    o.cert = id.cert.get();
    o.key = id.key.get();
    o.chain = id.chain;
    return o;
}

class Records : public ::testing::Test
{
protected:
    void SetUp() override
    {
        IsWin9x = false;
        m_owner.SetResultSink(&m_sink);
        m_clock.readyStepMs = 1; // each wait that finds its socket ready costs 1 ms
    }
    const TargetRecord& Only()
    {
        EXPECT_EQ(m_sink.targets.size(), 1u);
        return m_sink.targets.back();
    }

    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
    CRecordingSink m_sink;
    CTestClock m_clock;
};

// The chain as built, an intermediate ending before its leaf.
TEST_F(Records, TlsPassFieldByField)
{
    Identity id =
        m_pki.LeafUnder({"/C=US/O=Kestavane Test/CN=Short Intermediate", {}, true, -10, 2, 0x77, "", 12},
                        {"/CN=gw.test", {"DNS:gw.test"}, false, -1, 10, 0x1234});
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    ASSERT_TRUE(tester.Test("gw.test", peer.Port(), "VITAL TNS"));
    const TargetRecord& r = Only();
    EXPECT_EQ(r.buttonId, 0);
    EXPECT_EQ(r.caption, "");
    EXPECT_EQ(r.label, "VITAL TNS");
    EXPECT_EQ(r.host, "gw.test");
    EXPECT_EQ(r.port, peer.Port());
    EXPECT_EQ(r.tester, "tls");
    EXPECT_EQ(r.resolvedAddress, "127.0.0.1");
    EXPECT_EQ(r.sourceAddress, "127.0.0.1");
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[7],
              "Source Address:127.0.0.1  Source Port(1024-5000):" + std::to_string(r.sourcePort) + " ");
    EXPECT_TRUE(r.passed);
    EXPECT_EQ(r.failedStep, TestStep::None);
    EXPECT_EQ(r.cause, Cause::None);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.reason, "");
    EXPECT_TRUE(r.addresses.empty()); // no sink asked for them
    // Times come from the wait clock: one wait for the connect, one or more
    // for the handshake's reads, none elsewhere.
    EXPECT_EQ(r.times.resolveMs, 0.0);
    EXPECT_EQ(r.times.connectMs, 1.0);
    ASSERT_TRUE(r.times.handshakeMs.has_value());
    EXPECT_GE(*r.times.handshakeMs, 1.0);
    EXPECT_EQ(r.times.verifyMs, 0.0);
    EXPECT_EQ(r.times.shutdownMs, 0.0);
    EXPECT_FALSE(r.times.greetingMs.has_value());

    ASSERT_TRUE(r.tls.has_value());
    const TlsFacts& t = *r.tls;
    EXPECT_EQ(t.protocol, "TLS1.2");
    EXPECT_EQ(t.cipher, "AES(256)");
    EXPECT_EQ(t.cipherStrength, 256);
    EXPECT_EQ(t.hash, "SHA_384");
    EXPECT_EQ(t.hashStrength, 384);
    EXPECT_EQ(t.keyExchange, "Elliptic Curve DH Ephemeral");
    EXPECT_EQ(t.keyExchangeStrength, 255);
    EXPECT_EQ(t.headerSize, 13);
    EXPECT_EQ(t.trailerSize, 16);
    EXPECT_EQ(t.maxMessageSize, 16384);
    const std::string inter = "C=US, O=Kestavane Test, CN=Short Intermediate";
    ASSERT_TRUE(t.certificate.has_value());
    EXPECT_EQ(t.certificate->subject, "CN=gw.test");
    EXPECT_EQ(t.certificate->issuer, inter);
    EXPECT_EQ(t.certificate->serial, "0x12 0x34 ");
    EXPECT_EQ(t.certificate->notBefore, Seconds(X509_get0_notBefore(id.cert.get())));
    EXPECT_EQ(t.certificate->notAfter, Seconds(X509_get0_notAfter(id.cert.get())));
    EXPECT_EQ(t.verifyCode, 0u);
    EXPECT_EQ(t.verifyName, "ERROR_SUCCESS");

    ASSERT_EQ(t.chain.size(), 3u);
    const std::vector<std::pair<X509*, std::string>> chain = {
        {id.cert.get(), "CN=gw.test"}, {id.issuer.get(), inter}, {m_pki.root.get(), kRoot}};
    for (size_t i = 0; i < chain.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(t.chain[i].subject, chain[i].second);
        EXPECT_EQ(t.chain[i].issuer, i == 0 ? inter : kRoot);
        EXPECT_EQ(t.chain[i].notBefore, Seconds(X509_get0_notBefore(chain[i].first)));
        EXPECT_EQ(t.chain[i].notAfter, Seconds(X509_get0_notAfter(chain[i].first)));
    }
    EXPECT_EQ(t.chain[1].serial, "0x77 ");
}

// What a row's peer needs to outlive the test.
using Keep = std::vector<std::shared_ptr<void>>;
struct Target
{
    std::string host;
    int port;
};

Target TlsPeerWith(Keep& keep, const CertRecipe& leaf, const std::string& host = "gw.test")
{
    auto id = std::make_shared<Identity>(TestPki::Get().Leaf(leaf));
    keep.push_back(id);
    auto peer = std::make_shared<TlsPeer>(PeerFor(*id));
    keep.push_back(peer);
    return {host, peer->Port()};
}

Target Scripted(Keep& keep, ScriptedServer::Script script)
{
    auto server = std::make_shared<ScriptedServer>(std::move(script));
    keep.push_back(server);
    return {"gw.test", server->Port()};
}

// Reads what the client sent first, so that closing sends no reset.
void ReadOnce(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    if (::poll(&p, 1, 5000) > 0)
        ::recv(fd, buffer, sizeof buffer, 0);
}

struct CauseRow
{
    const char* name;
    bool tls;
    bool ownNetwork; // run in a network namespace of the test's own
    std::function<Target(Keep&)> peer;
    TestStep step;
    const char* cause;
    int32_t code;
    std::string reason; // with the label LBL
    const char* timed;  // the steps whose time the record holds
    double boundMs;     // the failed step's time where a wait ran out, else 0
};

// The steps whose time is present, in the order they run.
std::string TimedSteps(const StepTimes& t)
{
    std::string steps;
    const std::pair<const char*, const std::optional<double>*> all[] = {
        {"resolve", &t.resolveMs}, {"connect", &t.connectMs},   {"handshake", &t.handshakeMs},
        {"verify", &t.verifyMs},   {"greeting", &t.greetingMs}, {"shutdown", &t.shutdownMs}};
    for (const auto& [name, ms] : all)
        if (ms->has_value())
            steps += (steps.empty() ? "" : " ") + std::string(name);
    return steps;
}

double TimeOf(const StepTimes& t, TestStep step)
{
    switch (step)
    {
    case TestStep::Connect: return t.connectMs.value_or(-1);
    case TestStep::Handshake: return t.handshakeMs.value_or(-1);
    case TestStep::Greeting: return t.greetingMs.value_or(-1);
    default: return -1;
    }
}

std::string PolicyReason(int32_t error, const char* text)
{
    return "VerifyCertificateChain Failed (F) - Error = " + std::to_string(error) + " more: " + text;
}

const char* const kVerified = "resolve connect handshake verify shutdown";

const CauseRow kCauseRows[] = {
    {"Refused", true, false,
     [](Keep&) {
         return Target{"gw.test", ClosedPort()};
     },
     TestStep::Connect, "refused", 10061, "Socket Connect to LBL Failed.", "resolve connect", 0},
    {"TimedOut", false, false,
     [](Keep& keep) {
         auto full = std::make_shared<DroppingListener>();
         keep.push_back(full);
         return Target{"gw.test", full->Port()};
     },
     TestStep::Connect, "timed_out", 10060, "Socket Connect to LBL Failed.", "resolve connect", 10001},
    {"Unreachable", true, true,
     [](Keep&) {
         return Target{"192.0.2.1", 443}; // no route in the namespace
     },
     TestStep::Connect, "unreachable", 10051, "Socket Connect to LBL Failed.", "resolve connect", 0},
    {"NameNotFound", false, false,
     [](Keep&) {
         return Target{"nohost.invalid", 9000};
     },
     TestStep::Resolve, "name_not_found", 11001, "DNS Lookup of nohost.invalid Failed!", "resolve", 0},
    {"NoDnsServer", true, false,
     [](Keep& keep) {
         keep.push_back(DnsConfig("nameserver 127.0.0.53\n", ""));
         NoDnsAnswer();
         return Target{"gw.test", 443};
     },
     TestStep::Resolve, "no_dns_server", 11002, "DNS Lookup of gw.test Failed!", "resolve", 0},
    {"DnsNoAnswer", false, false,
     [](Keep& keep) {
         keep.push_back(DnsConfig("nameserver 127.0.0.53\n", "nameserver 192.0.2.53\n"));
         NoDnsAnswer();
         return Target{"gw.test", 443};
     },
     TestStep::Resolve, "dns_no_answer", 11002, "DNS Lookup of gw.test Failed!", "resolve", 0},
    {"GreetingTimedOut", false, false,
     [](Keep& keep) { return Scripted(keep, [](int fd) { DrainUntilClosed(fd, 5000); }); },
     TestStep::Greeting, "greeting_timed_out", 0, "Timeout waiting for 'CONNECTED' From LBL",
     "resolve connect greeting shutdown", 10000},
    {"ConnectionLost", false, false, [](Keep& keep) { return Scripted(keep, [](int) {}); },
     TestStep::Greeting, "connection_lost", 0, "Connection Lost To LBL", "resolve connect greeting shutdown",
     0},
    {"ServerAlert", true, false,
     [](Keep& keep) {
         // A server that speaks TLS 1.3 only answers the offer of 1.0 to 1.2 with an alert.
         auto id = std::make_shared<Identity>(TestPki::Get().Leaf({"/CN=localhost", {"DNS:localhost"}}));
         keep.push_back(id);
         const auto [cert, key] = TestPki::Get().Files(*id, "tls13-only");
         const int port = ClosedPort();
         auto server = std::make_shared<ChildProcess>(
             std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                      "-cert", cert, "-key", key, "-tls1_3", "-naccept", "1"});
         keep.push_back(server);
         EXPECT_TRUE(server->WaitForOutput("ACCEPT", 10000)) << server->Output();
         return Target{"localhost", port};
     },
     TestStep::Handshake, "alert_protocol_version", -2146893007,
     "InitializeSecurityContext Failed(2) - Status = -2146893007", "resolve connect handshake shutdown", 0},
    {"HandshakeTimedOut", true, false,
     [](Keep& keep) { return Scripted(keep, [](int fd) { DrainUntilClosed(fd, 5000); }); },
     TestStep::Handshake, "handshake_timed_out", 0, "LBL disconnected unexpectedly.",
     "resolve connect handshake shutdown", 10000},
    {"PeerClosed", true, false, [](Keep& keep) { return Scripted(keep, ReadOnce); }, TestStep::Handshake,
     "peer_closed", 0, "LBL disconnected unexpectedly.", "resolve connect handshake shutdown", 0},
    {"NotTls", true, false,
     [](Keep& keep) {
         return Scripted(keep, [](int fd) {
             ReadOnce(fd);
             SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
             DrainUntilClosed(fd, 5000);
         });
     },
     TestStep::Handshake, "not_tls", -2146893048,
     "InitializeSecurityContext Failed(2) - Status = -2146893048", "resolve connect handshake shutdown", 0},
    {"Expired", true, false,
     [](Keep& keep) {
         return TlsPeerWith(keep, {"/CN=gw.test", {"DNS:gw.test"}, false, -30, -1});
     },
     TestStep::Verification, "expired", -2146762495, PolicyReason(-2146762495, "SSL Certificate is Expired."),
     kVerified, 0},
    // The same lines in the history: this PC's clock behind the certificate's start.
    {"NotYetValid", true, false,
     [](Keep& keep) {
         return TlsPeerWith(keep, {"/CN=gw.test", {"DNS:gw.test"}, false, 2, 30});
     },
     TestStep::Verification, "not_yet_valid", -2146762495,
     PolicyReason(-2146762495, "SSL Certificate is Expired."), kVerified, 0},
    {"UntrustedRoot", true, false,
     [](Keep& keep) {
         auto id = std::make_shared<Identity>();
         id->key = MakeEcKey();
         id->cert = MakeCert({"/CN=gw.test", {"DNS:gw.test"}}, id->key.get(), nullptr, id->key.get());
         keep.push_back(id);
         auto peer = std::make_shared<TlsPeer>(PeerFor(*id));
         keep.push_back(peer);
         return Target{"gw.test", peer->Port()};
     },
     TestStep::Verification, "untrusted_root", -2146762487,
     PolicyReason(-2146762487, "SSL Certificate - Untrusted Root"), kVerified, 0},
    // The same lines as an untrusted root: the SSL policy names both alike.
    {"IncompleteChain", true, false,
     [](Keep& keep) {
         auto id = std::make_shared<Identity>(TestPki::Get().Leaf({"/CN=gw.test", {"DNS:gw.test"}}));
         id->chain.clear(); // the intermediate left out, and no URL to fetch it from
         keep.push_back(id);
         auto peer = std::make_shared<TlsPeer>(PeerFor(*id));
         keep.push_back(peer);
         return Target{"gw.test", peer->Port()};
     },
     TestStep::Verification, "incomplete_chain", -2146762487,
     PolicyReason(-2146762487, "SSL Certificate - Untrusted Root"), kVerified, 0},
    {"NameMismatch", true, false,
     [](Keep& keep) {
         return TlsPeerWith(keep, {"/CN=gw.test", {"DNS:gw.test"}}, "localhost");
     },
     TestStep::Verification, "name_mismatch", -2146762481,
     PolicyReason(-2146762481, "SSL Certificate Common Name Does Not Match."), kVerified, 0},
    {"WrongUsage", true, false,
     [](Keep& keep) {
         return TlsPeerWith(keep, {"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 1, "clientAuth"});
     },
     TestStep::Verification, "wrong_usage", -2146762480, PolicyReason(-2146762480, "CERT_E_WRONG_USAGE"),
     kVerified, 0},
};

class Causes : public Records, public ::testing::WithParamInterface<CauseRow>
{};

TEST_P(Causes, OfEachFailureAreRecordedBesideItsReason)
{
    const CauseRow& row = GetParam();
    Keep keep;
    auto test = [&] {
        const Target target = row.peer(keep);
        if (row.tls)
            CSslTester(&m_owner).Test(target.host, target.port, "LBL");
        else
            CTcpTester(&m_owner).Test(target.host, target.port, "LBL");
        keep.clear(); // the peers go while still in the namespace
    };
    if (row.ownNetwork)
    {
        std::string why;
        if (!InPrivateNetwork(test, &why))
            GTEST_SKIP() << why;
    }
    else
        test();
    const TargetRecord& r = Only();
    EXPECT_EQ(r.tester, row.tls ? "tls" : "plain");
    EXPECT_FALSE(r.passed);
    EXPECT_EQ(r.failedStep, row.step);
    EXPECT_EQ(CauseName(r.cause, r.alert), row.cause);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.reason, row.reason);
    EXPECT_EQ(TimedSteps(r.times), row.timed);
    if (row.boundMs > 0)
    {
        EXPECT_EQ(TimeOf(r.times, row.step), row.boundMs);
    }
    EXPECT_EQ(r.tls.has_value(), std::string(row.timed).find("verify") != std::string::npos);
    // The history shows the reason, and nothing of the cause.
    const Lines lines = m_owner.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() >= row.reason.size() &&
               line.compare(line.size() - row.reason.size(), std::string::npos, row.reason) == 0;
    })) << ::testing::PrintToString(lines);
    EXPECT_EQ(m_owner.HistoryText().find(row.cause), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Peers, Causes, ::testing::ValuesIn(kCauseRows),
                         [](const ::testing::TestParamInfo<CauseRow>& info) { return info.param.name; });

TEST_F(Records, SinkChangesNoLine)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeerOptions options = PeerFor(id);
    options.connections = 2;
    TlsPeer peer(options);
    CRecordingOwner plain;
    CSslTester(&m_owner).Test("gw.test", peer.Port(), "LBL");
    CSslTester(&plain).Test("gw.test", peer.Port(), "LBL");
    EXPECT_EQ(WithSourcePortMasked(m_owner.Lines()), WithSourcePortMasked(plain.Lines()));
    EXPECT_EQ(m_sink.targets.size(), 1u);
}
} // namespace
