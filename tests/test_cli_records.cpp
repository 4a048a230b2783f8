// The records the command line prints, field by field, from real tests of
// loopback peers: through the built program where the real resolver and
// clock will do, through RunCli where a test needs the resolver seam or the
// wait clock. And the README's field tables against what is printed.
#include "catalogue.h"
#include "console_owner.h"
#include "module.h"
#include "results.h"
#include "support/child_process.h"
#include "support/cli_run.h"
#include "support/dns_config.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/prometheus_text.h"
#include "support/test_clock.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <openssl/x509.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <set>

using namespace testing_support;
using nlohmann::json;

namespace
{
const std::string kInter = "C=US, O=Kestavane Test, CN=Kestavane Test Intermediate";
const std::string kTyped = "USER DEFINED GATEWAY AND PORT";
using Steps = std::set<std::string>;
const Steps kTlsSteps = {"resolve", "connect", "handshake", "verify", "shutdown"};

std::string Program() { return platform::ExecutableDirectory() + "/kestavane-cli"; }

TlsPeerOptions PeerFor(const Identity& id, int connections = 1)
{
    TlsPeerOptions o;
    o.cert = id.cert.get();
    o.key = id.key.get();
    o.chain = id.chain;
    o.connections = connections;
    return o;
}

int64_t Seconds(const ASN1_TIME* time)
{
    tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    return static_cast<int64_t>(timegm(&parts));
}

std::string Iso(const ASN1_TIME* time)
{
    tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string IsoOf(std::time_t when)
{
    tm parts{};
    ::gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

long long FloorDays(int64_t seconds) { return static_cast<long long>(std::floor(seconds / 86400.0)); }

// The text after "prefix" on the first line that starts with it.
std::string After(const std::string& text, const std::string& prefix)
{
    const size_t at = text.rfind(prefix, 0) == 0 ? 0 : text.find("\n" + prefix);
    if (at == std::string::npos)
        return "(no line " + prefix + ")";
    const size_t from = text.find(prefix, at) + prefix.size();
    return text.substr(from, text.find('\n', from) - from);
}

// The source ports the history shows, in order.
std::vector<int> HistorySourcePorts(const std::string& history)
{
    static const std::regex port("Source Port\\(1024-5000\\):([0-9]+) \n");
    std::vector<int> ports;
    for (std::sregex_iterator it(history.begin(), history.end(), port), end; it != end; ++it)
        ports.push_back(std::stoi((*it)[1]));
    return ports;
}

// The steps whose time is present; each present time a number, not negative.
Steps TimedSteps(const json& target)
{
    Steps steps;
    for (const auto& [step, ms] : target.at("times_ms").items())
        if (!ms.is_null())
        {
            EXPECT_TRUE(ms.is_number()) << step;
            EXPECT_GE(ms.get<double>(), 0.0) << step;
            steps.insert(step);
        }
    return steps;
}

// The last object, which must be the summary, with the counts every typed test shares.
void ExpectTypedSummary(const std::vector<json>& objects, const std::string& command, bool passed, int status)
{
    ASSERT_FALSE(objects.empty());
    const json& s = objects.back();
    EXPECT_EQ(s["type"], "summary");
    EXPECT_EQ(s["command"], command);
    EXPECT_EQ(s["jobs"], 1);
    EXPECT_EQ(s["presses"], 0);
    EXPECT_EQ(s["presses_failed"], 0);
    EXPECT_EQ(s["targets"], 1);
    EXPECT_EQ(s["targets_failed"], passed ? 0 : 1);
    EXPECT_EQ(s["targets_skipped"], 0);
    EXPECT_EQ(s["passed"], passed);
    EXPECT_EQ(s["exit_status"], status);
}

// The history's last lines: the end banner, then the lines after the press.
std::string AfterTheHistory(const std::string& history)
{
    const std::string banner = "********************       TEST ENDS         ********************\n";
    const size_t at = history.rfind(banner);
    return at == std::string::npos ? "(no end banner)" : history.substr(at + banner.size());
}

// A pass whose intermediate ends first, with --warn-days: every field of the
// record, the chain as built, and the warning after the history.
TEST(CliRecords, ATlsPassThroughTheProgramFieldByField)
{
    TestPki& pki = TestPki::Get(); // the program inherits SSL_CERT_FILE
    Identity id =
        pki.LeafUnder({"/C=US/O=Kestavane Test/CN=Short Intermediate", {}, true, -10, 2, 0x77, "", 12},
                      {"/CN=localhost", {"DNS:localhost"}, false, -1, 10, 0x1234});
    TlsPeer peer(PeerFor(id));
    const std::time_t before = std::time(nullptr);
    // Nine hours east of UTC: the dates must not follow the local zone.
    const Captured c = RunProgram({Program(), "manual", "localhost", std::to_string(peer.Port()), "--format",
                                   "json", "--warn-days", "5"},
                                  {"TZ=KVT-9"});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(c.status, 4) << c.err;
    const std::string& history = c.err;
    EXPECT_NE(history.find("Connection Closed -- TEST SUCCESSFUL. \n"), std::string::npos) << history;
    const std::vector<json> objects = JsonLines(c.out);
    ASSERT_EQ(objects.size(), 2u) << c.out;
    ExpectTypedSummary(objects, "manual", true, 4);
    EXPECT_GE(objects[1]["started_at"].get<std::string>(), IsoOf(before));
    EXPECT_LE(objects[1]["started_at"].get<std::string>(), IsoOf(after));

    const json& t = objects[0];
    EXPECT_EQ(t["type"], "target");
    EXPECT_EQ(t["format_version"], 2);
    EXPECT_EQ(t["run_id"], objects[1]["run_id"]);
    EXPECT_TRUE(t["button_id"].is_null());
    EXPECT_TRUE(t["caption"].is_null());
    EXPECT_EQ(t["label"], kTyped);
    EXPECT_EQ(t["host"], "localhost");
    EXPECT_EQ(t["port"], peer.Port());
    EXPECT_EQ(t["tester"], "tls");
    EXPECT_EQ(t["resolved_address"], "127.0.0.1");
    EXPECT_EQ(t["source_address"], "127.0.0.1");
    EXPECT_EQ(HistorySourcePorts(history), std::vector<int>{t["source_port"].get<int>()});
    EXPECT_EQ(t["passed"], true);
    for (const char* field : {"failed_step", "reason", "cause", "code", "hint", "addresses"})
        EXPECT_TRUE(t[field].is_null()) << field;
    EXPECT_EQ(TimedSteps(t), kTlsSteps);

    // The connection's facts, as the history names them.
    const json& tls = t["tls"];
    EXPECT_EQ(tls["protocol"], "TLS1.2");
    EXPECT_EQ(tls["cipher"], "AES(256)");
    EXPECT_EQ(tls["cipher_strength"], 256);
    EXPECT_EQ(tls["hash"], "SHA_384");
    EXPECT_EQ(tls["hash_strength"], 384);
    EXPECT_EQ(tls["key_exchange"], "Elliptic Curve DH Ephemeral");
    EXPECT_EQ(tls["key_exchange_strength"], 255);
    EXPECT_EQ(tls["header_size"], 13);
    EXPECT_EQ(tls["trailer_size"], 16);
    EXPECT_EQ(tls["max_message_size"], 16384);
    EXPECT_EQ(After(history, "Protocol: "), tls["protocol"].get<std::string>());
    EXPECT_EQ(After(history, "Cipher: "), tls["cipher"].get<std::string>());
    EXPECT_EQ(After(history, "Hash: "), tls["hash"].get<std::string>());
    EXPECT_EQ(After(history, "Key exchange: "), tls["key_exchange"].get<std::string>());
    EXPECT_EQ(After(history, "Header: "), "13, Trailer: 16, MaxMessage: 16384");

    // The certificate, its dates from the certificate itself.
    const std::string inter = "C=US, O=Kestavane Test, CN=Short Intermediate";
    const json& cert = tls["certificate"];
    EXPECT_EQ(cert["subject"], "CN=localhost");
    EXPECT_EQ(cert["issuer"], inter);
    EXPECT_EQ(After(history, "Server issuer: "), inter);
    EXPECT_EQ(cert["serial"], "0x12 0x34"); // the history's blank at the end stays there
    EXPECT_EQ(After(history, "Serial Number is: "), "0x12 0x34 ");
    EXPECT_EQ(cert["not_before"], Iso(X509_get0_notBefore(id.cert.get())));
    EXPECT_EQ(cert["not_after"], Iso(X509_get0_notAfter(id.cert.get())));
    const int64_t notAfter = Seconds(X509_get0_notAfter(id.cert.get()));
    EXPECT_GE(cert["days_until_expiry"].get<long long>(), FloorDays(notAfter - after));
    EXPECT_LE(cert["days_until_expiry"].get<long long>(), FloorDays(notAfter - before));
    EXPECT_GE(cert["days_until_expiry"].get<long long>(), 9);
    EXPECT_EQ(tls["verify_code"], 0);
    EXPECT_EQ(tls["verify_name"], "ERROR_SUCCESS");

    // The chain as built, root last; the intermediate ends first.
    ASSERT_EQ(tls["chain"].size(), 3u);
    EXPECT_EQ(tls["chain"][0], cert);
    EXPECT_EQ(tls["chain"][1]["subject"], inter);
    EXPECT_EQ(tls["chain"][1]["serial"], "0x77");
    EXPECT_EQ(tls["chain"][1]["not_after"], Iso(X509_get0_notAfter(id.issuer.get())));
    EXPECT_EQ(tls["chain"][1]["days_until_expiry"], 2);
    EXPECT_EQ(tls["chain"][2]["subject"], "C=US, O=Kestavane Test, CN=Kestavane Test Root");
    EXPECT_EQ(tls["earliest_not_after"], tls["chain"][1]["not_after"]);
    EXPECT_EQ(tls["earliest_days_until_expiry"], 2);
    const std::string warning =
        inter + " expires on " + tls["earliest_not_after"].get<std::string>() + ", in 2 days";
    EXPECT_EQ(t["warnings"], json::array({warning}));
    EXPECT_EQ(AfterTheHistory(history), "WARNING  " + kTyped + ": " + warning + "\n");
}

// One way to fail per row, as the command line presents it: the record's
// failure and its hint, and the hint after the history.
struct HintRow
{
    const char* name;
    const char* command;
    std::function<std::string(std::vector<std::shared_ptr<void>>&)> peer; // the SERVER PORT arguments' port
    const char* host;
    const char* failedStep;
    const char* cause;
    int code; // 0: none
    std::string reason;
    Steps steps;
    const char* hint;
};

std::string PolicyReason(long long error, const char* text)
{
    return "VerifyCertificateChain Failed (F) - Error = " + std::to_string(error) + " more: " + text;
}

const HintRow kHintRows[] = {
    {"Refused", "manual", [](auto&) { return std::to_string(ClosedPort()); }, "127.0.0.1", "connect",
     "refused", 10061, "Socket Connect to " + kTyped + " Failed.", Steps{"resolve", "connect"},
     "refused: the host answered but does not accept this port"},
    {"TimedOut", "plain",
     [](auto& keep) {
         auto full = std::make_shared<DroppingListener>();
         keep.push_back(full);
         return std::to_string(full->Port());
     },
     "gw.test", "connect", "timed_out", 10060, "Socket Connect to " + kTyped + " Failed.",
     Steps{"resolve", "connect"}, "timed out: something between this PC and the host drops the connection"},
    {"NotYetValid", "manual",
     [](auto& keep) {
         auto id =
             std::make_shared<Identity>(TestPki::Get().Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, 2, 30}));
         keep.push_back(id);
         auto peer = std::make_shared<TlsPeer>(PeerFor(*id));
         keep.push_back(peer);
         return std::to_string(peer->Port());
     },
     "gw.test", "verification", "not_yet_valid", -2146762495,
     PolicyReason(-2146762495, "SSL Certificate is Expired."), kTlsSteps,
     "not yet valid: check this PC's date and time"},
    {"NoDnsServer", "manual",
     [](auto& keep) {
         keep.push_back(DnsConfig("", ""));
         NoDnsAnswer();
         return std::string("443");
     },
     "gw.test", "resolve", "no_dns_server", 11002, "DNS Lookup of gw.test Failed!", Steps{"resolve"},
     "no DNS server configured: run check-dns"},
    {"NameNotFound", "plain", [](auto&) { return std::string("9000"); }, "nohost.invalid", "resolve",
     "name_not_found", 11001, "DNS Lookup of nohost.invalid Failed!", Steps{"resolve"},
     "name not found: the DNS servers do not know this name; check its spelling"},
    {"NoGreeting", "plain",
     [](auto& keep) {
         auto silent = std::make_shared<ScriptedServer>([](int fd) { DrainUntilClosed(fd, 5000); });
         keep.push_back(silent);
         return std::to_string(silent->Port());
     },
     "gw.test", "greeting", "greeting_timed_out", 0, "Timeout waiting for 'CONNECTED' From " + kTyped,
     Steps{"resolve", "connect", "greeting", "shutdown"},
     "no greeting: the host took the connection but sent no CONNECTED greeting in time"},
};

class CliHints : public ::testing::TestWithParam<HintRow>
{
protected:
    FakeResolver m_resolver;
    CTestClock m_clock; // the waits that run out do so at once
};

TEST_P(CliHints, FollowTheHistoryAndTheRecordKeyedToTheCause)
{
    const HintRow& row = GetParam();
    std::vector<std::shared_ptr<void>> keep;
    const std::string port = row.peer(keep);
    const Captured c = Cli({row.command, row.host, port, "--format", "json"});
    keep.clear();
    EXPECT_EQ(c.status, 1);
    const std::vector<json> objects = JsonLines(c.out);
    ASSERT_EQ(objects.size(), 2u) << c.out;
    ExpectTypedSummary(objects, row.command, false, 1);
    const json& t = objects[0];
    EXPECT_EQ(t["label"], kTyped);
    EXPECT_EQ(t["host"], row.host);
    EXPECT_EQ(t["port"], std::stoi(port));
    EXPECT_EQ(t["tester"], std::string(row.command) == "manual" ? "tls" : "plain");
    EXPECT_EQ(t["passed"], false);
    EXPECT_EQ(t["failed_step"], row.failedStep);
    EXPECT_EQ(t["cause"], row.cause);
    EXPECT_EQ(t["code"], row.code != 0 ? json(row.code) : json(nullptr));
    EXPECT_EQ(t["reason"], row.reason);
    EXPECT_EQ(t["hint"], row.hint);
    EXPECT_EQ(t["warnings"], json::array());
    EXPECT_EQ(TimedSteps(t), row.steps);
    const bool resolved = row.steps.count("connect") != 0;
    const bool connected = row.steps.count("shutdown") != 0;
    EXPECT_EQ(t["resolved_address"], resolved ? json("127.0.0.1") : json(nullptr));
    EXPECT_EQ(t["source_address"], connected ? json("127.0.0.1") : json(nullptr));
    EXPECT_EQ(t["source_port"].is_null(), !connected);
    EXPECT_EQ(HistorySourcePorts(c.err),
              connected ? std::vector<int>{t["source_port"].get<int>()} : std::vector<int>{});
    EXPECT_EQ(t["tls"].is_null(), row.steps.count("verify") == 0);
    if (!t["tls"].is_null())
    {
        EXPECT_EQ(t["tls"]["verify_name"], "CERT_E_EXPIRED");
        EXPECT_EQ(t["tls"]["verify_code"], row.code); // signed, as the reason prints it
    }
    // The reason ends its line in the history (the plain test breaks the
    // connect failure's line before it); the hint comes after the history.
    EXPECT_NE(c.err.find(row.reason + "\n"), std::string::npos) << c.err;
    EXPECT_EQ(AfterTheHistory(c.err), "HINT  " + kTyped + ": " + row.hint + "\n");
}

INSTANTIATE_TEST_SUITE_P(Causes, CliHints, ::testing::ValuesIn(kHintRows),
                         [](const ::testing::TestParamInfo<HintRow>& info) { return info.param.name; });

// The window's atoi stays: "65979" reaches the socket as 443, its low 16
// bits, and the record names 443, the port tested.
TEST(CliRecords, ARecordNamesThePortActuallyConnectedTo)
{
    std::vector<ResultRecord> records;
    bool passed = false;
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            ScriptedServer greeter(
                [](int fd) {
                    SendAll(fd, "CONNECTED\x03");
                    DrainUntilClosed(fd, 3000);
                },
                1, std::chrono::seconds(30), {"127.0.0.1", 443});
            CConsoleHistoryOwner owner(nullptr);
            CCollectingSink sink;
            owner.SetResultSink(&sink);
            passed = RunManualPlainTest(&owner, "127.0.0.1", "65979");
            owner.SetResultSink(nullptr);
            records = sink.Take();
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_TRUE(passed);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::get<TargetRecord>(records[0]).port, 443);
}

