#include "catalogue.h"
#include "sequence.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/recording_sink.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace
{
// A tester whose results a test sets, and which tells what happened to it.
struct FakeTester
{
    static inline std::vector<bool> outcomes;
    static inline bool throwOnSecond = false;
    static inline int constructed = 0;
    static inline int alive = 0;
    static void Reset(std::vector<bool> results)
    {
        outcomes = std::move(results);
        throwOnSecond = false;
        constructed = alive = 0;
    }

    explicit FakeTester(CHistoryOwner* owner) : m_owner(owner)
    {
        ++constructed;
        ++alive;
    }
    ~FakeTester()
    {
        --alive;
        AddToHistory(m_owner, "tester destroyed");
    }
    bool Test(std::string host, int port, std::string label)
    {
        AddToHistory(m_owner, "test %s %s %d", label.c_str(), host.c_str(), port);
        if (throwOnSecond && m_calls == 1)
            throw std::runtime_error("out of memory");
        const bool passed = outcomes.at(static_cast<size_t>(m_calls++));
        if (CResultSink* sink = m_owner->ResultSink())
        {
            TargetRecord record;
            record.label = label;
            record.passed = passed;
            sink->Target(record);
        }
        return passed;
    }

    CHistoryOwner* m_owner;
    int m_calls = 0;
};

const std::string kStart = std::string(kOpeningBanner).substr(2);

Lines Press(int id, std::vector<bool> outcomes, CRecordingOwner& owner)
{
    FakeTester::Reset(std::move(outcomes));
    RunSequence<FakeTester>(&owner, *FindProcessorEntry(id));
    return owner.Lines();
}

TEST(Sequence, ChainStopsSilentlyAtTheFirstFailure)
{
    CRecordingOwner owner;
    const ProcessorEntry& e = *FindProcessorEntry(1003);
    EXPECT_EQ(Press(1003, {false, true}, owner),
              (Lines{"", kStart, NumberedSeparator(1),
                     std::string("test PAYMENTECH NETCONNECT Primary ") + e.targets[0].host + " 443",
                     "tester destroyed", kClosingBanner}));
    EXPECT_EQ(FakeTester::constructed, 1);
    EXPECT_EQ(FakeTester::alive, 0);
    EXPECT_EQ(owner.m_waitDepth, 0);
    EXPECT_EQ(owner.m_waitBegins, 1);
}

TEST(Sequence, ChainThatPassesTestsEveryHostWithOneTester)
{
    CRecordingOwner owner;
    const Lines lines = Press(1014, {true, true, true}, owner);
    EXPECT_EQ(lines, (Lines{"", kStart, NumberedSeparator(1), lines[3], NumberedSeparator(2), lines[5],
                            NumberedSeparator(3), lines[7], "tester destroyed", kClosingBanner}));
    EXPECT_EQ(lines[7].rfind("test STERLING CARVELLO Tertiary ", 0), 0u);
    EXPECT_NE(lines[7].find(" 9100"), std::string::npos);
    EXPECT_EQ(FakeTester::constructed, 1);
}

TEST(Sequence, PairGoesOnAfterAFailure)
{
    CRecordingOwner owner;
    const Lines lines = Press(1041, {false, false}, owner);
    EXPECT_EQ(lines[4], NumberedSeparator(2));
    EXPECT_EQ(lines[5].rfind("test MELLENNIA GIFT ", 0), 0u);
}

TEST(Sequence, SeparatorsOfOneTargetButtons)
{
    for (int id : {1025, 1042, 1043})
    {
        CRecordingOwner owner;
        const Lines lines = Press(id, {true}, owner);
        EXPECT_EQ(lines[2], NumberedSeparator(1)) << id;
        EXPECT_EQ(lines.size(), 6u) << id;
    }
    CRecordingOwner owner;
    EXPECT_EQ(Press(1001, {true}, owner)[2], kPlainSeparator);
}

// The press's records: opened before the first line, targets stamped with
// the button, closed after the last line with what was tested and skipped.
// A three-host chain whose second host fails: no third test, no separator 3.
TEST(PressRecords, ChainStopRecordsTheSkippedTargets)
{
    CRecordingOwner owner;
    CRecordingSink sink;
    owner.SetResultSink(&sink);
    const Lines lines = Press(1013, {true, false, true}, owner);
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], NumberedSeparator(2));
    EXPECT_EQ(lines[5].rfind("test STERLING LOMBRIX Secondary ", 0), 0u);
    EXPECT_EQ(lines[6], "tester destroyed");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), NumberedSeparator(3)), 0);
    EXPECT_EQ(sink.events,
              (std::vector<std::string>{"begin 1013 STERLING LOMBRIX", "target STERLING LOMBRIX Primary",
                                        "target STERLING LOMBRIX Secondary", "press 1013"}));
    ASSERT_EQ(sink.presses.size(), 1u);
    const PressRecord& p = sink.presses[0];
    EXPECT_EQ(p.caption, "STERLING LOMBRIX");
    EXPECT_EQ(p.sequence, "Chain");
    EXPECT_EQ(p.tested, (std::vector<std::string>{"STERLING LOMBRIX Primary", "STERLING LOMBRIX Secondary"}));
    EXPECT_EQ(p.skipped, (std::vector<std::string>{"STERLING LOMBRIX Tertiary"}));
    EXPECT_FALSE(p.passed);
    for (const auto& t : sink.targets)
    {
        EXPECT_EQ(t.buttonId, 1013);
        EXPECT_EQ(t.caption, "STERLING LOMBRIX");
    }
    EXPECT_EQ(owner.ResultSink(), &sink); // the owner's sink is back
}

