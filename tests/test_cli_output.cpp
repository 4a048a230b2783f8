// The command line's record formats, from records built here: JSON Lines
// field by field, the node exporter's textfile format, the atomic file.
#include "results.h"
#include "support/prometheus_text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;
using testing_support::ParsePrometheus;
namespace fs = std::filesystem;

namespace
{
constexpr std::time_t kNow = 1767225600; // 2026-01-01T00:00:00Z
constexpr std::time_t kDay = 86400;
const LineStamp kStamp{"5f0c2a1e-8d3b-4c6a-9e7f-0a1b2c3d4e5f", "2026-01-01T00:00:00.250Z"};

TargetRecord TlsPass()
{
    TargetRecord r;
    r.buttonId = 1003;
    r.caption = "PAYMENTECH\rNETCONNECT";
    r.label = "PAYMENTECH NETCONNECT Primary";
    r.host = "netconnect1.example";
    r.port = 443;
    r.tester = "tls";
    r.resolvedAddress = "127.0.0.1";
    r.sourceAddress = "127.0.0.1";
    r.sourcePort = 40001;
    r.passed = true;
    r.times = {1.5, 2.25, 30.0, std::nullopt, 4.0, 0.5};
    TlsFacts tls;
    tls.protocol = "TLS1.2";
    tls.cipher = "AES(256)";
    tls.cipherStrength = 256;
    tls.hash = "SHA_384";
    tls.hashStrength = 384;
    tls.keyExchange = "Elliptic Curve DH Ephemeral";
    tls.keyExchangeStrength = 255;
    tls.headerSize = 5;
    tls.trailerSize = 64;
    tls.maxMessageSize = 16384;
    tls.certificate = CertificateFacts{"CN=netconnect1.example", "CN=Test Intermediate", "0x01 0x9f ",
                                       kNow - 10 * kDay, kNow + 30 * kDay - 1};
    tls.verifyCode = 0;
    tls.verifyName = "ERROR_SUCCESS";
    r.tls = tls;
    return r;
}

TargetRecord TypedUnresolvable()
{
    TargetRecord r;
    r.label = "USER DEFINED GATEWAY AND PORT";
    r.host = "nowhere.invalid";
    r.port = 9000;
    r.tester = "plain";
    r.failedStep = TestStep::Resolve;
    r.reason = "Could not resolve host";
    r.times.resolveMs = 0.75;
    return r;
}

json Parsed(const std::string& line)
{
    EXPECT_EQ(line.find('\n'), std::string::npos);
    return json::parse(line);
}

std::set<std::string> Keys(const json& object)
{
    std::set<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it)
        keys.insert(it.key());
    return keys;
}

