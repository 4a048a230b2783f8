// A real openssl s_server presenting a chain whose intermediate restricts its
// extended key usage: the whole test, report and verdict, as a technician
// would read it.
#include "ssl_tester.h"
#include "support/child_process.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_pki.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
struct ChainCase
{
    const char* name;
    const char* intermediateUsage;
    Lines ending; // after the last CA block
};

void PrintTo(const ChainCase& c, std::ostream* out) { *out << c.name; }

const Lines kWrongUsage = {
    "VerifyCertificateChain Failed (F) - Error = -2146762480 more: ",
    "VerifyCertificateChain Failed (F) - Error = -2146762480 more: CERT_E_WRONG_USAGE",
    "Closing connection... ",
    "Connection Closed -- TEST FAILED. ",
};
const Lines kSuccess = {"Sending SSL Shutdown... ", "Closing connection... ",
                        "Connection Closed -- TEST SUCCESSFUL. "};

class RestrictedIntermediate : public ::testing::TestWithParam<ChainCase>
{
protected:
    void SetUp() override { platform::SetSystemLocaleName(&m_locale); }
    void TearDown() override { platform::SetSystemLocaleName(nullptr); }

    const std::string m_locale = "C";
    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
};

TEST_P(RestrictedIntermediate, UsageIsCheckedOnEveryCertificateOfTheChain)
{
    const ChainCase& c = GetParam();
    Key interKey = MakeEcKey();
    Cert inter = MakeCert({"/C=US/O=Kestavane Test/CN=Restricted Intermediate",
                           {},
                           true,
                           -10,
                           3650,
                           0x2002,
                           c.intermediateUsage},
                          interKey.get(), m_pki.root.get(), m_pki.rootKey.get());
    // A serial whose top bit is set: its encoding carries a leading 0x00.
    Key key = MakeEcKey();
    Cert leaf =
        MakeCert({"/C=US/O=Example Org/CN=localhost", {"DNS:localhost"}, false, -1, 30, 0x9F, "serverAuth"},
                 key.get(), inter.get(), interKey.get());
    const std::string files = m_pki.dir + "/restricted-" + c.name;
    WriteFile(files + ".pem", ToPem(leaf.get()));
    WriteFile(files + "-chain.pem", ToPem(inter.get()));
    WriteFile(files + ".key", ToPem(key.get()));

    const int port = ClosedPort();
    ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                         files + ".pem", "-key", files + ".key", "-cert_chain", files + "-chain.pem",
                         "-naccept", "1", "-ign_eof"});
    ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10000)) << server.Output();

    CSslTester tester(&m_owner);
    EXPECT_EQ(tester.Test("localhost", port, "LBL"), c.ending == kSuccess);
    const Lines lines = m_owner.Lines();
    const auto report = std::find(lines.begin(), lines.end(), "");
    ASSERT_NE(report, lines.end());
    const std::string interName = "C=US, O=Kestavane Test, CN=Restricted Intermediate";
    Lines expected = {
        "",
        "Server issuer: " + interName,
        "Serial Number is: 0x00 0x9f ",
        "valid from " + UsDate(X509_get0_notBefore(leaf.get())) + " to " +
            UsDate(X509_get0_notAfter(leaf.get())),
        "6 extensions",
        "Server cert name : localhost",
        "--",
        "CA subject: " + interName,
        "CA issuer: C=US, O=Kestavane Test, CN=Kestavane Test Root",
        "Serial Number is: 0x20 0x02 ",
        "--",
    };
    expected.insert(expected.end(), c.ending.begin(), c.ending.end());
    EXPECT_EQ(Lines(report, lines.end()), expected) << server.Output();
}

INSTANTIATE_TEST_SUITE_P(Chains, RestrictedIntermediate,
                         ::testing::Values(ChainCase{"ClientAuthOnly", "clientAuth", kWrongUsage},
                                           ChainCase{"ServerAndClientAuth", "serverAuth,clientAuth",
                                                     kSuccess},
                                           ChainCase{"Unrestricted", "", kSuccess}),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
