#include "catalogue.h"
#include "cli.h"
#include "module.h"
#include "support/child_process.h"
#include "support/cli_run.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/prometheus_text.h"
#include "support/temp_folder.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

using namespace testing_support;

namespace
{
// One line that says what is wrong and one that points at --help.
TEST(Cli, UsageErrorsSayWhyAndExitTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"run"}, "run needs one or more ids or captions, or --all"},
        {{"run", "9999"}, "no catalogue button '9999'; 'kestavane-cli list' shows them"},
        {{"run", "1001", "NOPE"}, "no catalogue button 'NOPE'; 'kestavane-cli list' shows them"},
        {{"run", "--all", "--timeout", "5"}, "unknown option --timeout"},
        {{"manual", "host"}, "manual needs SERVER and PORT"},
        {{"plain", "a", "1", "extra"}, "plain needs SERVER and PORT"},
        {{"list", "x"}, "list takes no arguments"},
        // The command line tests exactly the port it is given, or none.
        {{"manual", "h", "65979"}, "PORT is a whole number from 1 to 65535, not '65979'"},
        {{"plain", "h", "0"}, "PORT is a whole number from 1 to 65535, not '0'"},
        {{"manual", "h", "443abc"}, "PORT is a whole number from 1 to 65535, not '443abc'"},
        {{"plain", "h", " 443"}, "PORT is a whole number from 1 to 65535, not ' 443'"},
        {{"manual", "h", "100000"}, "PORT is a whole number from 1 to 65535, not '100000'"},
        {{"manual", "h", "-1"}, "unknown option -1"},
    };
    for (const auto& [args, reason] : cases)
    {
        const Captured c = Cli(args);
        EXPECT_EQ(c.status, 2) << reason;
        EXPECT_EQ(c.err, "kestavane-cli: " + reason + "\nTry 'kestavane-cli --help' for more information.\n");
        EXPECT_EQ(c.out, "");
    }
    // The bounds themselves are tested.
    FakeResolver resolver;
    for (const char* port : {"1", "65535", "00443"})
        EXPECT_EQ(Cli({"plain", "nohost.invalid", port, "-q"}).status, 1) << port;
    EXPECT_EQ(resolver.Asked().size(), 3u);
}

TEST(Cli, OptionErrorsSayWhyAndExitTwo)
{
    char name[] = "/tmp/kvcliXXXXXX";
    const std::string dir = ::mkdtemp(name);
    const std::string file = dir + "/k.prom";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"run", "--all", "--jobs", "0"}, "--jobs takes a number from 1 to 64, not '0'"},
        {{"run", "--all", "-j", "65"}, "--jobs takes a number from 1 to 64, not '65'"},
        {{"run", "--all", "--jobs=1000"}, "--jobs takes a number from 1 to 64, not '1000'"},
        {{"run", "--all", "-j8x"}, "--jobs takes a number from 1 to 64, not '8x'"},
        {{"run", "--all", "--jobs", "-3"}, "--jobs takes a number from 1 to 64, not '-3'"},
        {{"run", "--all", "--jobs"}, "--jobs needs a value"},
        {{"run", "--all", "--format", "xml"}, "unknown --format 'xml'; it is text, json, csv or prometheus"},
        {{"run", "--all", "--format=JSON"}, "unknown --format 'JSON'; it is text, json, csv or prometheus"},
        {{"run", "--all", "--format", "csv"}, "--format csv goes with list"},
        {{"run", "--all", "--format", "prometheus"}, "--format prometheus needs --output FILE"},
        {{"run", "--all", "--output", file}, "--output goes with --format prometheus"},
        {{"run", "--all", "--format", "json", "--output", file}, "--output goes with --format prometheus"},
        {{"run", "--all", "--format", "prometheus", "--output="}, "--output needs a file name"},
        {{"run", "--all", "--metrics", "summary"}, "--metrics goes with --format prometheus"},
        {{"run", "--all", "--format", "prometheus", "--output", file, "--metrics=some"},
         "unknown --metrics 'some'; it is full or summary"},
        {{"manual", "h", "1", "--jobs", "2"}, "--jobs goes with run"},
        {{"list", "--format", "prometheus", "--output", file},
         "list takes only --format text, json or csv, --resolve and --hosts"},
        {{"list", "-j", "2"}, "list takes only --format text, json or csv, --resolve and --hosts"},
        {{"manual", "h", "1", "--resolve"}, "--resolve goes with list"},
        {{"this-pc", "--hosts", "f"}, "--hosts goes with list and run"},
        {{"list", "--hosts"}, "--hosts needs a value"},
        {{"list", "--hosts="}, "--hosts needs a file name"},
        {{"this-pc", "-q"},
         "--format, --output, --metrics, --quiet and --jobs go with run, manual and plain"},
        {{"nova", "-j", "2"},
         "--format, --output, --metrics, --quiet and --jobs go with run, manual and plain"},
    };
    for (const auto& [args, reason] : cases)
    {
        const Captured c = Cli(args);
        EXPECT_EQ(c.status, 2) << reason;
        EXPECT_EQ(c.err.rfind("kestavane-cli: " + reason + "\n", 0), 0u) << c.err;
        EXPECT_EQ(c.out, "");
    }
    // The bounds themselves are taken: the run gets as far as the button's name.
    for (const char* jobs : {"1", "64", "08"})
    {
        const Captured c = Cli({"run", "9999", "--jobs", jobs});
        EXPECT_EQ(c.err.rfind("kestavane-cli: no catalogue button '9999'", 0), 0u) << jobs << ": " << c.err;
    }
    EXPECT_EQ(Cli({"run", "--all", "--format", "prometheus", "--output", file, "-j", "x"}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(file)); // nothing ran, nothing written
    std::filesystem::remove_all(dir);
}