TEST(PressRecords, VerdictOfPairsAndChains)
{
    struct Case
    {
        int id;
        std::vector<bool> outcomes;
        size_t tested;
        bool passed;
    };
    for (const Case& c : {Case{1041, {false, true}, 2, false}, Case{1041, {true, true}, 2, true},
                          Case{1003, {true, true}, 2, true}, Case{1003, {false, true}, 1, false},
                          Case{1026, {true}, 1, true}})
    {
        CRecordingOwner owner;
        CRecordingSink sink;
        owner.SetResultSink(&sink);
        Press(c.id, c.outcomes, owner);
        ASSERT_EQ(sink.presses.size(), 1u) << c.id;
        EXPECT_EQ(sink.presses[0].tested.size(), c.tested) << c.id;
        EXPECT_EQ(sink.presses[0].passed, c.passed) << c.id;
        EXPECT_EQ(sink.targets.size(), c.tested) << c.id;
    }
}

TEST(PressRecords, PressAfterTheClosingBannerAndNoneWithoutASink)
{
    CRecordingOwner owner;
    struct BannerCheck : CRecordingSink
    {
        CRecordingOwner* owner = nullptr;
        std::string lastLineAtPress;
        void Press(const PressRecord& record) override
        {
            lastLineAtPress = owner->Lines().back();
            CRecordingSink::Press(record);
        }
    } sink;
    sink.owner = &owner;
    owner.SetResultSink(&sink);
    Press(1001, {true}, owner);
    EXPECT_EQ(sink.lastLineAtPress, kClosingBanner);

    CRecordingOwner without;
    const Lines lines = Press(1001, {true}, without);
    EXPECT_EQ(without.ResultSink(), nullptr);
    EXPECT_EQ(lines, owner.Lines());
}

// An exception still destroys the tester, then writes the banner; the
// press sends no verdict.
TEST(PressRecords, AnExceptionEndsThePressWithoutAVerdict)
{
    CRecordingOwner owner;
    CRecordingSink sink;
    owner.SetResultSink(&sink);
    FakeTester::Reset({true, true});
    FakeTester::throwOnSecond = true;
    EXPECT_THROW(RunSequence<FakeTester>(&owner, *FindProcessorEntry(1016)), std::runtime_error);
    const Lines lines = owner.Lines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"tester destroyed", kClosingBanner}));
    EXPECT_EQ(FakeTester::alive, 0);
    EXPECT_EQ(owner.m_waitDepth, 0);
    EXPECT_EQ(sink.events, (std::vector<std::string>{"begin 1016 HEARTLAND EXCHANGE",
                                                     "target HEARTLAND EXCHANGE (Authorization Port)"}));
    EXPECT_EQ(owner.ResultSink(), &sink);
}