// ---- presses

const ProcessorEntry& Entry(int id) { return *FindProcessorEntry(id); }
const char* Host(int id, int n) { return Entry(id).targets[n].host; }
const char* Label(int id, int n) { return Entry(id).targets[n].label; }
std::string SeriesOf(int id, int n)
{
    return "id=\"" + std::to_string(id) + "\",label=\"" + Label(id, n) + "\",host=\"" + Host(id, n) +
           "\",port=\"" + std::to_string(Entry(id).targets[n].port) + "\"";
}

// A press whose primary's name has three addresses, in a namespace of the
// test's own: the same history with --all-addresses, then each address's
// result after it and in the record.
TEST(CliRecords, EveryAddressOfANameIsTestedOnlyForTheRecord)
{
    Captured plain, all;
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            auto greeter = [](int fd) {
                SendAll(fd, "CONNECTED\x03");
                DrainUntilClosed(fd, 3000);
            };
            ScriptedServer first(greeter, 4, std::chrono::seconds(30), {"127.0.0.1", 9000});
            ScriptedServer second(greeter, 1, std::chrono::seconds(30), {"127.0.0.2", 9000});
            const std::string primary = Host(1011, 0), secondary = Host(1011, 1);
            ws2::SetListResolver([&](const std::string& name) {
                ws2::Lookup found;
                for (const char* text : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
                    if (name == primary || (name == secondary && found.addresses.empty()))
                        found.addresses.push_back(in_addr{::inet_addr(text)});
                return found;
            });
            plain = Cli({"run", "1011"});
            all = Cli({"run", "1011", "--all-addresses", "--format", "json"});
            ws2::SetResolver(nullptr);
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(all.status, 0);
    const std::string lines = "ADDRESSES  " + std::string(Label(1011, 0)) +
                              ": 2 of 3 addresses reachable (127.0.0.3 refused)\n" + "ADDRESSES  " +
                              Label(1011, 1) + ": 1 of 1 address reachable\n";
    EXPECT_EQ(SourcePortsMasked(all.err), SourcePortsMasked(plain.out) + lines);
    const std::vector<json> objects = JsonLines(all.out);
    ASSERT_EQ(objects.size(), 4u) << all.out;
    EXPECT_EQ(objects[0]["addresses"],
              json::parse(R"([{"address":"127.0.0.1","passed":true,"failed_step":null,"cause":null},
                              {"address":"127.0.0.2","passed":true,"failed_step":null,"cause":null},
                              {"address":"127.0.0.3","passed":false,"failed_step":"connect","cause":"refused"}])"));
}

// Five presses in a namespace of the test's own: a Single and a Chain that
// pass, a Chain stopped by a refused primary, a Chain whose secondary never
// greets, a Pair whose first name does not resolve.
TEST(CliRecords, PressesCarryTheirTargetsTestedAndSkippedAndTheSummaryCountsThem)
{
    TestPki& pki = TestPki::Get();
    std::vector<int64_t> notAfter;
    Captured json1, prom;
    std::string promFile;
    std::time_t before = 0, after = 0, promBefore = 0, promAfter = 0;
    char dirName[] = "/tmp/kvrecXXXXXX";
    const std::string dir = ::mkdtemp(dirName);
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            std::vector<Identity> ids;
            std::vector<std::unique_ptr<TlsPeer>> peers;
            auto tlsPeer = [&](const std::string& host, const std::string& address, int port) {
                ids.push_back(pki.Leaf({"/CN=" + host, {"DNS:" + host}}));
                notAfter.push_back(Seconds(X509_get0_notAfter(ids.back().cert.get())));
                TlsPeerOptions o = PeerFor(ids.back(), 2);
                o.listenAt = {address, port};
                peers.push_back(std::make_unique<TlsPeer>(o));
            };
            tlsPeer(Host(1001, 0), "127.0.1.1", 5003);
            tlsPeer(Host(1003, 0), "127.0.1.2", 443);
            tlsPeer(Host(1003, 1), "127.0.1.3", 443);
            tlsPeer(Host(1041, 1), "127.0.1.7", 443);
            ScriptedServer greeter(
                [](int fd) {
                    SendAll(fd, "CONNECTED\x03");
                    DrainUntilClosed(fd, 3000);
                },
                2, std::chrono::seconds(30), {"127.0.1.5", 9000});
            ScriptedServer silent([](int fd) { DrainUntilClosed(fd, 5000); }, 2, std::chrono::seconds(30),
                                  {"127.0.1.6", 9000});
            CatalogueResolver resolver({{Host(1001, 0), "127.0.1.1"},
                                        {Host(1003, 0), "127.0.1.2"},
                                        {Host(1003, 1), "127.0.1.3"},
                                        {Host(1008, 0), "127.0.1.4"}, // nothing listens
                                        {Host(1011, 0), "127.0.1.5"},
                                        {Host(1011, 1), "127.0.1.6"},
                                        {Host(1041, 1), "127.0.1.7"}});
            CTestClock clock;
            before = std::time(nullptr);
            json1 = Cli({"run", "1001", "1003", "1008", "1011", "1041", "--format", "json"});
            after = std::time(nullptr);
            promBefore = std::time(nullptr);
            prom = Cli({"run", "1001", "1003", "1008", "1011", "1041", "--format", "prometheus", "--output",
                        dir + "/k.prom"});
            promAfter = std::time(nullptr);
            std::ifstream in(dir + "/k.prom");
            promFile.assign(std::istreambuf_iterator<char>(in), {});
        },
        &why);
    std::filesystem::remove_all(dir);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_EQ(json1.status, 1);
    EXPECT_EQ(prom.status, 1);
    EXPECT_EQ(SourcePortsMasked(prom.out), SourcePortsMasked(json1.err));

    const std::vector<json> objects = JsonLines(json1.out);
    ASSERT_EQ(objects.size(), 14u) << json1.out;
    // What each target object must say, in order; the press follows its targets.
    struct Expected
    {
        int id, n;
        std::string tester;
        const char* address;
        bool passed;
        const char* failedStep;
        std::string reason;
        Steps steps;
    };
    const std::vector<Expected> targets = {
        {1001, 0, "tls", "127.0.1.1", true, nullptr, "", kTlsSteps},
        {1003, 0, "tls", "127.0.1.2", true, nullptr, "", kTlsSteps},
        {1003, 1, "tls", "127.0.1.3", true, nullptr, "", kTlsSteps},
        {1008,
         0,
         "tls",
         "127.0.1.4",
         false,
         "connect",
         std::string("Socket Connect to ") + Label(1008, 0) + " Failed.",
         {"resolve", "connect"}},
        {1011, 0, "plain", "127.0.1.5", true, nullptr, "", {"resolve", "connect", "greeting", "shutdown"}},
        {1011,
         1,
         "plain",
         "127.0.1.6",
         false,
         "greeting",
         std::string("Timeout waiting for 'CONNECTED' From ") + Label(1011, 1),
         {"resolve", "connect", "greeting", "shutdown"}},
        {1041,
         0,
         "tls",
         nullptr,
         false,
         "resolve",
         std::string("DNS Lookup of ") + Host(1041, 0) + " Failed!",
         {"resolve"}},
        {1041, 1, "tls", "127.0.1.7", true, nullptr, "", kTlsSteps},
    };
    const std::vector<size_t> targetAt = {0, 2, 3, 5, 7, 8, 10, 11};
    std::vector<int> sourcePorts;
    std::map<std::string, double> up, steps; // the textfile's series, below
    for (size_t k = 0; k < targets.size(); ++k)
    {
        const Expected& e = targets[k];
        const json& t = objects[targetAt[k]];
        SCOPED_TRACE(std::string(Label(e.id, e.n)));
        EXPECT_EQ(t["type"], "target");
        EXPECT_EQ(t["button_id"], e.id);
        EXPECT_EQ(t["caption"], Entry(e.id).caption);
        EXPECT_EQ(t["label"], Label(e.id, e.n));
        EXPECT_EQ(t["host"], Host(e.id, e.n));
        EXPECT_EQ(t["port"], Entry(e.id).targets[e.n].port);
        EXPECT_EQ(t["tester"], e.tester);
        EXPECT_EQ(t["resolved_address"], e.address ? json(e.address) : json(nullptr));
        EXPECT_EQ(t["passed"], e.passed);
        EXPECT_EQ(t["failed_step"], e.failedStep ? json(e.failedStep) : json(nullptr));
        EXPECT_EQ(t["reason"], e.passed ? json(nullptr) : json(e.reason));
        if (!e.passed)
        {
            EXPECT_NE(json1.err.find(e.reason + "\n"), std::string::npos); // ending its line
        }
        EXPECT_EQ(TimedSteps(t), e.steps);
        const bool connected = e.steps.count("shutdown") != 0;
        EXPECT_EQ(t["source_address"], connected ? json("127.0.0.1") : json(nullptr));
        EXPECT_EQ(t["source_port"].is_null(), !connected);
        if (connected)
        {
            sourcePorts.push_back(t["source_port"]);
        }
        else
        {
            EXPECT_TRUE(t["source_port"].is_null());
        }
        EXPECT_EQ(t["tls"].is_null(), e.tester == "plain" || !connected);
        if (e.tester == "tls" && connected)
        {
            EXPECT_EQ(t["tls"]["certificate"]["subject"], std::string("CN=") + Host(e.id, e.n));
            EXPECT_EQ(t["tls"]["verify_name"], "ERROR_SUCCESS");
        }
        for (const auto& step : e.steps)
            steps[SeriesOf(e.id, e.n) + ",step=\"" + step + "\""] = 0;
        up[SeriesOf(e.id, e.n)] = e.passed ? 1 : 0;
    }
    EXPECT_EQ(HistorySourcePorts(json1.err), sourcePorts);
    EXPECT_EQ(objects[8]["times_ms"]["greeting"], 10000.0);

    auto press = [](int id, const char* sequence, std::vector<std::string> tested,
                    std::vector<std::string> skipped, bool passed) {
        return json{{"type", "press"},      {"format_version", 2},
                    {"button_id", id},      {"caption", Entry(id).caption},
                    {"sequence", sequence}, {"tested", tested},
                    {"skipped", skipped},   {"passed", passed},
                    {"path", "direct"}};
    };
    // The line's time and the run's id aside (the parallel test checks them).
    auto bare = [](json j) {
        j.erase("time");
        j.erase("run_id");
        return j;
    };
    EXPECT_EQ(bare(objects[1]), press(1001, "Single", {Label(1001, 0)}, {}, true));
    EXPECT_EQ(bare(objects[4]), press(1003, "Chain", {Label(1003, 0), Label(1003, 1)}, {}, true));
    EXPECT_EQ(bare(objects[6]), press(1008, "Chain", {Label(1008, 0)}, {Label(1008, 1)}, false));
    EXPECT_EQ(bare(objects[9]), press(1011, "Chain", {Label(1011, 0), Label(1011, 1)}, {}, false));
    EXPECT_EQ(bare(objects[12]), press(1041, "Pair", {Label(1041, 0), Label(1041, 1)}, {}, false));

    json summary = bare(objects[13]);
    EXPECT_GE(summary["started_at"].get<std::string>(), IsoOf(before));
    EXPECT_LE(summary["started_at"].get<std::string>(), IsoOf(after));
    EXPECT_TRUE(summary["duration_ms"].is_number());
    EXPECT_GE(summary["duration_ms"].get<double>(), 0.0);
    summary.erase("started_at");
    summary.erase("duration_ms");
    EXPECT_EQ(summary, (json{{"type", "summary"},
                             {"format_version", 2},
                             {"command", "run"},
                             {"jobs", 1},
                             {"presses", 5},
                             {"presses_failed", 3},
                             {"targets", 8},
                             {"targets_failed", 3},
                             {"targets_skipped", 1},
                             {"passed", false},
                             {"exit_status", 1}}));

    // The textfile of the same presses: a series for each target tested and
    // each press, a step's series exactly where the step ran.
    const auto samples = ParsePrometheus(promFile);
    auto family = [&](const std::string& name) {
        std::map<std::string, double> found;
        auto [from, to] = samples.equal_range(name);
        for (auto it = from; it != to; ++it)
            found[it->second.first] = it->second.second;
        return found;
    };
    std::map<std::string, double> foundSteps = family("kestavane_target_step_seconds");
    for (auto& [labels, value] : foundSteps)
    {
        EXPECT_GE(value, 0.0) << labels;
        value = 0;
    }
    EXPECT_EQ(foundSteps, steps);
    EXPECT_EQ(family("kestavane_target_up"), up);
    EXPECT_EQ(family("kestavane_target_failure_info"),
              (std::map<std::string, double>{
                  {SeriesOf(1008, 0) + R"(,step="connect",cause="refused")", 1},
                  {SeriesOf(1011, 1) + R"(,step="greeting",cause="greeting_timed_out")", 1},
                  {SeriesOf(1041, 0) + R"(,step="resolve",cause="name_not_found")", 1}}));
    EXPECT_EQ(family("kestavane_target_step_seconds")[SeriesOf(1011, 1) + ",step=\"greeting\""], 10.0);
    EXPECT_EQ(family("kestavane_press_up"),
              (std::map<std::string, double>{{R"(id="1001",label="TSYS-VITAL TNS")", 1},
                                             {R"(id="1003",label="PAYMENTECH NETCONNECT")", 1},
                                             {R"(id="1008",label="CARDNET-BUYPASS NASHVILLE")", 0},
                                             {R"(id="1011",label="MERCURY LOMBRIX")", 0},
                                             {R"(id="1041",label="VALUTEC-MELLENIA GIFT")", 0}}));
    // Seconds until each certificate's end, from the run's end.
    const auto expiry = family("kestavane_certificate_expiry_seconds");
    ASSERT_EQ(expiry.size(), 4u);
    const std::vector<std::pair<int, int>> withCertificates = {{1001, 0}, {1003, 0}, {1003, 1}, {1041, 1}};
    // The leaves end long before the test's intermediate and root.
    auto earliest = family("kestavane_tls_earliest_expiry_timestamp_seconds");
    ASSERT_EQ(earliest.size(), 4u);
    for (size_t k = 0; k < withCertificates.size(); ++k)
    {
        const auto [id, n] = withCertificates[k];
        const std::string labels = SeriesOf(id, n);
        EXPECT_EQ(earliest[labels], static_cast<double>(notAfter[k])) << labels;
        ASSERT_EQ(expiry.count(labels), 1u) << labels;
        EXPECT_GE(expiry.at(labels), static_cast<double>(notAfter[k] - promAfter));
        EXPECT_LE(expiry.at(labels), static_cast<double>(notAfter[k] - promBefore));
    }
    const auto last = family("kestavane_last_run_timestamp_seconds");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_GE(last.begin()->second, static_cast<double>(promBefore));
    EXPECT_LE(last.begin()->second, static_cast<double>(promAfter));
}

