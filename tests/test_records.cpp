// The records the testers hand to a result sink, field by field, against
// the loopback peers the other tests use.
#include "app_flags.h"
#include "ssl_tester.h"
#include "support/fake_resolver.h"
#include "support/history_match.h"
#include "support/recording_owner.h"
#include "support/recording_sink.h"
#include "support/test_clock.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"
#include "tcp_tester.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
const std::string kInter = "C=US, O=Kestavane Test, CN=Kestavane Test Intermediate";

int64_t Seconds(const ASN1_TIME* time)
{
    tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    return static_cast<int64_t>(timegm(&parts));
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
    static TlsPeerOptions PeerFor(const Identity& id)
    {
        TlsPeerOptions o;
        o.cert = id.cert.get();
        o.key = id.key.get();
        o.chain = id.chain;
        return o;
    }

    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
    CRecordingSink m_sink;
    CTestClock m_clock;
};

TEST_F(Records, TlsPass)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 0x1234});
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
    EXPECT_EQ(r.reason, "");
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
    ASSERT_TRUE(t.certificate.has_value());
    EXPECT_EQ(t.certificate->subject, "CN=gw.test");
    EXPECT_EQ(t.certificate->issuer, kInter);
    EXPECT_EQ(t.certificate->serial, "0x12 0x34 ");
    EXPECT_EQ(t.certificate->notBefore, Seconds(X509_get0_notBefore(id.cert.get())));
    EXPECT_EQ(t.certificate->notAfter, Seconds(X509_get0_notAfter(id.cert.get())));
    EXPECT_EQ(t.verifyCode, 0u);
    EXPECT_EQ(t.verifyName, "ERROR_SUCCESS");
}

TEST_F(Records, WrongName)
{
    Identity id = m_pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 0x33});
    TlsPeer peer(PeerFor(id));
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("localhost", peer.Port(), "LBL"));
    const TargetRecord& r = Only();
    EXPECT_EQ(r.host, "localhost");
    EXPECT_FALSE(r.passed);
    EXPECT_EQ(r.failedStep, TestStep::Certificate);
    const std::string reason = "VerifyCertificateChain Failed (F) - Error = -2146762481 more: SSL "
                               "Certificate Common Name Does Not Match.";
    EXPECT_EQ(r.reason, reason);
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[lines.size() - 3], reason); // as the history shows it
    ASSERT_TRUE(r.tls.has_value());
    EXPECT_EQ(r.tls->verifyCode, CERT_E_CN_NO_MATCH);
    EXPECT_EQ(r.tls->verifyName, "CERT_E_CN_NO_MATCH");
    ASSERT_TRUE(r.tls->certificate.has_value());
    EXPECT_EQ(r.tls->certificate->serial, "0x33 ");
    EXPECT_TRUE(r.times.verifyMs.has_value());
    EXPECT_TRUE(r.times.shutdownMs.has_value()); // the connection was still closed
}

TEST_F(Records, RefusedPort)
{
    const int port = ClosedPort();
    CSslTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", port, "LBL"));
    const TargetRecord& r = Only();
    EXPECT_EQ(r.port, port);
    EXPECT_EQ(r.resolvedAddress, "127.0.0.1");
    EXPECT_EQ(r.sourceAddress, "");
    EXPECT_EQ(r.sourcePort, 0);
    EXPECT_FALSE(r.passed);
    EXPECT_EQ(r.failedStep, TestStep::Connect);
    EXPECT_EQ(r.reason, "Socket Connect to LBL Failed.");
    EXPECT_EQ(r.times.connectMs, 1.0); // ended by the refusal at the first wait
    EXPECT_FALSE(r.times.handshakeMs.has_value());
    EXPECT_FALSE(r.tls.has_value());
}

TEST_F(Records, UnresolvableName)
{
    for (const char* kind : {"tls", "plain"})
    {
        CRecordingSink sink;
        m_owner.SetResultSink(&sink);
        if (std::string(kind) == "tls")
            CSslTester(&m_owner).Test("nohost.invalid", 443, "LBL");
        else
            CTcpTester(&m_owner).Test("nohost.invalid", 9000, "LBL");
        ASSERT_EQ(sink.targets.size(), 1u);
        const TargetRecord& r = sink.targets[0];
        EXPECT_EQ(r.tester, kind);
        EXPECT_EQ(r.resolvedAddress, "");
        EXPECT_FALSE(r.passed);
        EXPECT_EQ(r.failedStep, TestStep::Resolve);
        EXPECT_EQ(r.reason, "DNS Lookup of nohost.invalid Failed!");
        EXPECT_TRUE(r.times.resolveMs.has_value());
        EXPECT_FALSE(r.times.connectMs.has_value());
    }
}

TEST_F(Records, SilentGreeter)
{
    ScriptedServer server([](int fd) { DrainUntilClosed(fd, 3000); });
    CTcpTester tester(&m_owner);
    EXPECT_FALSE(tester.Test("gw.test", server.Port(), "LBL"));
    const TargetRecord& r = Only();
    EXPECT_EQ(r.tester, "plain");
    EXPECT_EQ(r.sourceAddress, "127.0.0.1");
    EXPECT_GT(r.sourcePort, 0);
    EXPECT_FALSE(r.passed);
    EXPECT_EQ(r.failedStep, TestStep::Greeting);
    EXPECT_EQ(r.reason, "Timeout waiting for 'CONNECTED' From LBL");
    EXPECT_EQ(r.times.greetingMs, 10000.0);
    EXPECT_TRUE(r.times.shutdownMs.has_value());
    EXPECT_FALSE(r.tls.has_value());
}

TEST_F(Records, GreeterThatGreetsAndOneThatHangsUp)
{
    ScriptedServer greeter([](int fd) {
        SendAll(fd, "CONNECTED\x03");
        DrainUntilClosed(fd, 3000);
    });
    ScriptedServer hangUp([](int) {});
    CTcpTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("gw.test", greeter.Port(), "A"));
    EXPECT_FALSE(tester.Test("gw.test", hangUp.Port(), "B"));
    ASSERT_EQ(m_sink.targets.size(), 2u);
    EXPECT_TRUE(m_sink.targets[0].passed);
    EXPECT_EQ(m_sink.targets[0].failedStep, TestStep::None);
    EXPECT_EQ(m_sink.targets[1].failedStep, TestStep::Greeting);
    EXPECT_EQ(m_sink.targets[1].reason, "Connection Lost To B");
}

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