// The main dialog's catalogue, typed row by row from the processors' table
// (never generated from the code): one row per target with its button's id,
// caption, tester and sequence, its position, label and port, and the role of
// its host. Roles shared by several targets are the letters W, D1, D2, S1-S3
// and X; every other host is named by its id and position.
struct Row
{
    int id;
    const char* caption;
    const char* tester;
    const char* sequence;
    int position;
    const char* label;
    int port;
    const char* role;
};

const Row kTable[] = {
    {1001, "TSYS-VITAL TNS", "Tls", "Single", 1, "VITAL TNS", 5003, "1001"},
    {1003, "PAYMENTECH\rNETCONNECT", "Tls", "Chain", 1, "PAYMENTECH NETCONNECT Primary", 443, "1003.1"},
    {1003, "PAYMENTECH\rNETCONNECT", "Tls", "Chain", 2, "PAYMENTECH NETCONNECT Secondary", 443, "1003.2"},
    {1004, "ELAVON-NOVA\r(Host)", "Tls", "Single", 1, "NOVA VIACONEX", 443, "1004"},
    {1006, "WORLDPAY-LYNK", "Tls", "Single", 1, "WORLDPAY LYNK SYSTEMS", 6660, "W"},
    {1007, "VANTIV-5th3rd", "Tls", "Single", 1, "VANTIV FIFTH THIRD", 443, "1007"},
    {1008, "CARDNET-BUYPASS\rNASHVILLE", "Tls", "Chain", 1, "CARDNET-BUYPASS-NASHVILLE DATAWIRE Primary", 443,
     "D1"},
    {1008, "CARDNET-BUYPASS\rNASHVILLE", "Tls", "Chain", 2, "CARDNET-BUYPASS-NASHVILLE DATAWIRE Secondary",
     443, "D2"},
    {1009, "CONCORD EFSNET", "Tls", "Single", 1, "CONCORD EFSNET", 443, "1009"},
    {1011, "MERCURY LOMBRIX", "Plain", "Chain", 1, "MERCURY LOMBRIX Primary", 9000, "1011.1"},
    {1011, "MERCURY LOMBRIX", "Plain", "Chain", 2, "MERCURY LOMBRIX Secondary", 9000, "1011.2"},
    {1012, "MERCURY GIFT", "Plain", "Chain", 1, "MERCURY CARVELLO Primary", 9100, "1012.1"},
    {1012, "MERCURY GIFT", "Plain", "Chain", 2, "MERCURY CARVELLO Secondary", 9100, "1012.2"},
    {1013, "STERLING LOMBRIX", "Plain", "Chain", 1, "STERLING LOMBRIX Primary", 9000, "S1"},
    {1013, "STERLING LOMBRIX", "Plain", "Chain", 2, "STERLING LOMBRIX Secondary", 9000, "S2"},
    {1013, "STERLING LOMBRIX", "Plain", "Chain", 3, "STERLING LOMBRIX Tertiary", 9000, "S3"},
    {1014, "STERLING GIFT", "Plain", "Chain", 1, "STERLING CARVELLO Primary", 9100, "S1"},
    {1014, "STERLING GIFT", "Plain", "Chain", 2, "STERLING CARVELLO Secondary", 9100, "S2"},
    {1014, "STERLING GIFT", "Plain", "Chain", 3, "STERLING CARVELLO Tertiary", 9100, "S3"},
    {1015, "GLOBAL ADVANTAGE", "Tls", "Chain", 1, "GLOBAL ADVANTAGE Primary", 443, "1015.1"},
    {1015, "GLOBAL ADVANTAGE", "Tls", "Chain", 2, "GLOBAL ADVANTAGE Secondary", 443, "1015.2"},
    {1016, "HEARTLAND EXCHANGE", "Tls", "Chain", 1, "HEARTLAND EXCHANGE (Authorization Port)", 22345, "X"},
    {1016, "HEARTLAND EXCHANGE", "Tls", "Chain", 2, "HEARTLAND EXCHANGE (Settlement Port)", 22346, "X"},
    {1017, "MONERIS", "Tls", "Single", 1, "MONERIS ** IPGATE **", 443, "1017"},
    {1022, "ALLIANCE DATA", "Tls", "Single", 1, "ALLIANCE DATA", 54411, "X"},
    {1023, "SVS GIFT TNS", "Tls", "Single", 1, "SVS GIFT", 5190, "1023"},
    {1025, "HEARTLAND PORTICO", "Tls", "SingleNumbered", 1, "HEARTLAND PORTICO ***", 443, "1025"},
    {1026, "CHOCKSTONE\rHEARTLAND GIFT", "Tls", "Single", 1, "CHOCKSTONE-HEARTLANT GIFT", 443, "1026"},
    {1028, "EPI GIFT", "Tls", "Single", 1, "EPI GIFT", 443, "1028"},
    {1030, "PROFIT POINT GIFT", "Tls", "Single", 1, "PROFIT POINT GIFT", 8417, "1030"},
    {1031, "UNIPERK GIFT", "Tls", "Single", 1, "UNIPERK GIFT", 443, "1031"},
    {1032, "CARDDOG GIFT", "Tls", "Single", 1, "CARDDOG GIFT", 47010, "1032"},
    {1033, "SPARKBASE GIFT", "Tls", "Single", 1, "SPARKBASE GIFT", 50300, "1033"},
    {1034, "STS GIFT", "Tls", "Single", 1, "STS GIFT", 443, "1034"},
    {1035, "WORLD GIFT", "Tls", "Single", 1, "WORLD GIFT", 443, "1035"},
    {1036, "OPTICARD GIFT", "Tls", "Single", 1, "OPTICARD GIFT", 443, "1036"},
    {1037, "GIVEX GIFT", "Tls", "Single", 1, "GIVEX GIFT", 50020, "1037"},
    {1038, "SECUREPAY GIFT", "Tls", "Single", 1, "SECUREPAY GIFT", 443, "1038"},
    {1039, "WORLDPAY-LYNK GIFT", "Tls", "Single", 1, "WORLDPAY LYNK SYSTEMS GIFT", 6660, "W"},
    {1040, "VALUELINK GIFT", "Tls", "Chain", 1, "VALUELINK DATAWIRE Primary", 443, "D1"},
    {1040, "VALUELINK GIFT", "Tls", "Chain", 2, "VALUELINK DATAWIRE Secondary", 443, "D2"},
    {1041, "VALUTEC-MELLENIA GIFT", "Tls", "Pair", 1, "VALUTEC GIFT", 443, "1041.1"},
    {1041, "VALUTEC-MELLENIA GIFT", "Tls", "Pair", 2, "MELLENNIA GIFT", 443, "1041.2"},
    {1042, "TORVAL Connect Test", "Tls", "SingleNumbered", 1, "TORVAL WEBSITE", 443, "1042"},
    {1043, "FDMS RAPIDCONNECT", "Tls", "SingleNumbered", 1, "FDMS RAPID ***", 443, "1043"},
};

