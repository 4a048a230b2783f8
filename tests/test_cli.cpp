#include "catalogue.h"
#include "cli.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"
#include "module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>

using namespace testing_support;

namespace
{
struct Captured
{
    int status;
    std::string out, err;
};

Captured Cli(const std::vector<std::string>& args)
{
    char *outText = nullptr, *errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    const int status = RunCli(args, out, err);
    std::fclose(out);
    std::fclose(err);
    Captured c{status, std::string(outText, outSize), std::string(errText, errSize)};
    std::free(outText);
    std::free(errText);
    return c;
}

TEST(Cli, UsageErrorsSayWhyAndExitTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"run"}, "run needs one or more ids or captions, or --all"},
        {{"run", "9999"}, "no catalogue button '9999'"},
        {{"run", "1001", "NOPE"}, "no catalogue button 'NOPE'"},
        {{"manual", "host"}, "manual needs SERVER and PORT"},
        {{"plain", "a", "1", "extra"}, "plain needs SERVER and PORT"},
        {{"list", "x"}, "list takes no arguments"},
    };
    for (const auto& [args, reason] : cases)
    {
        const Captured c = Cli(args);
        EXPECT_EQ(c.status, 2) << reason;
        EXPECT_EQ(c.err.rfind("kestavane-cli: " + reason, 0), 0u) << c.err;
        EXPECT_NE(c.err.find("usage: kestavane-cli"), std::string::npos);
        EXPECT_EQ(c.out, "");
    }
    const Captured help = Cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("run --all"), std::string::npos);
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
        {{"run", "--all", "--format", "xml"}, "unknown --format 'xml'; it is text, json or prometheus"},
        {{"run", "--all", "--format=JSON"}, "unknown --format 'JSON'; it is text, json or prometheus"},
        {{"run", "--all", "--format", "prometheus"}, "--format prometheus needs --output FILE"},
        {{"run", "--all", "--output", file}, "--output goes with --format prometheus"},
        {{"run", "--all", "--format", "json", "--output", file}, "--output goes with --format prometheus"},
        {{"run", "--all", "--format", "prometheus", "--output", dir + "/none/k.prom"},
         "--output '" + dir + "/none/k.prom': no folder '" + dir + "/none'"},
        {{"run", "--all", "--format", "prometheus", "--output="}, "--output needs a file name"},
        {{"manual", "h", "1", "--jobs", "2"}, "--jobs goes with run"},
        {{"list", "--format", "json"}, "--format, --output, --quiet and --jobs go with run, manual and plain"},
        {{"this-pc", "-q"}, "--format, --output, --quiet and --jobs go with run, manual and plain"},
        {{"nova", "-j", "2"}, "--format, --output, --quiet and --jobs go with run, manual and plain"},
    };
    for (const auto& [args, reason] : cases)
    {
        const Captured c = Cli(args);
        EXPECT_EQ(c.status, 2) << reason;
        EXPECT_EQ(c.err.rfind("kestavane-cli: " + reason + "\n", 0), 0u) << c.err;
        EXPECT_EQ(c.out, "");
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
    for (const char* word : {"list", "run ID-OR-CAPTION...", "run --all", "manual SERVER PORT", "plain SERVER PORT",
                             "nova", "this-pc", "check-dns", "check-dhcp", "--help", "--version", "--format FORMAT",
                             "--output FILE", "--quiet, -q", "--jobs N, -j N", "1-64"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(Cli, ListHasOneTabSeparatedLinePerTarget)
{
    const Captured c = Cli({"list"});
    EXPECT_EQ(c.status, 0);
    std::vector<std::string> lines;
    for (size_t at = 0, next; (next = c.out.find('\n', at)) != std::string::npos; at = next + 1)
        lines.push_back(c.out.substr(at, next - at));
    ASSERT_EQ(lines.size(), 45u);
    const ProcessorEntry& heartland = *FindProcessorEntry(1016);
    EXPECT_EQ(lines[0], std::string("1001\tTSYS-VITAL TNS\tTls\tSingle\t1\tVITAL TNS\t") +
                            FindProcessorEntry(1001)->targets[0].host + "\t5003");
    EXPECT_EQ(lines[2], std::string("1003\tPAYMENTECH\\rNETCONNECT\tTls\tChain\t2\tPAYMENTECH NETCONNECT Secondary\t") +
                            FindProcessorEntry(1003)->targets[1].host + "\t443");
    const std::string settlement = std::string("1016\tHEARTLAND EXCHANGE\tTls\tChain\t2\t") +
                                   heartland.targets[1].label + "\t" + heartland.targets[1].host + "\t22346";
    EXPECT_NE(std::find(lines.begin(), lines.end(), settlement), lines.end());
    for (const auto& line : lines)
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 7) << line;
}

TEST(Cli, CaptionsMatchWithTheirBreakAsBackslashROrBlank)
{
    EXPECT_EQ(EscapedCaption("CARDNET-BUYPASS\rNASHVILLE"), "CARDNET-BUYPASS\\rNASHVILLE");
    // A name that cannot resolve keeps these presses on this machine.
    for (const std::string name : {"cardnet-buypass\\rnashville", "Cardnet-Buypass Nashville", "1008"})
    {
        const Captured c = Cli({"run", name, "--help-is-no-caption"});
        EXPECT_EQ(c.status, 2);
        EXPECT_NE(c.err.find("'--help-is-no-caption'"), std::string::npos) << name;
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
    EXPECT_EQ(RunToEnd({Program(), "manual", "localhost", std::to_string(peer.Port())}, &output), 0) << output;
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
    EXPECT_EQ(RunToEnd({Program(), "plain", "127.0.0.1", std::to_string(greeter.Port())}, &output), 0) << output;
    EXPECT_NE(output.find("Received 'CONNECTED' From USER DEFINED GATEWAY AND PORT\n"), std::string::npos);
    EXPECT_EQ(RunToEnd({Program(), "manual", "127.0.0.1", std::to_string(ClosedPort())}, &output), 1) << output;
    EXPECT_NE(output.find(" TEST FAILED. \n"), std::string::npos);
}
} // namespace