TEST(Cli, VersionAndHelpNameEveryCommandAndOption)
{
    const Captured version = Cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kestavane-cli 2.1.0.0\n");
    const Captured help = Cli({"--help"});
    for (const char* word :
         {"list", "run ID-OR-CAPTION...", "run --all", "manual SERVER PORT", "plain SERVER PORT", "nova",
          "this-pc", "check-dns", "check-dhcp", "--help", "--version", "--format FORMAT", "--output FILE",
          "--quiet, -q", "--jobs N, -j N", "1-64"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(Cli, RecordsTakeStandardOutputAndTheHistoryMovesOrGoes)
{
    const std::string port = std::to_string(ClosedPort());
    const Captured text = Cli({"manual", "127.0.0.1", port});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find(" TEST FAILED. \n"), std::string::npos);

    const Captured json = Cli({"manual", "127.0.0.1", port, "--format", "json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.err, text.out);
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(json.out.back(), '\n');
    const std::string last = json.out.substr(json.out.rfind('\n', json.out.size() - 2) + 1);
    const nlohmann::json summary = nlohmann::json::parse(last);
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["command"], "manual");
    EXPECT_EQ(summary["passed"], false);
    EXPECT_EQ(summary["exit_status"], 1);
    EXPECT_EQ(summary["presses"], 0);

    const Captured quietJson = Cli({"-q", "manual", "127.0.0.1", port, "--format=json"});
    EXPECT_EQ(quietJson.err, "");
    EXPECT_EQ(nlohmann::json::parse(
                  quietJson.out.substr(quietJson.out.rfind('\n', quietJson.out.size() - 2) + 1))["command"],
              "manual");
    const Captured quiet = Cli({"plain", "--quiet", "127.0.0.1", port});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out + quiet.err, "");
}

// The file beside the history; a folder that goes away during the run is
// found again when the file is written.
TEST(Cli, PrometheusFileBesideTheHistoryAndAFolderGoneDuringTheRun)
{
    char name[] = "/tmp/kvcliXXXXXX";
    const std::string dir = ::mkdtemp(name);
    const std::string port = std::to_string(ClosedPort());
    const Captured c =
        Cli({"plain", "127.0.0.1", port, "--format", "prometheus", "--output", dir + "/k.prom"});
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find(" TEST FAILED. \n"), std::string::npos);
    std::ifstream in(dir + "/k.prom");
    const auto samples = ParsePrometheus(std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_EQ(samples.count("kestavane_last_run_timestamp_seconds"), 1u);

    std::filesystem::create_directory(dir + "/going");
    ScriptedServer greeter([&](int fd) {
        std::filesystem::remove_all(dir + "/going");
        SendAll(fd, "CONNECTED\x03");
        DrainUntilClosed(fd, 3000);
    });
    const Captured gone = Cli({"plain", "127.0.0.1", std::to_string(greeter.Port()), "--format", "prometheus",
                               "--output", dir + "/going/k.prom"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_EQ(gone.err,
              "kestavane-cli: cannot create a file in '" + dir + "/going': No such file or directory\n");
    std::filesystem::remove_all(dir);
}

// A faulty site file, named with --hosts or read from its own place, is one
// line on standard error, and nothing runs.
TEST(CliSite, AFaultyHostsFileIsOneLineAndNothingRuns)
{
    TempFolder folder;
    const std::string faulty = (folder.path / "faulty.conf").string();
    const std::string absent = (folder.path / "absent.conf").string();
    std::ofstream(faulty) << "S1 one.test\n1099 two.test\n";
    const std::string unknownRole = "kestavane-cli: " + faulty + ":2: unknown role '1099'\n";
    CatalogueResolver nothingResolves({}); // should a press start after all, it stays on this machine
    struct Case
    {
        std::vector<std::string> args;
        std::string siteFile;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"run", "--all", "--hosts", faulty}, "", 2, unknownRole},
        {{"list", "--hosts=" + faulty}, absent, 2, unknownRole},
        {{"run", "1013"}, faulty, 2, unknownRole},
        {{"list", "--hosts", absent},
         "",
         2,
         "kestavane-cli: " + absent + ": cannot be read: No such file or directory\n"},
        {{"list"}, absent, 0, ""}, // no site file: the built-in hosts
    };
    for (const Case& c : cases)
    {
        const Captured result = Cli(c.args, c.siteFile);
        EXPECT_EQ(result.status, c.status) << c.args[0];
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out.empty(), c.status != 0) << result.out;
    }
}

// For a firewall: every target with its role, the site's host and the
// addresses it has now. Every role is on a loopback name, so only this
// machine is asked.
TEST(CliSite, ListGivesEachTargetsRoleHostAndAddresses)
{
    TempFolder folder;
    const std::string hosts = (folder.path / "hosts.conf").string();
    {
        std::ofstream file(hosts);
        int n = 0;
        for (const std::string& role : CatalogueRoles())
            file << role << "  "
                 << (role == "X" ? std::string("localhost") : "127.0.0." + std::to_string(++n)) << "\n";
    }
    // In a network of its own: should a real name reach the resolver after all, it goes nowhere.
    Captured json{}, text{};
    std::string why;
    if (!InPrivateNetwork(
            [&] {
                json = Cli({"list", "--format", "json", "--hosts", hosts, "--resolve"});
                text = Cli({"--resolve", "list", "--hosts", hosts});
            },
            &why))
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_EQ(json.status, 0) << json.err;
    const std::vector<nlohmann::json> objects = JsonLines(json.out);
    ASSERT_EQ(objects.size(), 45u);
    // In this order, so a reader sees the button before the host.
    const size_t from = json.out.find("\n{\"id\":1003,") + 1;
    EXPECT_EQ(
        json.out.substr(from, json.out.find("\n{\"id\":1004") - from),
        R"({"id":1003,"caption":"PAYMENTECH\rNETCONNECT","label":"PAYMENTECH NETCONNECT Primary","role":)"
        R"("1003.1","host":"127.0.0.2","port":443,"tester":"tls","addresses":["127.0.0.2"]})"
        "\n"
        R"({"id":1003,"caption":"PAYMENTECH\rNETCONNECT","label":"PAYMENTECH NETCONNECT Secondary","role":)"
        R"("1003.2","host":"127.0.0.3","port":443,"tester":"tls","addresses":["127.0.0.3"]})");
    const auto settlement = std::find_if(objects.begin(), objects.end(), [](const nlohmann::json& o) {
        return o["id"] == 1016 && o["port"] == 22346;
    });
    ASSERT_NE(settlement, objects.end());
    EXPECT_EQ((*settlement)["host"], "localhost");
    EXPECT_EQ((*settlement)["role"], "X");
    EXPECT_NE(std::find((*settlement)["addresses"].begin(), (*settlement)["addresses"].end(), "127.0.0.1"),
              (*settlement)["addresses"].end());

    const Captured csv = Cli({"list", "--hosts", hosts, "--format=csv"});
    EXPECT_EQ(
        csv.out.substr(0, csv.out.find('\n', csv.out.find('\n') + 1) + 1),
        "id,caption,label,role,host,port,tester\n1001,TSYS-VITAL TNS,VITAL TNS,1001,127.0.0.1,5003,tls\n");
    EXPECT_NE(csv.out.find("\n1011,MERCURY LOMBRIX,MERCURY LOMBRIX Primary,1011.1,127.0.0.10,9000,plain\n"),
              std::string::npos);

    // The technician's text: one line a target, TAB-separated, the addresses last.
    std::vector<std::string> lines;
    for (size_t at = 0, next; (next = text.out.find('\n', at)) != std::string::npos; at = next + 1)
        lines.push_back(text.out.substr(at, next - at));
    ASSERT_EQ(lines.size(), 45u);
    EXPECT_EQ(lines[0], "1001\tTSYS-VITAL TNS\tTls\tSingle\t1\tVITAL TNS\t127.0.0.1\t5003\t127.0.0.1");
    EXPECT_EQ(lines[2], "1003\tPAYMENTECH\\rNETCONNECT\tTls\tChain\t2\tPAYMENTECH NETCONNECT "
                        "Secondary\t127.0.0.3\t443\t127.0.0.3");
    for (const auto& line : lines)
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 8) << line;
    const std::string builtIn = Cli({"list"}).out; // the built-in hosts, no addresses
    EXPECT_EQ(builtIn.substr(0, builtIn.find('\n')),
              std::string("1001\tTSYS-VITAL TNS\tTls\tSingle\t1\tVITAL TNS\t") +
                  FindProcessorEntry(1001)->targets[0].host + "\t5003");
}

