#include "catalogue.h"
#include "sequence.h"
#include "support/fake_resolver.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <stdexcept>

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

TEST(Sequence, ThreeHostChainStopsAtTheSecondFailure)
{
    CRecordingOwner owner;
    const Lines lines = Press(1013, {true, false, true}, owner);
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], NumberedSeparator(2));
    EXPECT_EQ(lines[5].rfind("test STERLING LOMBRIX Secondary ", 0), 0u);
    EXPECT_EQ(lines[6], "tester destroyed");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), NumberedSeparator(3)), 0);
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

TEST(Sequence, AnExceptionStillDestroysTheTesterThenWritesTheBanner)
{
    CRecordingOwner owner;
    FakeTester::Reset({true, true});
    FakeTester::throwOnSecond = true;
    EXPECT_THROW(RunSequence<FakeTester>(&owner, *FindProcessorEntry(1016)), std::runtime_error);
    const Lines lines = owner.Lines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"tester destroyed", kClosingBanner}));
    EXPECT_EQ(FakeTester::alive, 0);
    EXPECT_EQ(owner.m_waitDepth, 0);
}

// The press's records: opened before the first line, targets stamped with
// the button, closed after the last line with what was tested and skipped.
TEST(PressRecords, ChainStopRecordsTheSkippedTargets)
{
    CRecordingOwner owner;
    CRecordingSink sink;
    owner.SetResultSink(&sink);
    Press(1013, {true, false, true}, owner);
    EXPECT_EQ(sink.events, (std::vector<std::string>{"begin 1013 STERLING LOMBRIX", "target STERLING LOMBRIX Primary",
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

TEST(PressRecords, AnExceptionSendsNoVerdict)
{
    CRecordingOwner owner;
    CRecordingSink sink;
    owner.SetResultSink(&sink);
    FakeTester::Reset({true, true});
    FakeTester::throwOnSecond = true;
    EXPECT_THROW(RunSequence<FakeTester>(&owner, *FindProcessorEntry(1016)), std::runtime_error);
    EXPECT_EQ(sink.events,
              (std::vector<std::string>{"begin 1016 HEARTLAND EXCHANGE", "target HEARTLAND EXCHANGE (Authorization Port)"}));
    EXPECT_EQ(owner.ResultSink(), &sink);
}

TEST(Catalogue, HoldsTheTableOfTheMainDialog)
{
    const auto& table = ProcessorCatalogue();
    ASSERT_EQ(table.size(), 33u);
    int tls = 0, plain = 0, targets = 0;
    std::set<int> ids;
    for (const auto& e : table)
    {
        (e.tester == TesterKind::Tls ? tls : plain)++;
        targets += e.targetCount;
        ids.insert(e.id);
        const bool single = e.sequence == SequenceKind::Single || e.sequence == SequenceKind::SingleNumbered;
        EXPECT_EQ(single, e.targetCount == 1) << e.id;
        for (int n = 0; n < e.targetCount; ++n)
        {
            EXPECT_GE(e.targets[n].port, 1);
            EXPECT_LE(e.targets[n].port, 65535);
            EXPECT_NE(std::string(e.targets[n].host), "");
        }
    }
    EXPECT_EQ(tls, 29);
    EXPECT_EQ(plain, 4);
    EXPECT_EQ(targets, 45);
    EXPECT_EQ(ids.size(), 33u);
    EXPECT_EQ(table.front().id, 1001);
    EXPECT_EQ(table.back().id, 1043);
    EXPECT_STREQ(FindProcessorEntry(1026)->caption, "CHOCKSTONE\rHEARTLAND GIFT");
    EXPECT_STREQ(FindProcessorEntry(1026)->targets[0].label, "CHOCKSTONE-HEARTLANT GIFT");
    EXPECT_EQ(FindProcessorEntry(1010), nullptr); // the terminal API button is not a catalogue entry
}

TEST(Catalogue, HostsAreSharedExactlyAsTheRolesSay)
{
    std::map<std::string, int> uses;
    for (const auto& e : ProcessorCatalogue())
        for (int n = 0; n < e.targetCount; ++n)
            ++uses[e.targets[n].host];
    EXPECT_EQ(uses.size(), 37u);

    auto host = [](int id, int n) { return std::string(FindProcessorEntry(id)->targets[n].host); };
    auto port = [](int id, int n) { return FindProcessorEntry(id)->targets[n].port; };
    EXPECT_EQ(host(1006, 0), host(1039, 0)); // W
    EXPECT_EQ(port(1006, 0), port(1039, 0));
    EXPECT_EQ(host(1008, 0), host(1040, 0)); // D1, D2
    EXPECT_EQ(host(1008, 1), host(1040, 1));
    EXPECT_NE(host(1008, 0), host(1008, 1));
    for (int n = 0; n < 3; ++n) // S1-S3
    {
        EXPECT_EQ(host(1013, n), host(1014, n));
        EXPECT_EQ(port(1013, n), 9000);
        EXPECT_EQ(port(1014, n), 9100);
    }
    EXPECT_EQ(host(1016, 0), host(1016, 1)); // X
    EXPECT_EQ(host(1016, 0), host(1022, 0));
    EXPECT_EQ((std::vector<int>{port(1016, 0), port(1016, 1), port(1022, 0)}), (std::vector<int>{22345, 22346, 54411}));
    const std::set<std::string> mercury{host(1011, 0), host(1011, 1), host(1012, 0), host(1012, 1)};
    EXPECT_EQ(mercury.size(), 4u);

    const std::set<std::string> shared{host(1006, 0), host(1008, 0), host(1008, 1), host(1013, 0),
                                       host(1013, 1), host(1013, 2), host(1016, 0)};
    for (const auto& [name, count] : uses)
    {
        if (!shared.count(name))
        {
            EXPECT_EQ(count, 1) << name;
        }
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
    EXPECT_EQ(sink.events, (std::vector<std::string>{"target USER DEFINED GATEWAY AND PORT"})); // no press around it
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
    EXPECT_EQ(m_owner.Lines()[8], "Attempting to connect to 127.0.0.1 on port " + std::to_string(port) + "...");
    EXPECT_FALSE(RunManualTest(&m_owner, "gw.test", "-5"));
    EXPECT_EQ(m_owner.Lines().back(), kClosingBanner);
    const Lines lines = m_owner.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Attempting to connect to 127.0.0.1 on port -5..."), lines.end());
}

TEST_F(ManualTestRun, WholePressOfAPlainChainAgainstLoopbackGreeters)
{
    auto greeter = [](int fd) {
        SendAll(fd, "CONNECTED\x03");
        DrainUntilClosed(fd, 3000);
    };
    ScriptedServer first(greeter), second(greeter);
    const ProcessorEntry entry{9001, "LOOPBACK", TesterKind::Plain, SequenceKind::Chain, 2,
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
