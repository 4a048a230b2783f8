// Real openssl s_server peers and the verdicts on their chains: an
// intermediate that restricts its extended key usage (the whole test, report
// and verdict, as a technician would read it); a server that sends only its
// leaf, whose issuer is fetched from the leaf's "CA Issuers" URL on a
// loopback HTTP server; and a leaf outside its issuer's name constraints.
#include "cert_services.h"
#include "ssl_tester.h"
#include "support/child_process.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_clock.h"
#include "support/test_pki.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
                                           ChainCase{"Unrestricted", "", kSuccess}),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- issuers fetched by URL, and name constraints -----

// A chain that never reaches a root reads as the platform's SSL policy gives it.
const Lines kChaining = {
    "VerifyCertificateChain Failed (F) - Error = -2146762487 more: ",
    "VerifyCertificateChain Failed (F) - Error = -2146762487 more: SSL Certificate - Untrusted Root",
    "Closing connection... ",
    "Connection Closed -- TEST FAILED. ",
};
const Lines kInvalidName = {
    "VerifyCertificateChain Failed (F) - Error = -2146762476 more: ",
    "VerifyCertificateChain Failed (F) - Error = -2146762476 more: CERT_E_UNKNOWN",
    "Closing connection... ",
    "Connection Closed -- TEST FAILED. ",
};
const Lines kLeafAlone = {"localhost"};
const Lines kFetchedChain = {"localhost", "Kestavane Test Intermediate", "Kestavane Test Root"};

// What the leaf's "CA Issuers" URL does.
enum class Issuer
{
    Certificate, // answers the intermediate, DER
    CertsOnly,   // answers a certs-only PKCS#7 holding it
    Impostor,    // answers a certificate of the intermediate's name and another key
    Oversized,   // answers a bundle holding it that is larger than an answer may be
    Pem,         // answers the intermediate as PEM text
    Refused,     // nothing listens
    Dropped,     // every connect is dropped
    NotAsked,    // fetching is switched off
    Constrained, // no URL: the server sends an intermediate whose name constraints exclude the leaf
};

struct VerdictCase
{
    const char* name;
    Issuer issuer;
    Lines ending;   // of each of two presses
    Lines elements; // display names of the chain as built
};

void PrintTo(const VerdictCase& c, std::ostream* out) { *out << c.name; }

// What the URL answers for the served cases.
std::string AnswerOf(Issuer issuer, const TestPki& pki)
{
    Key key = MakeEcKey();
    switch (issuer)
    {
    case Issuer::Certificate: return ToDer(pki.inter.get());
    case Issuer::CertsOnly: return CertsOnly({pki.inter.get()});
    case Issuer::Pem: return ToPem(pki.inter.get());
    case Issuer::Impostor:
    {
        Cert stranger =
            MakeCert({"/CN=Stranger Root", {}, true, -10, 3650, 0x3003}, key.get(), nullptr, key.get());
        Cert impostor =
            MakeCert({"/C=US/O=Kestavane Test/CN=Kestavane Test Intermediate", {}, true, -10, 3650},
                     key.get(), stranger.get(), key.get());
        return ToDer(impostor.get());
    }
    default:
    {
        // Beside the issuer itself, a certificate with some 1 500 names: about 40 KiB.
        std::vector<std::string> names;
        for (int i = 0; i < 1500; ++i)
            names.push_back("DNS:filler-" + std::to_string(i) + ".example.test");
        Cert filler = MakeCert({"/CN=Filler", names}, key.get(), nullptr, key.get());
        return CertsOnly({pki.inter.get(), filler.get()});
    }
    }
}

// An HTTP/1.0 server's script: reads one request, answers the body and closes.
ScriptedServer::Script Answering(std::string body)
{
    return [body = std::move(body)](int fd) {
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos)
        {
            pollfd p{fd, POLLIN, 0};
            const ssize_t n = ::poll(&p, 1, 5000) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
            if (n <= 0)
                return;
            request.append(buffer, static_cast<size_t>(n));
        }
        SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/pkix-cert\r\n\r\n" + body);
    };
}

// The display names of every element of the chains the verification builds.
Lines g_elements;

BOOL RecordingChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT context, const FILETIME* time, HCERTSTORE store,
                    const CERT_CHAIN_PARA* para, DWORD flags, void* reserved, PCCERT_CHAIN_CONTEXT* chain)
{
    const BOOL built = CertGetCertificateChain(engine, context, time, store, para, flags, reserved, chain);
    g_elements.clear();
    for (DWORD i = 0; built && i < (*chain)->rgpChain[0]->cElement; ++i)
    {
        char name[256];
        CertGetNameStringA((*chain)->rgpChain[0]->rgpElement[i]->pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                           0, nullptr, name, sizeof name);
        g_elements.push_back(name);
    }
    return built;
}

class ChainVerdicts : public ::testing::TestWithParam<VerdictCase>
{
protected:
    void SetUp() override
    {
        platform::SetSystemLocaleName(&m_locale);
        ::setenv("no_proxy", "*", 1); // the URLs are loopback ones, whatever proxy the machine names
        m_services.getCertificateChain = RecordingChain;
        SetChainServices(&m_services);
    }
    void TearDown() override
    {
        SetChainServices(nullptr);
        ::unsetenv("KESTAVANE_FETCH_ISSUERS");
        platform::SetSystemLocaleName(nullptr);
    }