// The placeholder roles of the site's file on loopback peers: the buttons
// that test them pass, and the fleet's series name the site's catalogue.
TEST(CliSite, PlaceholderRolesOnLoopbackPeersPass)
{
    TempFolder folder;
    const std::string hosts = (folder.path / "hosts.conf").string();
    const std::string prom = (folder.path / "k.prom").string();
    std::ofstream(hosts) << "# this site's own\nS1 sterling-1.site.test\nS2 sterling-2.site.test\n"
                            "S3\tsterling-3.site.test\n1042 torval.site.test\n";
    Captured run{};
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            TestPki& pki = TestPki::Get();
            std::vector<std::unique_ptr<ScriptedServer>> greeters;
            for (const char* address : {"127.0.3.1", "127.0.3.2", "127.0.3.3"})
                for (int port : {9000, 9100})
                    greeters.push_back(std::make_unique<ScriptedServer>(
                        [](int fd) {
                            SendAll(fd, "CONNECTED\x03");
                            DrainUntilClosed(fd, 3000);
                        },
                        1, std::chrono::seconds(30), ListenAddress{address, port}));
            Identity torval = pki.Leaf({"/CN=torval.site.test", {"DNS:torval.site.test"}});
            TlsPeerOptions options;
            options.cert = torval.cert.get();
            options.key = torval.key.get();
            options.chain = torval.chain;
            options.listenAt = {"127.0.3.4", 443};
            TlsPeer peer(options);
            CatalogueResolver resolver({{"sterling-1.site.test", "127.0.3.1"},
                                        {"sterling-2.site.test", "127.0.3.2"},
                                        {"sterling-3.site.test", "127.0.3.3"},
                                        {"torval.site.test", "127.0.3.4"}});
            // A proxy set up for all but one host: the presses stay direct,
            // the fleet's series says a proxy is there.
            ::setenv("https_proxy", "http://proxy.site.test:3128", 1);
            ::setenv("no_proxy", "sterling-1.site.test", 1);
            run = Cli({"run", "1013", "1014", "1042", "--format", "prometheus", "--output", prom}, hosts);
            ::unsetenv("https_proxy");
            ::unsetenv("no_proxy");
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nAttempting to resolve sterling-3.site.test...\n"), std::string::npos);
    EXPECT_NE(
        run.out.find("\nSUMMARY\nPASS  STERLING LOMBRIX\nPASS  STERLING GIFT\nPASS  TORVAL Connect Test\n"),
        std::string::npos)
        << run.out;
    const std::string label = LoadSiteCatalogue(hosts, false).catalogue->Label();
    EXPECT_NE(label, "built-in");
    std::ifstream in(prom);
    const auto series = ParsePrometheus(std::string(std::istreambuf_iterator<char>(in), {}));
    const auto build = series.find("kestavane_build_info");
    ASSERT_NE(build, series.end());
    EXPECT_EQ(build->second.first, "version=\"" KV_VERSION "\",catalogue=\"" + label + "\"");
    const auto proxy = series.find("kestavane_proxy_configured");
    ASSERT_NE(proxy, series.end());
    EXPECT_EQ(proxy->second.second, 1);
}