// ---- the README's tables against the program

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    size_t at = 1;
    for (size_t bar; (bar = row.find(" |", at)) != std::string::npos; at = bar + 2)
    {
        std::string cell = row.substr(at, bar - at);
        cell.erase(0, cell.find_first_not_of(' '));
        cells.push_back(cell);
    }
    return cells;
}

std::vector<std::string> Backticked(const std::string& text)
{
    std::vector<std::string> names;
    static const std::regex name("`([^`]+)`");
    for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
        names.push_back((*it)[1]);
    return names;
}

// "integer or null" as the JSON types it allows.
std::set<std::string> Types(const std::string& text)
{
    std::set<std::string> types;
    static const std::regex word("[a-z]+");
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it)
        if (it->str() != "or" && it->str() != "of")
            types.insert(it->str() == "strings"   ? "string-items"
                         : it->str() == "objects" ? "object-items"
                                                  : it->str());
    return types;
}

std::string TypeOf(const json& value)
{
    switch (value.type())
    {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "integer";
    case json::value_t::number_float: return "number";
    case json::value_t::string: return "string";
    case json::value_t::object: return "object";
    case json::value_t::array: return "array";
    default: return "other";
    }
}

// Field paths ("tls.certificate.serial") with their documented types, by object type.
using Fields = std::map<std::string, std::map<std::string, std::set<std::string>>>;

