#include "greeting_reader.h"
#include "support/fake_resolver.h"
#include "support/greeting_reference.h"
#include "support/loopback.h"
#include "support/recording_owner.h"
#include "support/test_clock.h"
#include "tcp_tester.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace testing_support;
using Reads = std::vector<std::string>;

namespace
{
constexpr size_t kReadSize = 2047;

// The index of the read that ends the greeting, or -1; the reader never holds
// more than its tail in between.
int GreetingRead(const Reads& reads)
{
    CGreetingReader reader;
    for (size_t i = 0; i < reads.size(); ++i)
    {
        const bool greets = reader.Take(reads[i].data(), reads[i].size());
        EXPECT_LE(reader.HeldBytes(), CGreetingReader::kTailBytes);
        if (greets)
            return static_cast<int>(i);
    }
    return -1;
}

// The stream as the wait reads it: at most kReadSize bytes a read.
Reads InReads(const std::string& stream)
{
    Reads reads;
    for (size_t at = 0; at < stream.size(); at += kReadSize)
        reads.push_back(stream.substr(at, kReadSize));
    return reads;
}

Reads Concat(Reads a, const Reads& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(GreetingReader, LongGreetingKeepsItsVerdict)
{
    const Reads reads = InReads(std::string(100000, 'x') + "CONNECTED\x03");
    EXPECT_EQ(GreetingRead(reads), static_cast<int>(reads.size()) - 1);
}

// The word cut by a read boundary after `before` of its letters, the
// boundary at 64 KiB into the message.
class WordAcrossBoundary : public ::testing::TestWithParam<size_t>
{};

TEST_P(WordAcrossBoundary, StillGreets)
{
    const size_t before = GetParam();
    const std::string word(CGreetingReader::kWord);
    const Reads reads = Concat(InReads(std::string(64 * 1024 - before, 'x') + word.substr(0, before)),
                               {word.substr(before) + "\x03"});
    EXPECT_EQ(GreetingRead(reads), static_cast<int>(reads.size()) - 1);
}

INSTANTIATE_TEST_SUITE_P(EveryCut, WordAcrossBoundary,
                         ::testing::Range<size_t>(1, CGreetingReader::kWord.size()));

TEST(GreetingReader, WordOverReadsShorterThanItsTail)
{
    EXPECT_EQ(GreetingRead({"co", "N", "nECTE", "D", "\x03"}), 4);
    EXPECT_EQ(GreetingRead({"C", "O", "N", "N", "E", "C", "T", "E", "D\x03"}), 8);
}

// Found by fuzz_greeting (seed greeting/regression-stale-tail): a word's
// start in an early read must not join a later read across the bytes between;
// the tail is the last bytes seen, never the first.
TEST(GreetingReader, StaleWordStartDoesNotJoinALaterRead)
{
    EXPECT_EQ(GreetingRead({"CCCCCCCC", "x", "ONNECTED\x03"}), -1);
    EXPECT_EQ(
        GreetingRead({"\x07", "\n",
                      "\n\x01\x01"
                      "CCCCCCCC",
                      "CCCCCCCCC\x01\x01\x01" + std::string(22, '\xc9') + "\xc8" + std::string(8, '\xc9') +
                          "\t\xc9[\n\x01\x01"
                          "CCCCCCCCCCC" +
                          std::string(6, '\xc9') + "\x01\x01",
                      "\x01\x01", "ONNECTED\x03"}),
        -1);
    EXPECT_EQ(GreetingRead({"CCCCCCCC", "C", "ONNECTED\x03"}), 2);
}

TEST(GreetingReader, NulCutsTheMessageWhereverItIs)
{
    // A NUL far back hides the word however much comes between.
    EXPECT_EQ(GreetingRead(InReads(std::string("hi\0", 3) + std::string(100000, 'x') + "CONNECTED\x03")), -1);
    EXPECT_EQ(GreetingRead({std::string("HELLO\0CONNECTED\x03", 16)}), -1);
    EXPECT_EQ(GreetingRead({std::string("CONNEC\0", 7), "TED\x03"}), -1);
    EXPECT_EQ(GreetingRead({"CONNEC", std::string("TED\0junk\x03", 9)}), 1);
    // The cut belongs to its message only.
    EXPECT_EQ(GreetingRead({std::string("\0\x03", 2), "CONNECTED\x03"}), 1);
}

TEST(GreetingReader, OnlyTheFirstMessageOfAReadCounts)
{
    EXPECT_EQ(GreetingRead({"HELLO\x03"
                            "CONNECTED\x03",
                            "more"}),
              -1);
    // What follows the terminator is neither examined nor kept.
    EXPECT_EQ(GreetingRead({"HELLO\x03"
                            "CONNEC",
                            "TED\x03"}),
              -1);
    // A message without the word leaves nothing behind for the next one.
    EXPECT_EQ(GreetingRead({"CONNEC\x03", "TED\x03"}), -1);
    EXPECT_EQ(GreetingRead({"NO\x03", "NOT CONNECTED\x03"}), 1);
    EXPECT_EQ(GreetingRead({"CONNECTED"}), -1);
}

// Random streams of the pieces that matter, cut into random reads: the
// bounded reader answers at the same read as the unbounded rule.
TEST(GreetingReader, AgreesWithTheUnboundedRule)
{
    std::mt19937 random(20240611);
    const std::vector<std::string> pieces = {
        "CONNECTED", "connected", "CONNEC", "TED", "conn", "ECTED", "C", "x", "\x03", std::string(1, '\0')};
    for (int round = 0; round < 4000; ++round)
    {
        std::string stream;
        for (size_t i = 0, n = random() % 12; i < n; ++i)
            stream += pieces[random() % pieces.size()];
        Reads reads;
        for (size_t at = 0; at < stream.size();)
        {
            const size_t n = 1 + random() % 16;
            reads.push_back(stream.substr(at, n));
            at += n;
        }
        GreetingReference reference;
        int expected = -1;
        for (size_t i = 0; i < reads.size() && expected < 0; ++i)
            if (reference.Take(reads[i]))
                expected = static_cast<int>(i);
        ASSERT_EQ(GreetingRead(reads), expected) << ::testing::PrintToString(reads);
    }
}

// The same through the plain test on a loopback peer. The wait's time is the
// test clock's: it moves only while the socket is quiet.
class LongGreeting : public ::testing::Test
{
protected:
    bool Run(const std::string& greeting)
    {
        ScriptedServer server([&](int fd) {
            SendAll(fd, greeting);
            DrainUntilClosed(fd, 3000);
        });
        CTcpTester tester(&m_owner);
        return tester.Test("gw.test", server.Port(), "LBL");
    }
    bool Wrote(const std::string& line) const
    {
        const auto lines = m_owner.Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    FakeResolver m_resolver;
    CRecordingOwner m_owner;
    CTestClock m_clock;
};

TEST_F(LongGreeting, WordAfterALongTextPasses)
{
    EXPECT_TRUE(Run(std::string(100000, 'x') + "CONNECTED\x03"));
    EXPECT_TRUE(Wrote("Received 'CONNECTED' From LBL"));
    EXPECT_TRUE(Run(std::string(64 * 1024 - 4, 'x') + "CONNECTED\x03"));
    EXPECT_LT(m_clock.Moved(), CTcpTester::kGreetingTimeoutMs);
}

TEST_F(LongGreeting, NulFarBackStillHidesTheWord)
{
    EXPECT_FALSE(Run(std::string("hi\0", 3) + std::string(100000, 'x') + "CONNECTED\x03"));
    EXPECT_TRUE(Wrote("Timeout waiting for 'CONNECTED' From LBL"));
    EXPECT_EQ(m_clock.Moved(), CTcpTester::kGreetingTimeoutMs);
}
} // namespace
