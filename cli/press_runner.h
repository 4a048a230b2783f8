// Button presses for `run`: one after another, or up to N at once on
// threads, each with its own tester, history and records; either way the
// presses come out whole and in the order they were asked for.
#pragma once

#include "catalogue.h"
#include "results.h"

#include <cstdio>
#include <functional>
#include <vector>

struct PressOutcome
{
    bool passed = false;
    std::vector<ResultRecord> records;
};

constexpr int kMinJobs = 1;
constexpr int kMaxJobs = 64;

// Runs the presses, jobs of them at once, writing each press's history
// lines to history (null: nowhere). With one job the lines are written as
// they come, exactly as a single press writes them; with more, a press's
// lines are held until it and every press before it are done. done(i, ...)
// is called on the calling thread, in order, right after press i's lines;
// when it returns false no further press starts, and those already running
// end before RunPresses returns. With everyAddress the records hold the test
// of every address of each name. A route sends the targets it names through
// their proxies.
void RunPresses(const std::vector<const ProcessorEntry*>& entries, int jobs, FILE* history,
                const std::function<bool(size_t index, PressOutcome& outcome)>& done,
                bool everyAddress = false, const CProxyRoute* route = nullptr);