TEST(Cli, CaptionsMatchWithTheirBreakAsBackslashROrBlank)
{
    EXPECT_EQ(EscapedCaption("CARDNET-BUYPASS\rNASHVILLE"), "CARDNET-BUYPASS\\rNASHVILLE");
    // A name that cannot resolve keeps these presses on this machine.
    for (const std::string name : {"cardnet-buypass\\rnashville", "Cardnet-Buypass Nashville", "1008"})
    {
        const Captured c = Cli({"run", name, "no-such-caption"});
        EXPECT_EQ(c.status, 2);
        EXPECT_EQ(c.err.rfind("kestavane-cli: no catalogue button 'no-such-caption';", 0), 0u) << name;
    }
}

// The installed program, run the way a technician does.
class CliProgram : public ::testing::Test
{
protected:
    std::string Program() { return platform::ExecutableDirectory() + "/kestavane-cli"; }
};

int RunToEnd(const std::vector<std::string>& argv, std::string* output)
{
    ChildProcess child(argv);
    child.WaitForOutput("\x04never", 20000); // reads until the program ends
    *output = child.Output();
    return child.ExitStatus();
}

TEST_F(CliProgram, ManualTestOfATrustedLoopbackServerPasses)
{
    TestPki& pki = TestPki::Get(); // the child inherits SSL_CERT_FILE
    Identity id = pki.Leaf({"/CN=localhost", {"DNS:localhost"}});
    TlsPeerOptions options;
    options.cert = id.cert.get();
    options.key = id.key.get();
    options.chain = id.chain;
    TlsPeer peer(options);
    std::string output;
    EXPECT_EQ(RunToEnd({Program(), "manual", "localhost", std::to_string(peer.Port())}, &output), 0)
        << output;
    EXPECT_NE(output.find("Connection Closed -- TEST SUCCESSFUL. \n********************       TEST ENDS"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find('\r'), std::string::npos);
}

TEST_F(CliProgram, PlainTestAndAFailureExitCodes)
{
    ScriptedServer greeter([](int fd) {
        SendAll(fd, "connected\x03");
        DrainUntilClosed(fd, 3000);
    });
    std::string output;
    EXPECT_EQ(RunToEnd({Program(), "plain", "127.0.0.1", std::to_string(greeter.Port())}, &output), 0)
        << output;
    EXPECT_NE(output.find("Received 'CONNECTED' From USER DEFINED GATEWAY AND PORT\n"), std::string::npos);
    EXPECT_EQ(RunToEnd({Program(), "manual", "127.0.0.1", std::to_string(ClosedPort())}, &output), 1)
        << output;
    EXPECT_NE(output.find(" TEST FAILED. \n"), std::string::npos);
}

// Standard output closed by whoever started the program: the first socket
// must not take its descriptor, or the history goes into the connection.
TEST_F(CliProgram, AClosedStandardOutputNeverReachesAConnection)
{
    std::string received;
    ScriptedServer greeter([&](int fd) {
        SendAll(fd, "CONNECTED\x03");
        char buffer[4096];
        pollfd ready{fd, POLLIN, 0};
        for (ssize_t n; ::poll(&ready, 1, 3000) > 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<size_t>(n));
    });
    const Captured c = RunProgram({Program(), "plain", "127.0.0.1", std::to_string(greeter.Port())}, {},
                                  30000, [] { ::close(1); });
    greeter.Join();
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(received, "");
}

// Output that could not be written is a failed run, said on standard error.
TEST_F(CliProgram, StandardOutputThatCannotBeWrittenExitsThree)
{
    ScriptedServer greeter(
        [](int fd) {
            SendAll(fd, "CONNECTED\x03");
            DrainUntilClosed(fd, 3000);
        },
        2);
    const std::string port = std::to_string(greeter.Port());
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--version"},
                                               {"list"},
                                               {"plain", "127.0.0.1", port},
                                               {"plain", "127.0.0.1", port, "-q", "--format=json"}})
    {
        std::vector<std::string> argv = {Program()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Captured c = RunProgram(argv, {}, 30000, [] { ::dup2(::open("/dev/full", O_WRONLY), 1); });
        EXPECT_EQ(c.status, 3) << args[0];
        EXPECT_EQ(c.err, "kestavane-cli: cannot write standard output: No space left on device\n") << args[0];
    }
}

