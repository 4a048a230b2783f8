// A result sink for tests: keeps every record and the order they came in.
#pragma once

#include "test_record.h"

#include <string>
#include <vector>

class CRecordingSink : public CResultSink
{
public:
    void BeginPress(int buttonId, const std::string& caption) override
    {
        events.push_back("begin " + std::to_string(buttonId) + " " + caption);
    }
    void Target(const TargetRecord& record) override
    {
        events.push_back("target " + record.label);
        targets.push_back(record);
    }
    void Press(const PressRecord& record) override
    {
        events.push_back("press " + std::to_string(record.buttonId));
        presses.push_back(record);
    }

    std::vector<std::string> events;
    std::vector<TargetRecord> targets;
    std::vector<PressRecord> presses;
};
