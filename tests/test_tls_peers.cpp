// Real TLS servers that nobody here wrote, as judges of the whole test.
#include "ssl_tester.h"
#include "support/child_process.h"
#include "support/fake_resolver.h"
#include "support/history_match.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_pki.h"
#include "winbase.h"

#include <gtest/gtest.h>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
class RealPeers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::SetSystemLocaleName(&m_locale);
        m_id = m_pki.Leaf({"/C=US/O=Example Org/CN=localhost", {"DNS:localhost"}, false, -1, 30, 0x0102});
        m_certFile = m_pki.dir + "/peer-leaf.pem";
        m_chainFile = m_pki.dir + "/peer-chain.pem";
        m_keyFile = m_pki.dir + "/peer-leaf.key";
        WriteFile(m_certFile, ToPem(m_id.cert.get()));
        WriteFile(m_chainFile, ToPem(m_pki.inter.get()));
        WriteFile(m_keyFile, ToPem(m_id.key.get()));
    }
    void TearDown() override { platform::SetSystemLocaleName(nullptr); }

    const std::string m_locale = "C";
    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
    Identity m_id;
    std::string m_certFile, m_chainFile, m_keyFile;
};

TEST_F(RealPeers, OpensslServerWithAValidChainGetsTheWholeSuccessSequence)
{
    const int port = ClosedPort();
    ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                         m_certFile, "-key", m_keyFile, "-cert_chain", m_chainFile, "-naccept", "1",
                         "-ign_eof"});
    ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10000)) << server.Output();

    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("localhost", port, "PAYMENTECH NETCONNECT Primary"));
    const std::string inter = "C=US, O=Kestavane Test, CN=Kestavane Test Intermediate";
    const Lines expected = {
        "Attempting PAYMENTECH NETCONNECT Primary",
        "Creating Client Credentials....",
        "Credentials created.",
        "Attempting to resolve localhost...",
        "localhost resolved to 127.0.0.1",
        "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...",
        "Connected to Server Successfully ",
        "Source Address:127.0.0.1  Source Port(1024-5000):N ",
        "Attempting SSL Handshake... ",
        "SSL Handshake was successful. ",
        "Header: 13, Trailer: 16, MaxMessage: 16384",
        "Protocol: TLS1.2",
        "Cipher: AES(256)",
        "Cipher strength: 256",
        "Hash: SHA_384",
        "Hash strength: 384",
        "Key exchange: Elliptic Curve DH Ephemeral",
        "Key exchange strength: 255",
        "",
        "Server issuer: " + inter,
        "Serial Number is: 0x01 0x02 ",
        "valid from " + UsDate(X509_get0_notBefore(m_id.cert.get())) + " to " +
            UsDate(X509_get0_notAfter(m_id.cert.get())),
        "5 extensions",
        "Server cert name : localhost",
        "--",
        "CA subject: " + inter,
        "CA issuer: C=US, O=Kestavane Test, CN=Kestavane Test Root",
        "Serial Number is: 0x10 0x02 ",
        "--",
        "Sending SSL Shutdown... ",
        "Closing connection... ",
        "Connection Closed -- TEST SUCCESSFUL. ",
    };
    EXPECT_EQ(WithSourcePortMasked(m_owner.Lines()), expected);
}

TEST_F(RealPeers, OpensslServerSpeakingOnlyTls10)
{
    const int port = ClosedPort();
    ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                         m_certFile, "-key", m_keyFile, "-cert_chain", m_chainFile, "-naccept", "1",
                         "-ign_eof", "-tls1", "-cipher", "ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0"});
    ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10000)) << server.Output();
    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("localhost", port, "LBL"));
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(Lines(lines.begin() + 10, lines.begin() + 18),
              (Lines{"Header: 5, Trailer: 36, MaxMessage: 16384", "Protocol: TLS1", "Cipher: AES(128)",
                     "Cipher strength: 128", "Hash: SHA1", "Hash strength: 160",
                     "Key exchange: Elliptic Curve DH Ephemeral", "Key exchange strength: 255"}));
}

TEST_F(RealPeers, GnutlsServerAcceptsTheTestAndItsCloseNotify)
{
    const int port = ClosedPort();
    WriteFile(m_pki.dir + "/peer-full.pem", ToPem(m_id.cert.get()) + ToPem(m_pki.inter.get()));
    ChildProcess server({"gnutls-serv", "--echo", "--disable-client-cert", "--port=" + std::to_string(port),
                         "--x509certfile=" + m_pki.dir + "/peer-full.pem", "--x509keyfile=" + m_keyFile});
    // The line ends in "...done" once the socket listens.
    ASSERT_TRUE(server.WaitForOutput("IPv4 0.0.0.0 port " + std::to_string(port) + "...done", 10000))
        << server.Output();

    CSslTester tester(&m_owner);
    EXPECT_TRUE(tester.Test("localhost", port, "LBL")) << server.Output();
    const Lines lines = m_owner.Lines();
    ASSERT_GT(lines.size(), 12u);
    EXPECT_EQ(lines[11], "Protocol: TLS1.2");
    EXPECT_EQ(lines.back(), "Connection Closed -- TEST SUCCESSFUL. ");
}
} // namespace