// Role -> host name, as a hosts file of the catalogue gives them.
std::map<std::string, std::string> HostsFile(const std::string& path)
{
    std::map<std::string, std::string> hosts;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
    {
        std::istringstream fields(line);
        std::string role, host;
        if (fields >> role >> host && role[0] != '#')
            hosts[role] = host;
    }
    return hosts;
}

std::string RowText(int id, const std::string& caption, const std::string& tester,
                    const std::string& sequence, int position, const std::string& label, int port,
                    const std::string& role, const std::string& host)
{
    return std::to_string(id) + " | " + caption + " | " + tester + " | " + sequence + " | " +
           std::to_string(position) + " | " + label + " | " + std::to_string(port) + " | " + role + " | " +
           host;
}

std::vector<std::string> CatalogueRows(const CCatalogue& catalogue)
{
    std::vector<std::string> rows;
    for (const auto& e : catalogue.Entries())
        for (int n = 0; n < e.targetCount; ++n)
            rows.push_back(RowText(e.id, e.caption, TesterKindName(e.tester), SequenceKindName(e.sequence),
                                   n + 1, e.targets[n].label, e.targets[n].port, e.targets[n].role,
                                   e.targets[n].host));
    return rows;
}

// Every target with the host its role has in the compiled-in hosts file;
// the 37 roles have 37 different names.
TEST(Catalogue, HoldsTheWholeTableOfTheMainDialog)
{
    const auto hosts = HostsFile(KV_HOSTS_FILE);
    std::vector<std::string> expected;
    std::set<std::string> roles, names;
    for (const Row& r : kTable)
    {
        expected.push_back(RowText(r.id, r.caption, r.tester, r.sequence, r.position, r.label, r.port, r.role,
                                   hosts.at(r.role)));
        roles.insert(r.role);
        names.insert(hosts.at(r.role));
    }
    EXPECT_EQ(CatalogueRows(*CCatalogue::BuiltIn()), expected);
    EXPECT_EQ(std::set<std::string>(CatalogueRoles().begin(), CatalogueRoles().end()), roles);
    EXPECT_EQ(CatalogueRoles().size(), 37u);
    EXPECT_EQ(names.size(), 37u);
    EXPECT_EQ(ProcessorCatalogue().size(), 33u);
    EXPECT_EQ(FindProcessorEntry(1010), nullptr); // the terminal API button is not a catalogue entry
    EXPECT_EQ(CCatalogue::BuiltIn()->Label(), "built-in");
}