TEST(Cli, AFailingStandardOutputEndsARunAtThePressItFailedIn)
{
    FakeResolver resolver; // no catalogue name resolves
    char* errText = nullptr;
    size_t errSize = 0;
    FILE* err = ::open_memstream(&errText, &errSize);
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(RunCli({"run", "--all"}, full, err), 3);
    std::fclose(full);
    std::fclose(err);
    EXPECT_EQ(std::string(errText, errSize),
              "kestavane-cli: cannot write standard output: No space left on device\n");
    std::free(errText);
    EXPECT_EQ(resolver.Asked(), std::vector<std::string>{FindProcessorEntry(1001)->targets[0].host});
}

// As the service's unprivileged user, whose rights the test's root would not show.
void AsNobody()
{
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                             ::setresuid(65534, 65534, 65534) != 0))
        ::_exit(126);
}

// The --output place is checked before the first test, and what is there
// already is replaced only when it is a regular file.
TEST_F(CliProgram, AnOutputPlaceThatCannotTakeTheFileStopsTheRunBeforeItsFirstTest)
{
    char name[] = "/tmp/kvoutXXXXXX";
    const std::string dir = ::mkdtemp(name);
    ::chmod(dir.c_str(), 0755);
    std::filesystem::create_directory(dir + "/locked");
    ::chmod((dir + "/locked").c_str(), 0555);
    ::mkfifo((dir + "/fifo.prom").c_str(), 0644);
    std::filesystem::create_directory(dir + "/folder.prom");
    std::ofstream(dir + "/real.prom") << "old\n";
    std::filesystem::create_symlink(dir + "/real.prom", dir + "/link.prom");
    std::vector<std::pair<std::string, std::string>> cases = {
        {"none/k.prom", "no folder '" + dir + "/none'"},
        {"locked/k.prom", "cannot write in '" + dir + "/locked': Permission denied"},
        {"fifo.prom", "a FIFO, not a regular file"},
        {"folder.prom", "a folder, not a regular file"},
        {"link.prom", "a symbolic link, not a regular file"},
    };
    // A device node of the test's own (as /dev/null), where it may make one.
    if (::mknod((dir + "/device.prom").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0)
        cases.emplace_back("device.prom", "a character device, not a regular file");
    LoopbackListener listener;
    for (const auto& [file, problem] : cases)
    {
        const std::string path = dir + "/" + file;
        struct stat before
        {
        }, after{};
        ::lstat(path.c_str(), &before);
        const Captured c = RunProgram({Program(), "plain", "127.0.0.1", std::to_string(listener.Port()),
                                       "--format", "prometheus", "--output", path},
                                      {}, 30000, AsNobody);
        EXPECT_EQ(c.status, 3) << file;
        EXPECT_EQ(c.err, "kestavane-cli: --output '" + path + "': " + problem + "\n");
        EXPECT_EQ(c.out, "");
        ::lstat(path.c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino) << file;
        EXPECT_EQ(after.st_mode, before.st_mode) << file;
    }
    EXPECT_EQ(listener.Accept(0), -1); // no test began
    std::filesystem::remove_all(dir);
}
} // namespace