Fields DocumentedFields(const std::string& readme)
{
    Fields fields;
    const size_t from = readme.find("### JSON Lines (`--format json`)");
    const size_t to = readme.find("\n### ", from + 1);
    EXPECT_NE(from, std::string::npos);
    std::istringstream section(readme.substr(from, to - from));
    std::string object, prefix, context, previous;
    for (std::string line; std::getline(section, line);)
    {
        if (line.rfind("| Field |", 0) == 0)
        {
            object.clear();
            for (const auto& [start, of, path] :
                 std::vector<std::tuple<std::string, std::string, std::string>>{
                     {"Target (", "target", ""},
                     {"`tls`", "target", "tls."},
                     {"`times_ms`", "target", "times_ms."},
                     {"Each element of `tls.chain`", "target", "tls.chain[]."},
                     {"Each element of `addresses`", "target", "addresses[]."},
                     {"Press (", "press", ""},
                     {"Summary (", "summary", ""}})
                if (context.rfind(start, 0) == 0)
                    object = of, prefix = path;
            EXPECT_FALSE(object.empty()) << "a table after: " << context;
            continue;
        }
        if (line.rfind("|", 0) != 0)
        {
            // A table's object is named by the paragraph before it.
            if (!line.empty() && previous.empty())
                context = line;
            previous = line;
            continue;
        }
        previous = line;
        const std::vector<std::string> cells = Cells(line);
        if (object.empty() || cells.size() != 3 || cells[0].rfind("---", 0) == 0)
            continue;
        const std::vector<std::string> names = Backticked(cells[0]);
        std::vector<std::string> types;
        for (size_t at = 0, comma; at != std::string::npos;
             at = comma == std::string::npos ? comma : comma + 2)
        {
            comma = cells[1].find(", ", at);
            types.push_back(cells[1].substr(at, comma - at));
        }
        EXPECT_TRUE(types.size() == 1 || types.size() == names.size()) << line;
        for (size_t i = 0; i < names.size(); ++i)
            fields[object][prefix + names[i]] = Types(types[types.size() == 1 ? 0 : i]);
    }
    return fields;
}