// The README names every role whose default host is an unconfirmed
// placeholder, and no other.
TEST(Catalogue, ReadmeListsTheUnconfirmedHosts)
{
    std::set<std::string> placeholders;
    for (const auto& [role, host] : HostsFile(KV_SOURCE_DIR "/catalogue/hosts.txt"))
        if (host.size() > 8 && host.compare(host.size() - 8, 8, ".invalid") == 0)
            placeholders.insert(role);

    std::ifstream readme(KV_SOURCE_DIR "/README.md");
    std::string line;
    while (std::getline(readme, line) && line.rfind("| Role | Buttons |", 0) != 0)
    {}
    std::getline(readme, line); // the rule under the heading
    std::set<std::string> listed;
    while (std::getline(readme, line) && line.rfind("| ", 0) == 0)
    {
        std::istringstream roles(line.substr(2, line.find(" |", 2) - 2));
        for (std::string role; std::getline(roles, role, ',');)
            listed.insert(role.substr(role.find_first_not_of(' ')));
    }
    EXPECT_FALSE(placeholders.empty());
    EXPECT_EQ(listed, placeholders);
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the documents say of the catalogue's size is what it has.
TEST(Catalogue, DocumentsCountItsButtons)
{
    const std::string count = std::to_string(ProcessorCatalogue().size());
    for (const auto& [file, before, after] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"README.md", "Beside the ", " processor buttons"},
             {"README.md", "press all ", " in the dialog's order"},
             {"doc/kestavane.1.scd.in", "(", " of them)"},
             {"doc/kestavane-cli.1.scd.in", "Presses all ", " processor buttons"},
             {"debian/control", "(", " of them) resolves"}})
        EXPECT_NE(FileText(KV_SOURCE_DIR "/" + file).find(before + count + after), std::string::npos)
            << file << ": " << before << count << after;
}

