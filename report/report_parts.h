// What the text and the HTML report both show, worked out once: each
// button's direct press beside its press through a proxy, the targets'
// hints, verdicts and times.
#pragma once

#include "report.h"

#include <string>
#include <vector>

namespace report
{
struct TargetView
{
    TargetRecord record; // with its hint
    double ms = 0;       // the steps' times added up
    std::string verdict; // "passes", or the cause in words ("timed out")
};

struct PressView
{
    const ReportPress* press = nullptr;
    std::vector<TargetView> targets;
    double ms = 0;
    std::string verdict; // "passes", or the first failed target's verdict
};

struct ButtonRow
{
    std::string title; // "1003 PAYMENTECH NETCONNECT", or the typed server
    PressView direct;  // press is null for a press made only through a proxy
    PressView proxied; // press is null when there is none
    // "direct: timed out; through proxy http://…:3128: passes", or the direct verdict alone.
    std::string line;
    bool passed = false; // as the exit status counts it: the direct press, else the proxied one
    int index = 0;       // the row's number, for anchors
};

std::vector<ButtonRow> Rows(const std::vector<ReportPress>& presses, std::time_t now);

// "12.3 ms", "10.01 s".
std::string Duration(double ms);
// "resolve 0.2 ms, connect 1.1 ms, ..." for the steps reached.
std::string StepTimesText(const ::StepTimes& times);
// A caption on one line.
std::string OneLine(const std::string& caption);
// The records as JSON Lines: a line on the report itself, then every record.
std::string RecordLines(const ReportFacts& facts, const std::vector<ReportPress>& presses);
// Local time, "2026-01-31 13:00:00 CET".
std::string LocalTime(std::time_t when);
} // namespace report