    const std::string m_locale = "C";
    TestPki& m_pki = TestPki::Get();
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
    CertChainServices m_services;
};

TEST_P(ChainVerdicts, AsThePlatformsEngineGivesThem)
{
    const VerdictCase& c = GetParam();
    std::optional<ScriptedServer> http; // serves one request: the second press must not ask
    std::optional<DroppingListener> dropping;
    std::optional<LoopbackListener> unasked;
    int urlPort = 0;
    switch (c.issuer)
    {
    case Issuer::Constrained: break;
    case Issuer::Refused: urlPort = ClosedPort(); break;
    case Issuer::Dropped: urlPort = dropping.emplace().Port(); break;
    case Issuer::NotAsked:
        urlPort = unasked.emplace().Port();
        ::setenv("KESTAVANE_FETCH_ISSUERS", "no", 1);
        break;
    default: urlPort = http.emplace(Answering(AnswerOf(c.issuer, m_pki)), 1, std::chrono::seconds(20)).Port();
    }

    // The leaf names a URL of its own (answers are kept for the process);
    // only the constrained case sends an intermediate.
    Key key = MakeEcKey(), issuerKey = MakeEcKey();
    const bool constrainedIssuer = c.issuer == Issuer::Constrained;
    Cert constrained = MakeCert({.subject = "/C=US/O=Kestavane Test/CN=Constrained Intermediate",
                                 .ca = true,
                                 .serial = 0x2003,
                                 .nameConstraints = "permitted;DNS:allowed.test"},
                                issuerKey.get(), m_pki.root.get(), m_pki.rootKey.get());
    Cert leaf = MakeCert(
        {.subject = "/C=US/O=Example Org/CN=localhost",
         .san = {"DNS:localhost"},
         .serial = 0x51,
         .extendedKeyUsage = "serverAuth",
         .caIssuersUrl =
             constrainedIssuer ? "" : "http://127.0.0.1:" + std::to_string(urlPort) + "/" + c.name + ".crt"},
        key.get(), constrainedIssuer ? constrained.get() : m_pki.inter.get(),
        constrainedIssuer ? issuerKey.get() : m_pki.interKey.get());
    const std::string files = m_pki.dir + "/verdict-" + c.name;
    WriteFile(files + ".pem", ToPem(leaf.get()));
    WriteFile(files + ".key", ToPem(key.get()));
    WriteFile(files + "-chain.pem", ToPem(constrained.get()));
    const int port = ClosedPort();
    std::vector<std::string> command = {"openssl",  "s_server",
                                        "-accept",  "127.0.0.1:" + std::to_string(port),
                                        "-cert",    files + ".pem",
                                        "-key",     files + ".key",
                                        "-naccept", "2",
                                        "-ign_eof"};
    if (constrainedIssuer)
        command.insert(command.end(), {"-cert_chain", files + "-chain.pem"});
    ChildProcess server(command);
    ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10000)) << server.Output();

    // The fetch waits on the testers' clock: a dropped connect's bound passes at once.
    CTestClock clock(1000, 1000);
    CSslTester tester(&m_owner);
    for (int press = 1; press <= 2; ++press) // the second answered from what the first fetched
    {
        EXPECT_EQ(tester.Test("localhost", port, "LBL"), c.ending == kSuccess) << "press " << press;
        const Lines lines = m_owner.Lines();
        ASSERT_GE(lines.size(), c.ending.size());
        EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.ending.size()), lines.end()), c.ending)
            << "press " << press << "\n"
            << server.Output();
        EXPECT_EQ(g_elements, c.elements) << "press " << press;
    }
    if (http)
    {
        http->Join();
        EXPECT_EQ(http->Served(), 1);
    }
    if (unasked)
    {
        const int asked = unasked->Accept(0);
        EXPECT_EQ(asked, -1) << "the URL was asked although fetching is off";
        if (asked >= 0)
            ::close(asked);
    }
    // Only the dropped connect waits out its bound, and only once: the failure is kept too.
    const uint64_t bound = c.issuer == Issuer::Dropped ? 10000 : 0;
    EXPECT_GE(clock.Moved(), bound);
    EXPECT_LT(clock.Moved(), bound + 1000);
}

INSTANTIATE_TEST_SUITE_P(
    LeafOnlyServers, ChainVerdicts,
    ::testing::Values(VerdictCase{"Certificate", Issuer::Certificate, kSuccess, kFetchedChain},
                      VerdictCase{"CertsOnly", Issuer::CertsOnly, kSuccess, kFetchedChain},
                      VerdictCase{"Impostor", Issuer::Impostor, kChaining, kLeafAlone},
                      VerdictCase{"Oversized", Issuer::Oversized, kChaining, kLeafAlone},
                      VerdictCase{"Pem", Issuer::Pem, kChaining, kLeafAlone},
                      VerdictCase{"Refused", Issuer::Refused, kChaining, kLeafAlone},
                      VerdictCase{"Dropped", Issuer::Dropped, kChaining, kLeafAlone},
                      VerdictCase{"NotAsked", Issuer::NotAsked, kChaining, kLeafAlone},
                      VerdictCase{"Constrained", Issuer::Constrained, kInvalidName,
                                  Lines{"localhost", "Constrained Intermediate", "Kestavane Test Root"}}),
    [](const auto& info) { return std::string(info.param.name); });
} // namespace