namespace
{
// This PC described by fixture files, for the checks' exit codes and boxes.
class CliPcTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/kvclipcXXXXXX";
        m_root = ::mkdtemp(name);
        m_module = LoadLibraryA("IpHlpApi.dll");
        ASSERT_NE(m_module, nullptr);
        m_setSources = reinterpret_cast<void (*)(const char*, const char*)>(
            GetProcAddress(m_module, "KvIpHelperSetSources"));
        ASSERT_NE(m_setSources, nullptr);
    }
    void TearDown() override
    {
        if (m_setSources)
            m_setSources(nullptr, nullptr);
        if (m_module)
            FreeLibrary(m_module);
        std::filesystem::remove_all(m_root);
    }
    void Write(const std::string& path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(m_root + path).parent_path());
        std::ofstream(m_root + path, std::ios::binary) << text;
    }
    // A wired adapter on a PCI card.
    void Ethernet(const std::string& name, int ifindex)
    {
        const std::string dir = "/sys/class/net/" + name;
        Write(dir + "/ifindex", std::to_string(ifindex) + "\n");
        Write(dir + "/type", "1\n");
        Write(dir + "/flags", "0x1003\n");
        Write(dir + "/address", "52:54:00:12:34:56\n");
        Write(dir + "/uevent", "");
        const std::string device = "/sys/devices/pci0000:00/0000:00:0" + std::to_string(ifindex) + ".0";
        Write(device + "/vendor", "0x8086\n");
        Write(device + "/device", "0x1533\n");
        std::filesystem::create_directories(m_root + "/sys/bus/pci/drivers/igb");
        std::filesystem::create_directory_symlink(m_root + device, m_root + dir + "/device");
        std::filesystem::create_directory_symlink(m_root + "/sys/bus/pci/drivers/igb",
                                                  m_root + device + "/driver");
    }
    void Describe(const std::string& kernel) { m_setSources(m_root.c_str(), kernel.c_str()); }

    std::string m_root;
    HMODULE m_module = nullptr;
    void (*m_setSources)(const char*, const char*) = nullptr;
};