void Emitted(const json& object, const std::string& prefix,
             std::map<std::string, std::set<std::string>>& into)
{
    for (const auto& [key, value] : object.items())
    {
        std::set<std::string>& types = into[prefix + key];
        types.insert(TypeOf(value));
        if (value.is_object())
            Emitted(value, prefix + key + ".", into);
        if (value.is_array())
            for (const auto& item : value)
            {
                types.insert(TypeOf(item) + "-items");
                if (item.is_object())
                    Emitted(item, prefix + key + "[].", into);
            }
    }
}

TEST(CliRecords, TheReadmeDocumentsEveryFieldThePrintedRecordsHaveAndNoOther)
{
    TestPki& pki = TestPki::Get();
    Identity id = pki.Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    TlsPeer peer(PeerFor(id, 2));
    std::vector<json> objects;
    std::vector<std::string> promFiles;
    char dirName[] = "/tmp/kvreadmeXXXXXX";
    const std::string dir = ::mkdtemp(dirName);
    {
        FakeResolver resolver; // a catalogue host does not resolve
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"manual", "gw.test", std::to_string(peer.Port()), "--all-addresses"}, {"run", "1008"}})
        {
            std::vector<std::string> json = args, prom = args;
            json.insert(json.end(), {"--format", "json"});
            prom.insert(prom.end(), {"--format", "prometheus", "--output", dir + "/k.prom"});
            const std::vector<nlohmann::json> some = JsonLines(Cli(json).out);
            objects.insert(objects.end(), some.begin(), some.end());
            Cli(prom);
            promFiles.push_back(ReadAll(dir + "/k.prom"));
        }
    }
    std::filesystem::remove_all(dir);

    Fields printed;
    for (const json& object : objects)
        Emitted(object, "", printed[object.value("type", "?")]);
    const std::string readme = ReadAll(KV_SOURCE_DIR "/README.md");
    Fields documented = DocumentedFields(readme);
    ASSERT_EQ(printed.size(), 3u); // target, press, summary
    for (const auto& [type, fields] : printed)
    {
        std::set<std::string> printedNames, documentedNames;
        for (const auto& [name, types] : fields)
            printedNames.insert(name);
        for (const auto& [name, types] : documented[type])
            documentedNames.insert(name);
        EXPECT_EQ(printedNames, documentedNames) << type;
        // Each value printed is of a type the table gives ("number" takes an integer).
        for (const auto& [name, types] : fields)
            for (const std::string& t : types)
            {
                const auto& allowed = documented[type][name];
                EXPECT_TRUE(allowed.count(t) || (t == "integer" && allowed.count("number")))
                    << type << " " << name << " printed as " << t;
            }
    }

    // The metrics table: every family the files have, with its labels.
    std::map<std::string, std::set<std::string>> metricsDocumented, metricsPrinted;
    static const std::regex metric(R"(^\| `(kestavane_[a-z_]+)(\{([a-z_,]+)\})?` \|)");
    std::istringstream lines(readme);
    for (std::string line; std::getline(lines, line);)
    {
        std::smatch m;
        if (!std::regex_search(line, m, metric))
            continue;
        std::set<std::string>& labels = metricsDocumented[m[1]];
        std::istringstream names(m[3].str());
        for (std::string label; std::getline(names, label, ',');)
            labels.insert(label);
    }
    static const std::regex labelName(R"(([a-z_]+)=")");
    for (const std::string& file : promFiles)
        for (const auto& [name, sample] : ParsePrometheus(file))
        {
            std::set<std::string>& labels = metricsPrinted[name];
            for (std::sregex_iterator it(sample.first.begin(), sample.first.end(), labelName), end; it != end;
                 ++it)
                labels.insert((*it)[1]);
        }
    EXPECT_EQ(metricsPrinted, metricsDocumented);
}