// A list's first fault ends it, named by its line; nothing of it is taken.
TEST(HostsList, FaultsNameTheirLineAndTakeNothing)
{
    struct Fault
    {
        std::string text;
        bool everyRole;
        int line;
        std::string problem;
    };
    const Fault faults[] = {
        {"S1 a.test\n1099 b.test\n", false, 2, "unknown role '1099'"},
        {"S1 a.test\n# S1 c.test\n\nS1 b.test\n", false, 4, "role 'S1' given twice (first on line 1)"},
        {"X under_score.test\n", false, 1, "'under_score.test' is not a valid host name"},
        {"X h\xc3\xa9.test\n", false, 1, "'h\\xc3\\xa9.test' is not a valid host name"},
        {"X\n", false, 1, "cannot read the line: a role and one host name are expected"},
        {"X a.test # the exchange\n", false, 1,
         "cannot read the line: a role and one host name are expected"},
        {"X a\x1b[2J.test\n", false, 1, "cannot read the line: it holds a control character"},
        {std::string("X a.test\0\n", 10), false, 1, "cannot read the line: it holds a control character"},
        {"S1 a.test\n", true, 0, "no host for role '1001'"},
    };
    for (const Fault& f : faults)
    {
        std::vector<HostLine> hosts = {{"kept", "kept", 9}};
        HostsProblem problem;
        EXPECT_FALSE(ParseHostsText(f.text, f.everyRole, &hosts, &problem)) << f.text;
        EXPECT_EQ(problem.line, f.line) << f.text;
        EXPECT_EQ(problem.text, f.problem) << f.text;
        EXPECT_EQ(hosts.size(), 1u) << f.text;
    }
}

TEST(HostsList, HostNames)
{
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    for (const std::string& name : {std::string("localhost"), std::string("127.0.0.1"),
                                    std::string("x-1.Example.NET"), label63 + ".test", name253})
        EXPECT_TRUE(IsValidHostName(name)) << name;
    for (const std::string& name : {std::string(), std::string("a..b"), std::string(".a"), std::string("a."),
                                    std::string("-a.test"), std::string("a-.test"), std::string("a_b"),
                                    label63 + "a.test", name253 + "b", std::string("[::1]")})
        EXPECT_FALSE(IsValidHostName(name)) << name;
}

// Comments, blank lines and CR LF ends are no hosts: the built-in list with
// every line commented out, as a package ships the site's file, names none.
TEST(HostsList, CommentsBlanksAndLineEnds)
{
    std::vector<HostLine> hosts;
    HostsProblem problem;
    ASSERT_TRUE(ParseHostsText("# site\r\n\n   \t\n  # S1 x.test\r\nS1 one.test\r\n  X\ttwo.test  ", false,
                               &hosts, &problem))
        << problem.text;
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[0].role + " " + hosts[0].host + " " + std::to_string(hosts[0].line), "S1 one.test 5");
    EXPECT_EQ(hosts[1].role + " " + hosts[1].host + " " + std::to_string(hosts[1].line), "X two.test 6");

    std::istringstream builtIn(FileText(KV_SOURCE_DIR "/catalogue/hosts.txt"));
    std::string commented;
    for (std::string line; std::getline(builtIn, line);)
        commented += "#" + line + "\n";
    EXPECT_TRUE(ParseHostsText(commented, false, &hosts, &problem)) << problem.text;
    EXPECT_TRUE(hosts.empty());
    EXPECT_TRUE(ParseHostsText(FileText(KV_SOURCE_DIR "/catalogue/hosts.txt"), true, &hosts, &problem))
        << problem.text;
}

