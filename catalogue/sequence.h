// The press of a catalogue button, for any tester type with
// Tester(CHistoryOwner*) and bool Test(std::string, int, std::string).
#pragma once

#include "catalogue.h"

template <typename Tester> bool RunSequence(CHistoryOwner* owner, const ProcessorEntry& entry)
{
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    AddToHistory(owner, "%s", entry.sequence == SequenceKind::Single ? kPlainSeparator : NumberedSeparator(1));

    bool allPassed;
    {
        Tester tester(owner);
        bool passed = tester.Test(entry.targets[0].host, entry.targets[0].port, entry.targets[0].label);
        allPassed = passed;
        for (int n = 2; n <= entry.targetCount; ++n)
        {
            if (entry.sequence == SequenceKind::Chain && !passed)
                break;
            AddToHistory(owner, "%s", NumberedSeparator(n));
            const GatewayTarget& target = entry.targets[n - 1];
            passed = tester.Test(target.host, target.port, target.label);
            allPassed = allPassed && passed;
        }
    } // the tester goes before the closing banner
    return allPassed;
}