TEST(JsonLines, ATlsTargetFieldByField)
{
    const json j = Parsed(JsonLine(TlsPass(), kNow, kStamp));
    EXPECT_EQ(Keys(j), (std::set<std::string>{"type",           "format_version", "button_id",
                                              "caption",        "label",          "host",
                                              "port",           "tester",         "resolved_address",
                                              "source_address", "source_port",    "passed",
                                              "failed_step",    "reason",         "cause",
                                              "code",           "hint",           "warnings",
                                              "addresses",      "times_ms",       "tls",
                                              "path",           "proxy",          "time",
                                              "run_id"}));
    EXPECT_EQ(j["type"], "target");
    EXPECT_EQ(j["format_version"], 2);
    EXPECT_EQ(j["time"], kStamp.time);
    EXPECT_EQ(j["run_id"], kStamp.runId);
    EXPECT_EQ(j["button_id"], 1003);
    EXPECT_EQ(j["caption"], "PAYMENTECH\rNETCONNECT");
    EXPECT_EQ(j["label"], "PAYMENTECH NETCONNECT Primary");
    EXPECT_EQ(j["host"], "netconnect1.example");
    EXPECT_EQ(j["port"], 443);
    EXPECT_EQ(j["tester"], "tls");
    EXPECT_EQ(j["resolved_address"], "127.0.0.1");
    EXPECT_EQ(j["source_address"], "127.0.0.1");
    EXPECT_EQ(j["source_port"], 40001);
    EXPECT_EQ(j["passed"], true);
    EXPECT_TRUE(j["failed_step"].is_null());
    EXPECT_TRUE(j["reason"].is_null());
    EXPECT_EQ(j["times_ms"], (json{{"resolve", 1.5},
                                   {"connect", 2.25},
                                   {"handshake", 30.0},
                                   {"greeting", nullptr},
                                   {"verify", 4.0},
                                   {"shutdown", 0.5}}));
    const json& tls = j["tls"];
    EXPECT_EQ(Keys(tls),
              (std::set<std::string>{"protocol", "cipher", "cipher_strength", "hash", "hash_strength",
                                     "key_exchange", "key_exchange_strength", "header_size", "trailer_size",
                                     "max_message_size", "certificate", "verify_code", "verify_name", "chain",
                                     "earliest_not_after", "earliest_days_until_expiry"}));
    EXPECT_EQ(tls["protocol"], "TLS1.2");
    EXPECT_EQ(tls["cipher"], "AES(256)");
    EXPECT_EQ(tls["cipher_strength"], 256);
    EXPECT_EQ(tls["hash"], "SHA_384");
    EXPECT_EQ(tls["hash_strength"], 384);
    EXPECT_EQ(tls["key_exchange"], "Elliptic Curve DH Ephemeral");
    EXPECT_EQ(tls["key_exchange_strength"], 255);
    EXPECT_EQ(tls["header_size"], 5);
    EXPECT_EQ(tls["trailer_size"], 64);
    EXPECT_EQ(tls["max_message_size"], 16384);
    EXPECT_EQ(tls["verify_code"], 0);
    EXPECT_EQ(tls["verify_name"], "ERROR_SUCCESS");
    EXPECT_EQ(tls["certificate"], (json{{"subject", "CN=netconnect1.example"},
                                        {"issuer", "CN=Test Intermediate"},
                                        {"serial", "0x01 0x9f"}, // no blank at the end
                                        {"not_before", "2025-12-22T00:00:00Z"},
                                        {"not_after", "2026-01-30T23:59:59Z"},
                                        {"days_until_expiry", 29}}));
}

// The program's own failures are checked through it (test_cli_records.cpp);
// here a check that did not run, which those cannot reach.
TEST(JsonLines, ACheckThatDidNotRunIsNull)
{
    TargetRecord noCheck = TlsPass();
    noCheck.tls->verifyCode.reset();
    noCheck.tls->certificate.reset();
    const json k = Parsed(JsonLine(noCheck, kNow, kStamp));
    EXPECT_TRUE(k["tls"]["verify_code"].is_null());
    EXPECT_TRUE(k["tls"]["verify_name"].is_null());
    EXPECT_TRUE(k["tls"]["certificate"].is_null());
}

