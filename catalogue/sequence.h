// The press of a catalogue button, for any tester type with
// Tester(CHistoryOwner*) and bool Test(std::string, int, std::string).
#pragma once

#include "catalogue.h"

#include <string>

// The press's record for the owner's result sink, when one is set: opens
// the press, stamps the button on each target's record while the press
// runs, and closes the press with the labels tested and skipped and the
// verdict. Without a sink it does nothing.
class CPressRecorder : private CResultSink
{
public:
    CPressRecorder(CHistoryOwner* owner, const ProcessorEntry& entry);
    ~CPressRecorder() override;
    CPressRecorder(const CPressRecorder&) = delete;
    CPressRecorder& operator=(const CPressRecorder&) = delete;

    void Tested(const GatewayTarget& target);
    void Skipped(const GatewayTarget& target);
    // The press ended normally with this verdict; its record goes out when
    // the recorder goes, after the press's last line.
    void Finished(bool passed);

private:
    void BeginPress(int buttonId, const std::string& caption) override;
    void Target(const TargetRecord& record) override;
    void Press(const PressRecord& record) override;
    bool WantsEveryAddress() const override { return m_pSink->WantsEveryAddress(); }

    CHistoryOwner* m_pOwner;
    CResultSink* m_pSink;
    PressRecord m_record;
    bool m_bFinished = false;
};

template <typename Tester> bool RunSequence(CHistoryOwner* owner, const ProcessorEntry& entry)
{
    CPressRecorder press(owner, entry);
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    AddToHistory(owner, "%s",
                 entry.sequence == SequenceKind::Single ? kPlainSeparator : NumberedSeparator(1));

    bool allPassed;
    {
        Tester tester(owner);
        bool passed = tester.Test(entry.targets[0].host, entry.targets[0].port, entry.targets[0].label);
        press.Tested(entry.targets[0]);
        allPassed = passed;
        for (int n = 2; n <= entry.targetCount; ++n)
        {
            const GatewayTarget& target = entry.targets[n - 1];
            if (entry.sequence == SequenceKind::Chain && !passed)
            {
                press.Skipped(target);
                continue;
            }
            AddToHistory(owner, "%s", NumberedSeparator(n));
            passed = tester.Test(target.host, target.port, target.label);
            press.Tested(target);
            allPassed = allPassed && passed;
        }
    } // the tester goes before the closing banner
    press.Finished(allPassed);
    return allPassed;
}