// A site's file moves only the roles it names, everywhere they are used;
// its label follows the hosts it sets, not how the file is written.
TEST(SiteCatalogue, OverlaysTheRolesItNames)
{
    const CatalogueRef builtIn = CCatalogue::BuiltIn();
    const CatalogueRef site = CCatalogue::WithSiteHosts(
        {{"S1", "s1.site.test", 3}, {"1042", "torval.site.test", 7}}, "/site/hosts");
    std::vector<std::string> expected = CatalogueRows(*builtIn);
    for (std::string& row : expected)
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{" | S1 | " + builtIn->HostOf("S1"), " | S1 | s1.site.test"},
              {" | 1042 | " + builtIn->HostOf("1042"), " | 1042 | torval.site.test"}})
            if (row.size() > from.size() && row.compare(row.size() - from.size(), from.size(), from) == 0)
                row.replace(row.size() - from.size(), from.size(), to);
    EXPECT_EQ(CatalogueRows(*site), expected);
    EXPECT_NE(CatalogueRows(*site), CatalogueRows(*builtIn));
    EXPECT_EQ(site->Source(), "/site/hosts");

    EXPECT_EQ(site->Label().size(), 12u);
    EXPECT_EQ(site->Label().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(CCatalogue::WithSiteHosts({{"1042", "torval.site.test", 1}, {"S1", "s1.site.test", 9}}, "other")
                  ->Label(),
              site->Label());
    EXPECT_NE(
        CCatalogue::WithSiteHosts({{"S1", "s1.site.test", 3}, {"1042", "torval2.site.test", 7}}, "")->Label(),
        site->Label());
    EXPECT_EQ(CCatalogue::WithSiteHosts({}, "/site/hosts"), builtIn); // nothing set: the built-in one

    // The page of the hosts in effect.
    const std::string page = GatewayPageRtf(*site);
    EXPECT_NE(page.find("STERLING CARVELLO Primary:\\tab {\\f1 s1.site.test}  port {\\b 9100}"),
              std::string::npos);
    EXPECT_NE(page.find("TORVAL WEBSITE:\\tab {\\f1 torval.site.test}  port {\\b 443}"), std::string::npos);
    EXPECT_NE(page.find("Host names set by this site in /site/hosts."), std::string::npos);
    EXPECT_EQ(GatewayPageRtf(*builtIn).find("set by this site"), std::string::npos);
}

// The site's file as the front ends take it: all of it or none of it.
TEST(SiteCatalogue, LoadTakesAllOrNothing)
{
    TempFolder folder;
    const std::string path = (folder.path / "hosts.conf").string();
    struct Case
    {
        const char* name;
        std::optional<std::string> text; // none: no file; "/": a folder
        bool absentIsBuiltIn;
        std::string problem;
        bool builtIn;
    };
    const Case cases[] = {
        {"absent", std::nullopt, true, "", true},
        {"absent but named", std::nullopt, false, path + ": cannot be read: No such file or directory", true},
        {"a folder", "/", true, path + ": cannot be read: Is a directory", true},
        {"faulty", "S1 one.test\n1099 two.test\n", true, path + ":2: unknown role '1099'", true},
        {"too large", std::string(kMaxHostsFileBytes + 1, '#'), true,
         path + ": larger than 65536 bytes: not a hosts list", true},
        {"sound", "S1 one.test\n", false, "", false},
    };
    for (const Case& c : cases)
    {
        std::filesystem::remove_all(path);
        if (c.text == "/")
            std::filesystem::create_directory(path);
        else if (c.text)
            std::ofstream(path, std::ios::binary) << *c.text;
        const SiteCatalogue site = LoadSiteCatalogue(path, c.absentIsBuiltIn);
        EXPECT_EQ(site.problem, c.problem) << c.name;
        EXPECT_EQ(site.catalogue == CCatalogue::BuiltIn(), c.builtIn) << c.name;
        EXPECT_EQ(site.catalogue->HostOf("S1"), c.builtIn ? CCatalogue::BuiltIn()->HostOf("S1") : "one.test")
            << c.name;
    }
}

TEST(ManualTest, PortTextIsReadAsTheRuntimeDoes)
{
    EXPECT_EQ(PortFromText("443"), 443);
    EXPECT_EQ(PortFromText("443abc"), 443);
    EXPECT_EQ(PortFromText("  443"), 443);
    EXPECT_EQ(PortFromText("\t+443"), 443);
    EXPECT_EQ(PortFromText("abc"), 0);
    EXPECT_EQ(PortFromText(""), 0);
    EXPECT_EQ(PortFromText("-5"), -5);
    EXPECT_EQ(PortFromText("--5"), 0);
    EXPECT_EQ(PortFromText("99999999999999999999"), INT_MAX);
    EXPECT_EQ(PortFromText("-99999999999999999999"), INT_MIN);
}