TEST(JsonLines, DaysUntilExpiryRoundDownAtOutputTime)
{
    const std::vector<std::pair<std::time_t, long long>> cases = {
        {kNow + 30 * kDay, 30}, {kNow + 30 * kDay - 1, 29}, {kNow + kDay - 1, 0},  {kNow, 0},
        {kNow - 1, -1},         {kNow - kDay, -1},          {kNow - kDay - 1, -2},
    };
    for (const auto& [notAfter, days] : cases)
        EXPECT_EQ(DaysUntil(notAfter, kNow), days) << notAfter - kNow;
    EXPECT_EQ(IsoUtc(kNow), "2026-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(0), "1970-01-01T00:00:00Z");
}

TEST(JsonLines, PressAndSummary)
{
    PressRecord press{1008,
                      "CARDNET-BUYPASS\rNASHVILLE",
                      "Chain",
                      {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Primary"},
                      {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Secondary"},
                      false};
    const json p = Parsed(JsonLine(press, kNow, kStamp));
    EXPECT_EQ(p, (json{{"type", "press"},
                       {"format_version", 2},
                       {"button_id", 1008},
                       {"caption", "CARDNET-BUYPASS\rNASHVILLE"},
                       {"sequence", "Chain"},
                       {"tested", {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Primary"}},
                       {"skipped", {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Secondary"}},
                       {"passed", false},
                       {"time", kStamp.time},
                       {"run_id", kStamp.runId},
                       {"path", "direct"}}));

    RunSummary summary{"run", 8, 2, 1, false, 1, kNow, 1234.5};
    const std::vector<ResultRecord> records = {TlsPass(), PressRecord{1003, "x", "Chain", {"a"}, {}, true},
                                               TypedUnresolvable(), press};
    EXPECT_EQ(Parsed(JsonSummaryLine(summary, records, kStamp)), (json{{"type", "summary"},
                                                                       {"format_version", 2},
                                                                       {"command", "run"},
                                                                       {"jobs", 8},
                                                                       {"presses", 2},
                                                                       {"presses_failed", 1},
                                                                       {"targets", 2},
                                                                       {"targets_failed", 1},
                                                                       {"targets_skipped", 1},
                                                                       {"passed", false},
                                                                       {"exit_status", 1},
                                                                       {"started_at", "2026-01-01T00:00:00Z"},
                                                                       {"duration_ms", 1234.5},
                                                                       {"time", kStamp.time},
                                                                       {"run_id", kStamp.runId}}));
}

// ---- the textfile format

std::map<std::string, double> Family(const std::string& text, const std::string& name)
{
    std::map<std::string, double> found;
    const auto samples = ParsePrometheus(text);
    auto [from, to] = samples.equal_range(name);
    for (auto it = from; it != to; ++it)
        found[it->second.first] = it->second.second;
    return found;
}

TEST(Prometheus, EveryFamilyInFullAndInSummary)
{
    TargetRecord pass = TlsPass();
    // An intermediate ends before the server's own.
    pass.tls->chain = {*pass.tls->certificate,
                       {"CN=Intermediate", "CN=Root", "0x02", kNow - kDay, kNow + 5 * kDay}};
    TargetRecord wrongName = TlsPass();
    wrongName.buttonId = 1004;
    wrongName.label = "NOVA \"VIACONEX\" \\ main\nline";
    wrongName.passed = false;
    wrongName.tls->certificate->notAfter = kNow - 2 * kDay;
    const std::vector<ResultRecord> records = {
        pass, PressRecord{1003, "PAYMENTECH\rNETCONNECT", "Chain", {"a"}, {}, true}, wrongName,
        PressRecord{1004, "ELAVON-NOVA\r(Host)", "Chain", {"b"}, {"c"}, false}, TypedUnresolvable()};
    const RunFacts facts{"2.1.0.0", "built-in", 12.5, false, std::nullopt};

    const std::string passed =
        R"(id="1003",label="PAYMENTECH NETCONNECT Primary",host="netconnect1.example",port="443")";
    const std::string wrong =
        R"(id="1004",label="NOVA \"VIACONEX\" \\ main\nline",host="netconnect1.example",port="443")";
    const std::string typed =
        R"(id="0",label="USER DEFINED GATEWAY AND PORT",host="nowhere.invalid",port="9000")";
    using Series = std::map<std::string, double>;
    for (const MetricsDetail detail : {MetricsDetail::Full, MetricsDetail::Summary})
    {
        const bool full = detail == MetricsDetail::Full;
        SCOPED_TRACE(full ? "full" : "summary");
        const std::string text = PrometheusText(records, kNow, facts, detail);
        EXPECT_EQ(testing_support::PromtoolProblems(text), "");
        // Summary: the failures only, and the one certificate that ends first.
        EXPECT_EQ(Family(text, "kestavane_target_up"),
                  full ? (Series{{passed, 1}, {wrong, 0}, {typed, 0}}) : (Series{{wrong, 0}, {typed, 0}}));
        EXPECT_EQ(Family(text, "kestavane_certificate_expiry_seconds"),
                  full ? (Series{{passed, 5 * kDay}, {wrong, -2 * kDay}}) : (Series{{wrong, -2 * kDay}}));
        EXPECT_EQ(Family(text, "kestavane_press_up"),
                  full ? (Series{{R"(id="1003",label="PAYMENTECH NETCONNECT")", 1},
                                 {R"x(id="1004",label="ELAVON-NOVA (Host)")x", 0}})
                       : (Series{{R"x(id="1004",label="ELAVON-NOVA (Host)")x", 0}}));
        const auto steps = Family(text, "kestavane_target_step_seconds");
        EXPECT_EQ(steps.size(),
                  full ? 11u : 0u); // five steps each for the TLS targets, the resolve of the typed one
        if (full)
        {
            EXPECT_DOUBLE_EQ(steps.at(passed + R"(,step="resolve")"), 0.0015);
            EXPECT_DOUBLE_EQ(steps.at(passed + R"(,step="handshake")"), 0.03);
            EXPECT_DOUBLE_EQ(steps.at(passed + R"(,step="shutdown")"), 0.0005);
            EXPECT_EQ(steps.count(passed + R"(,step="greeting")"), 0u);
            EXPECT_DOUBLE_EQ(steps.at(typed + R"(,step="resolve")"), 0.00075);
        }
        // The run and this PC, in both.
        EXPECT_EQ(Family(text, "kestavane_run_presses"),
                  (Series{{R"(result="passed")", 1}, {R"(result="failed")", 1}}));
        EXPECT_EQ(Family(text, "kestavane_run_targets"),
                  (Series{{R"(result="passed")", 1}, {R"(result="failed")", 2}, {R"(result="skipped")", 1}}));
        EXPECT_EQ(Family(text, "kestavane_run_duration_seconds"), (Series{{"", 12.5}}));
        EXPECT_EQ(Family(text, "kestavane_last_run_timestamp_seconds"), (Series{{"", kNow}}));
        EXPECT_EQ(Family(text, "kestavane_build_info"),
                  (Series{{R"(version="2.1.0.0",catalogue="built-in")", 1}}));
        EXPECT_EQ(Family(text, "kestavane_clock_synchronised"), (Series{{"", 0}}));
        EXPECT_EQ(text.find("kestavane_proxy_configured"), std::string::npos); // not known: no series
        EXPECT_NE(text.find("# TYPE kestavane_target_up gauge\n"), std::string::npos);
    }
}

// Whatever a typed host or a certificate holds, the file parses (by promtool
// and by the test's own reader), and a label says what the JSON line says.
TEST(Prometheus, HostileLabelValuesParseAndSayWhatTheJsonLineSays)
{
    const std::vector<std::string> hostile = {
        "quote \" here",         "back\\slash \\n",           "line\nfeed",
        "tab\t and \x01",        std::string("nul\0byte", 8), "lone \xff byte",
        "cut \xe2\x82",          "overlong \xc0\xaf",         "surrogate \xed\xa0\x80",
        "past \xf4\x90\x80\x80", "caf\xc3\xa9 stays"};
    std::vector<ResultRecord> records;
    for (size_t i = 0; i < hostile.size(); ++i)
    {
        TargetRecord r = TypedUnresolvable();
        r.host = r.label = hostile[i];
        r.port = static_cast<int>(i) + 1;
        records.push_back(r);
    }
    const std::string text = PrometheusText(records, kNow, {});
    EXPECT_EQ(testing_support::PromtoolProblems(text), "");
    const auto up = Family(text, "kestavane_target_up");
    ASSERT_EQ(up.size(), hostile.size()) << text;
    static const std::regex labels(
        R"re(label="((?:[^"\\]|\\.)*)",host="((?:[^"\\]|\\.)*)",port="([0-9]+)")re");
    for (const auto& [series, value] : up)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(series, m, labels)) << series;
        const size_t i = std::stoul(m[3]) - 1;
        const std::string written = m[2];
        std::string host; // as a reader takes it: \\n a line feed, \\x the x
        for (size_t at = 0; at < written.size(); ++at)
            host += written[at] != '\\' ? written[at] : written[++at] == 'n' ? '\n' : written[at];
        SCOPED_TRACE(hostile[i]);
        EXPECT_EQ(m[1], m[2]);
        EXPECT_EQ(host, json::parse(JsonLine(records[i], kNow, kStamp))["host"].get<std::string>());
    }
    EXPECT_NE(text.find("host=\"lone \xef\xbf\xbd byte\""), std::string::npos); // U+FFFD
}

TEST(Prometheus, NumbersReadBackExactlyInTheFewestDigits)
{
    TargetRecord r = TlsPass();
    r.times.resolveMs = 1.5;               // 0.0015 s
    r.times.connectMs = 0.1 + 0.2;         // needs all seventeen digits
    r.times.handshakeMs = 30000;           // whole seconds
    r.times.verifyMs = 1e-4 / 3;           // small enough for an exponent
    r.times.shutdownMs = 123456789012.345; // large, and not whole
    const std::string text = PrometheusText({r}, kNow, {});
    const auto samples = ParsePrometheus(text);
    std::map<std::string, double> steps;
    auto [from, to] = samples.equal_range("kestavane_target_step_seconds");
    for (auto it = from; it != to; ++it)
        steps[it->second.first.substr(it->second.first.rfind("step="))] = it->second.second;
    EXPECT_EQ(steps.at(R"(step="resolve")"), 1.5 / 1000);
    EXPECT_EQ(steps.at(R"(step="connect")"), (0.1 + 0.2) / 1000);
    EXPECT_EQ(steps.at(R"(step="handshake")"), 30);
    EXPECT_EQ(steps.at(R"(step="verify")"), 1e-4 / 3 / 1000);
    EXPECT_EQ(steps.at(R"(step="shutdown")"), 123456789012.345 / 1000);
    EXPECT_NE(text.find(R"(step="resolve"} 0.0015)"
                        "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(R"(step="handshake"} 30)"
                        "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("kestavane_last_run_timestamp_seconds 1767225600\n"), std::string::npos) << text;
}

TEST(Prometheus, APressRepeatedInOneRunKeepsOneSeriesWithItsLastValue)
{
    TargetRecord first = TlsPass();
    first.passed = false;
    const std::vector<ResultRecord> records = {first, PressRecord{1003, "P", "Chain", {}, {}, false},
                                               TlsPass(), PressRecord{1003, "P", "Chain", {}, {}, true}};
    const auto samples = ParsePrometheus(PrometheusText(records, kNow, {}));
    EXPECT_EQ(samples.count("kestavane_target_up"), 1u);
    EXPECT_EQ(samples.find("kestavane_target_up")->second.second, 1);
    EXPECT_EQ(samples.find("kestavane_press_up")->second.second, 1);
    EXPECT_EQ(samples.count("kestavane_press_up"), 1u);
}

// ---- the file a collector reads

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReplaceFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/kvpromXXXXXX";
        m_dir = ::mkdtemp(name);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir))
            names.push_back(e.path().filename());
        return names;
    }
    std::string m_dir;
};

TEST(FolderOf, BareRootedAndNestedNames)
{
    EXPECT_EQ(FolderOf("k.prom"), ".");
    EXPECT_EQ(FolderOf("/k.prom"), "/");
    EXPECT_EQ(FolderOf("/var/lib/x/k.prom"), "/var/lib/x");
    EXPECT_EQ(FolderOf("out/k.prom"), "out");
}

TEST_F(ReplaceFileTest, ANewFileIsRenamedOverTheOldOne)
{
    const std::string path = m_dir + "/kestavane.prom";
    std::string error;
    ASSERT_TRUE(ReplaceFile(path, "old 1\n", &error)) << error;
    struct stat before
    {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 07777, 0644u); // the exporter runs as another user
    // A reader that opened the old file keeps reading all of it.
    std::ifstream reader(path, std::ios::binary);
    ASSERT_TRUE(ReplaceFile(path, "new 2\n", &error)) << error;
    struct stat after
    {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino); // never written in place
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old 1\n");
    EXPECT_EQ(ReadAll(path), "new 2\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{"kestavane.prom"}); // no temporary file left
}

TEST_F(ReplaceFileTest, AFileThatCannotBeWrittenLeavesTheOldOneAndSaysWhy)
{
    const std::string path = m_dir + "/kestavane.prom";
    std::string error;
    ASSERT_TRUE(ReplaceFile(path, "old\n", &error));
    // A folder in the way of the rename.
    const std::string blocked = m_dir + "/blocked.prom";
    fs::create_directories(blocked + "/inside");
    EXPECT_FALSE(ReplaceFile(blocked, "new\n", &error));
    EXPECT_NE(error.find("cannot write '" + blocked + "'"), std::string::npos) << error;
    EXPECT_FALSE(ReplaceFile(m_dir + "/missing/kestavane.prom", "new\n", &error));
    EXPECT_NE(error.find("cannot create a file in '" + m_dir + "/missing'"), std::string::npos) << error;
    // A write that stops part of the way, as on a full disk: a file size limit.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{4, limit.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(ReplaceFile(path, "more than four bytes\n", &error));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(error, "cannot write '" + path + "': File too large");
    EXPECT_EQ(ReadAll(path), "old\n");
    auto names = Entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"blocked.prom", "kestavane.prom"}));
}
} // namespace
