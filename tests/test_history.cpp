#include "console_owner.h"
#include "history.h"
#include "support/recording_owner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace
{
using Lines = std::vector<std::string>;

TEST(Framing, TextsHaveTheirExactShape)
{
    EXPECT_EQ(std::string(kOpeningBanner).size(), 67u);
    EXPECT_EQ(std::string(kClosingBanner).size(), 65u);
    EXPECT_EQ(std::string(kPlainSeparator).size(), 54u);
    for (int n = 1; n <= 3; ++n)
    {
        const std::string separator = NumberedSeparator(n);
        EXPECT_EQ(separator.size(), 58u);
        EXPECT_EQ(separator, std::string(15, '*') + "  " + std::string(9, '-') + "<" + std::to_string(n) +
                                 ">" + std::string(9, '-') + "  " + std::string(18, '*'));
    }
    EXPECT_EQ(std::string(kOpeningBanner), "\r\n" + std::string(20, '*') + std::string(6, ' ') +
                                               "TEST STARTS" + std::string(8, ' ') + std::string(20, '*'));
    EXPECT_EQ(std::string(kClosingBanner), std::string(20, '*') + std::string(7, ' ') + "TEST ENDS" +
                                               std::string(9, ' ') + std::string(20, '*'));
    EXPECT_EQ(std::string(kPlainSeparator),
              std::string(15, '*') + "  " + std::string(17, '-') + "  " + std::string(18, '*'));
}

TEST(Framing, FrameWritesBannersOnEveryWayOut)
{
    CRecordingOwner owner;
    AddToHistory(&owner, "before");
    try
    {
        CWaitCursor wait(&owner);
        CTestFrame frame(&owner);
        AddToHistory(&owner, "%s", kPlainSeparator);
        EXPECT_EQ(owner.m_waitDepth, 1);
        throw std::runtime_error("mid-test");
    }
    catch (const std::runtime_error&)
    {}
    EXPECT_EQ(owner.m_waitDepth, 0);
    const Lines expected{"before", "", std::string(kOpeningBanner).substr(2), kPlainSeparator,
                         kClosingBanner};
    EXPECT_EQ(owner.Lines(), expected);
}

TEST(AddToHistory, FormatsAppendsAndScrollsToTheEnd)
{
    CRecordingOwner owner;
    AddToHistory(&owner, "%-30s%s", "Adapter Name:", "eth0");
    AddToHistory(&owner, "Status = %d, 0x%x", -2146893052, 0x80090304u);
    EXPECT_EQ(owner.HistoryText(),
              "Adapter Name:                 eth0\r\nStatus = -2146893052, 0x80090304\r\n");
    EXPECT_EQ(owner.m_controlText, owner.HistoryText());
    EXPECT_EQ(owner.m_scrolls, (std::vector<int>{2, 3}));
    EXPECT_TRUE(owner.m_boxes.empty());
}

TEST(AddToHistory, RunTimeTextIsNeverReadAsAFormat)
{
    CRecordingOwner owner;
    const std::string hostile = "host%s%d%n%x%%";
    AddToHistory(&owner, "DNS Lookup of %s Failed!", hostile.c_str());
    EXPECT_EQ(owner.Lines(), (Lines{"DNS Lookup of host%s%d%n%x%% Failed!"}));
}

TEST(AddToHistory, LongLinesAreNotCut)
{
    CRecordingOwner owner;
    const std::string longText(5000, 'x');
    AddToHistory(&owner, "[%s]", longText.c_str());
    EXPECT_EQ(owner.Lines(), (Lines{"[" + longText + "]"}));
}

TEST(AddToHistory, LinesWrittenWithoutAControlAreKeptAndShownLater)
{
    CRecordingOwner owner;
    owner.m_live = false;
    AddToHistory(&owner, "first");
    EXPECT_EQ(owner.m_setTextCalls, 0);
    EXPECT_TRUE(owner.m_scrolls.empty());
    owner.m_live = true;
    AddToHistory(&owner, "second");
    EXPECT_EQ(owner.m_controlText, "first\r\nsecond\r\n");
}

TEST(AddToHistory, OverflowAnsweredNoKeepsEverythingAndAsksAgain)
{
    CRecordingOwner owner;
    owner.m_controlLimit = 20;
    owner.m_answers = {IDNO, IDNO};
    AddToHistory(&owner, "0123456789"); // 12 characters: fits
    AddToHistory(&owner, "abcdefghij"); // 24: overflows
    AddToHistory(&owner, "klm");        // still overflowing: asked again
    ASSERT_EQ(owner.m_boxes.size(), 2u);
    EXPECT_EQ(owner.m_boxes[0], "There is insufficient space in the history window ... Clear it first?");
    EXPECT_EQ(owner.m_boxTypes[0], MB_YESNO);
    EXPECT_EQ(owner.HistoryText(), "0123456789\r\nabcdefghij\r\nklm\r\n");
    EXPECT_EQ(owner.m_controlText, owner.HistoryText().substr(0, 20));
    EXPECT_EQ(owner.m_scrolls.size(), 3u); // scrolled whichever way the question went
}

TEST(AddToHistory, OverflowAnsweredYesKeepsOnlyTheNewLine)
{
    CRecordingOwner owner;
    owner.m_controlLimit = 20;
    owner.m_answers = {IDYES};
    {
        CTestFrame frame(&owner); // 69 characters: overflows at once
        EXPECT_EQ(owner.HistoryText(), std::string(kOpeningBanner) + "\r\n");
        EXPECT_EQ(owner.m_controlText, owner.HistoryText().substr(0, 20));
        owner.m_controlLimit = 1000;
        AddToHistory(&owner, "line");
    }
    EXPECT_EQ(owner.m_boxes.size(), 1u);
    EXPECT_EQ(owner.m_controlText, std::string(kOpeningBanner) + "\r\nline\r\n" + kClosingBanner + "\r\n");
    EXPECT_EQ(owner.m_scrolls.size(), 3u);
}

TEST(ClearHistory, EmptiesTextAndControlWithoutAsking)
{
    CRecordingOwner owner;
    owner.ClearHistory();
    EXPECT_EQ(owner.HistoryText(), "");
    AddToHistory(&owner, "one");
    owner.ClearHistory();
    EXPECT_EQ(owner.HistoryText(), "");
    EXPECT_EQ(owner.m_controlText, "");
    EXPECT_TRUE(owner.m_boxes.empty());
    owner.m_live = false;
    AddToHistory(&owner, "two");
    owner.ClearHistory();
    EXPECT_EQ(owner.HistoryText(), "");
}

TEST(AddToHistory, TellsTheControlHowMuchIsAsSetBefore)
{
    CRecordingOwner owner;
    owner.m_controlLimit = 40;
    owner.m_answers = {IDYES};
    AddToHistory(&owner, "one"); // 5 characters with CR LF
    AddToHistory(&owner, "two"); // after the 5 set before
    owner.m_live = false;
    AddToHistory(&owner, "three"); // kept, not set
    owner.m_live = true;
    AddToHistory(&owner, "four"); // still after the 10 set before
    owner.ClearHistory();         // starts over
    AddToHistory(&owner, "five");
    AddToHistory(&owner, "%s", std::string(40, 'x').c_str()); // overflows: Yes keeps the new line alone
    AddToHistory(&owner, "six");
    owner.m_live = false;
    owner.ClearHistory();
    AddToHistory(&owner, "seven");
    owner.m_live = true;
    AddToHistory(&owner, "eight"); // cleared while no control: nothing is as before
    EXPECT_EQ(owner.m_unchanged, (std::vector<size_t>{0, 5, 10, 0, 0, 6, 0, 42, 0}));
    EXPECT_EQ(owner.m_controlText, "seven\r\neight\r\n");
}

TEST(ConsoleOwner, PrintsEachLineAsWrittenWithUnixLineEnds)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    {
        CConsoleHistoryOwner owner(out);
        AddToHistory(&owner, "before");
        {
            CTestFrame frame(&owner);
            AddToHistory(&owner, "%s", kPlainSeparator);
            std::fflush(out);
            EXPECT_EQ(std::string(buffer, size),
                      "before\n\n" + std::string(kOpeningBanner).substr(2) + "\n" + kPlainSeparator + "\n");
        }
        owner.ClearHistory();
        AddToHistory(&owner, "after %s", "clear");
        EXPECT_EQ(owner.MessageBox("DNS is fine", MB_OK), IDOK);
    }
    std::fclose(out);
    const std::string printed(buffer, size);
    std::free(buffer);
    EXPECT_EQ(printed, "before\n\n" + std::string(kOpeningBanner).substr(2) + "\n" + kPlainSeparator + "\n" +
                           kClosingBanner + "\nafter clear\n[MESSAGE BOX] DNS is fine\n");
}
} // namespace