class ManualTestRun : public ::testing::Test
{
protected:
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
};

TEST_F(ManualTestRun, EmptyFieldsStillRunTheTlsTest)
{
    CRecordingSink sink;
    m_owner.SetResultSink(&sink);
    EXPECT_FALSE(RunManualTest(&m_owner, "", ""));
    EXPECT_EQ(sink.events,
              (std::vector<std::string>{"target USER DEFINED GATEWAY AND PORT"})); // no press around it
    ASSERT_EQ(sink.targets.size(), 1u);
    EXPECT_EQ(sink.targets[0].buttonId, 0);
    EXPECT_EQ(sink.targets[0].failedStep, TestStep::Resolve);
    EXPECT_EQ(m_owner.Lines(),
              (Lines{"", kStart, kPlainSeparator, "Attempting USER DEFINED GATEWAY AND PORT",
                     "Creating Client Credentials....", "Credentials created.", "Attempting to resolve ...",
                     "** FAILED to Connect to USER DEFINED GATEWAY AND PORT! ** DNS Lookup of  Failed!",
                     " TEST FAILED. ", kClosingBanner}));
    EXPECT_EQ(m_resolver.Asked(), (std::vector<std::string>{""}));
}

TEST_F(ManualTestRun, ServerTextReachesTheTestUnchanged)
{
    EXPECT_FALSE(RunManualTest(&m_owner, " my %s host ", "443abc"));
    EXPECT_EQ(m_owner.Lines()[6], "Attempting to resolve  my %s host ...");
    EXPECT_EQ(m_resolver.Asked(), (std::vector<std::string>{" my %s host "}));
}

TEST_F(ManualTestRun, PortIsPassedOnAsConverted)
{
    const int port = ClosedPort();
    EXPECT_FALSE(RunManualTest(&m_owner, "gw.test", " " + std::to_string(port) + "xyz"));
    EXPECT_EQ(m_owner.Lines()[8],
              "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...");
    EXPECT_FALSE(RunManualTest(&m_owner, "gw.test", "-5"));
    EXPECT_EQ(m_owner.Lines().back(), kClosingBanner);
    const Lines lines = m_owner.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Attempting to connect to 127.0.0.1 on port -5..."),
              lines.end());
}

TEST_F(ManualTestRun, WholePressOfAPlainChainAgainstLoopbackGreeters)
{
    auto greeter = [](int fd) {
        SendAll(fd, "CONNECTED\x03");
        DrainUntilClosed(fd, 3000);
    };
    ScriptedServer first(greeter), second(greeter);
    const ProcessorEntry entry{
        9001,
        "LOOPBACK",
        TesterKind::Plain,
        SequenceKind::Chain,
        2,
        {{"LOOP Primary", "gw.test", first.Port()}, {"LOOP Secondary", "gw.test", second.Port()}}};
    CRecordingSink sink;
    m_owner.SetResultSink(&sink);
    EXPECT_TRUE(RunProcessorEntry(&m_owner, entry));
    EXPECT_EQ(sink.events, (std::vector<std::string>{"begin 9001 LOOPBACK", "target LOOP Primary",
                                                     "target LOOP Secondary", "press 9001"}));
    ASSERT_EQ(sink.targets.size(), 2u);
    EXPECT_EQ(sink.targets[1].buttonId, 9001);
    EXPECT_EQ(sink.targets[1].tester, "plain");
    EXPECT_TRUE(sink.presses.at(0).passed);
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connection Closed -- TEST SUCCESSFUL. "), 2);
    EXPECT_EQ(lines[2], NumberedSeparator(1));
    EXPECT_NE(std::find(lines.begin(), lines.end(), NumberedSeparator(2)), lines.end());
    EXPECT_EQ(lines.back(), kClosingBanner);
}
} // namespace