const char* const kFrameStart = "\n********************      TEST STARTS        ********************\n"
                                "***************  -----------------  ******************\n"
                                "Loading IpHlpApi.dll...\n";

TEST_F(CliPcTest, ADhcpPcWithDnsPassesBothChecks)
{
    Ethernet("eth0", 2);
    Write("/run/systemd/netif/leases/2",
          "ADDRESS=192.168.1.50\nSERVER_ADDRESS=192.168.1.1\nDNS=192.168.1.1\n");
    Write("/run/systemd/netif/links/2", "ADMIN_STATE=configured\nDNS=192.168.1.1\n");
    Describe("addr 2 192.168.1.50/24 dynamic\nroute 2 192.168.1.1 16 100\n");

    const Captured pc = Cli({"this-pc"});
    EXPECT_EQ(pc.status, 0);
    EXPECT_EQ(pc.out.rfind(kFrameStart, 0), 0u) << pc.out;
    EXPECT_NE(pc.out.find("\nDHCP Server :                 192.168.1.1\n"), std::string::npos) << pc.out;
    EXPECT_NE(pc.out.find("\nDNS List Entry:               192.168.1.1\n"), std::string::npos) << pc.out;
    const Captured dns = Cli({"check-dns"});
    EXPECT_EQ(dns.status, 0);
    EXPECT_NE(dns.out.find("\n[MESSAGE BOX] SUCCESS ... It appears there are configured DNS Servers....\n"
                           "UnLoading IpHlpApi.dll...\n"),
              std::string::npos)
        << dns.out;
    const Captured dhcp = Cli({"check-dhcp"});
    EXPECT_EQ(dhcp.status, 0);
    EXPECT_NE(dhcp.out.find("\n[MESSAGE BOX] SUCCESS ... It appears DHCP is Configured....\n"),
              std::string::npos)
        << dhcp.out;
    for (const Captured* c : {&pc, &dns, &dhcp})
        EXPECT_EQ(c->err, "");
}

TEST_F(CliPcTest, AStaticPcWithoutDnsFailsBothChecksWithLfOnlyBoxes)
{
    Ethernet("eth0", 2);
    Describe("addr 2 192.0.2.2/24 permanent\nroute 2 192.0.2.1 3 0\n");
    const Captured pc = Cli({"this-pc"});
    EXPECT_EQ(pc.status, 0); // a report, no verdict
    const Captured dns = Cli({"check-dns"});
    EXPECT_EQ(dns.status, 1);
    EXPECT_NE(dns.out.find("\n[MESSAGE BOX] FAILURE It appears there are no configured DNS Servers....\n"
                           "Use 'THIS PC' Button for more information.\n"),
              std::string::npos)
        << dns.out;
    const Captured dhcp = Cli({"check-dhcp"});
    EXPECT_EQ(dhcp.status, 1);
    EXPECT_NE(
        dhcp.out.find("\n[MESSAGE BOX] FAILURE - It appears there are no (Configured) DHCP Services....\n"
                      "Use 'THIS PC' Button for more information.\n"),
        std::string::npos)
        << dhcp.out;
    for (const Captured* c : {&pc, &dns, &dhcp})
        EXPECT_EQ(c->out.find('\r'), std::string::npos);
}

TEST_F(CliPcTest, NoEthernetAdapterFailsTheDhcpCheck)
{
    Describe("");
    const Captured dhcp = Cli({"check-dhcp"});
    EXPECT_EQ(dhcp.status, 1);
    EXPECT_NE(dhcp.out.find("[MESSAGE BOX] FAILURE - Failed to Find an Ethernet Controller!\n"),
              std::string::npos)
        << dhcp.out;
    EXPECT_EQ(Cli({"this-pc"}).status, 0);
}
} // namespace