// ---- the node exporter

// The exporter's page of metrics, over HTTP on loopback; empty when it does not answer.
std::string Scrape(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        SendAll(fd, "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"))
    {
        char buffer[16384];
        pollfd ready{fd, POLLIN, 0};
        for (ssize_t n; ::poll(&ready, 1, 10000) > 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

// Debian's node exporter, its textfile collector alone reading a folder of
// the test's own on a free loopback port. The program writes the file
// against a loopback peer whose chain has an intermediate that ends in 5 days.
TEST(CliRecords, TheNodeExporterServesEveryFileTheProgramWrites)
{
    for (const char* tool : {"/usr/bin/prometheus-node-exporter", "/usr/bin/promtool"})
        ASSERT_EQ(::access(tool, X_OK), 0) << tool << " missing: scripts/bootstrap.sh installs it";
    TestPki& pki = TestPki::Get();
    Key interKey = MakeEcKey();
    Cert inter = MakeCert({"/CN=Short Intermediate", {}, true, -1, 5, 0x77}, interKey.get(), pki.root.get(),
                          pki.rootKey.get());
    Identity id;
    id.key = MakeEcKey();
    id.cert = MakeCert({"/CN=localhost", {"DNS:localhost"}}, id.key.get(), inter.get(), interKey.get());
    id.chain = {inter.get()};
    TlsPeer peer(PeerFor(id, 2));
    const int64_t interEnd = Seconds(X509_get0_notAfter(inter.get()));

    char dirName[] = "/tmp/kvexporterXXXXXX";
    const std::string dir = ::mkdtemp(dirName);
    const std::string file = dir + "/kestavane.prom";
    const int port = ClosedPort();
    ChildProcess exporter({"timeout", "120", "/usr/bin/prometheus-node-exporter",
                           "--web.listen-address=127.0.0.1:" + std::to_string(port),
                           "--collector.disable-defaults", "--collector.textfile",
                           "--collector.textfile.directory=" + dir});
    ASSERT_TRUE(exporter.WaitForOutput("Listening on", 20000)) << exporter.Output();

    for (const char* detail : {"full", "summary"})
    {
        SCOPED_TRACE(detail);
        const std::time_t before = std::time(nullptr);
        const Captured c =
            RunProgram({Program(), "manual", "localhost", std::to_string(peer.Port()), "--quiet", "--format",
                        "prometheus", "--output", file, "--metrics", detail});
        EXPECT_EQ(c.status, 0) << c.err;
        // The journal's one line.
        EXPECT_TRUE(std::regex_match(
            c.out, std::regex("1 target, 0 failed; " + file + " written in [0-9]+\\.[0-9] s\n")))
            << c.out;
        EXPECT_EQ(PromtoolProblems(ReadAll(file)), "");

        const auto samples = ParsePrometheus(Scrape(port));
        auto value = [&](const std::string& name, const std::string& labels) {
            for (auto [it, end] = samples.equal_range(name); it != end; ++it)
                if (it->second.first == labels)
                    return it->second.second;
            return std::nan("");
        };
        EXPECT_EQ(value("node_textfile_scrape_error", ""), 0);
        // The exporter writes the labels in the order of their names; a typed
        // server tests no catalogue.
        EXPECT_EQ(value("kestavane_build_info", R"(catalogue="",version="2.1.0.0")"), 1);
        EXPECT_EQ(value("kestavane_run_targets", R"(result="passed")"), 1);
        const std::string target = R"(host="localhost",id="0",label="USER DEFINED GATEWAY AND PORT",port=")" +
                                   std::to_string(peer.Port()) + "\"";
        EXPECT_EQ(samples.count("kestavane_target_up"), detail == std::string("full") ? 1u : 0u);
        // Seconds until the intermediate ends, the first of the chain to end.
        const double left = value("kestavane_certificate_expiry_seconds", target);
        EXPECT_LE(left, static_cast<double>(interEnd - before));
        EXPECT_GE(left, static_cast<double>(interEnd - std::time(nullptr)));
    }
    std::filesystem::remove_all(dir);
}

} // namespace
