#include "press_runner.h"

#include "console_owner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace
{
void RunInTurn(const std::vector<const ProcessorEntry*>& entries, FILE* history,
               const std::function<bool(size_t, PressOutcome&)>& done, bool everyAddress,
               const CProxyRoute* route)
{
    // One owner for the whole run, as a single press writes through one.
    CConsoleHistoryOwner owner(history);
    owner.SetProxyRoute(route);
    for (size_t i = 0; i < entries.size(); ++i)
    {
        CCollectingSink sink;
        sink.everyAddress = everyAddress;
        owner.SetResultSink(&sink);
        PressOutcome outcome;
        outcome.passed = RunProcessorEntry(&owner, *entries[i]);
        owner.SetResultSink(nullptr);
        outcome.records = sink.Take();
        if (!done(i, outcome))
            return;
    }
}

// A press's history lines, held in memory until its turn to be written.
struct HeldPress
{
    PressOutcome outcome;
    std::string lines;
    bool finished = false;
};

void RunOnePress(const ProcessorEntry& entry, bool keepLines, bool everyAddress, const CProxyRoute* route,
                 HeldPress& held)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* buffer = keepLines ? ::open_memstream(&text, &size) : nullptr;
    {
        CConsoleHistoryOwner owner(buffer);
        owner.SetProxyRoute(route);
        CCollectingSink sink;
        sink.everyAddress = everyAddress;
        owner.SetResultSink(&sink);
        held.outcome.passed = RunProcessorEntry(&owner, entry);
        owner.SetResultSink(nullptr);
        held.outcome.records = sink.Take();
    }
    if (buffer != nullptr)
    {
        std::fclose(buffer);
        held.lines.assign(text, size);
        std::free(text);
    }
}
} // namespace

void RunPresses(const std::vector<const ProcessorEntry*>& entries, int jobs, FILE* history,
                const std::function<bool(size_t index, PressOutcome& outcome)>& done, bool everyAddress,
                const CProxyRoute* route)
{
    const size_t workers =
        std::min(static_cast<size_t>(std::clamp(jobs, kMinJobs, kMaxJobs)), entries.size());
    if (workers <= 1)
    {
        RunInTurn(entries, history, done, everyAddress, route);
        return;
    }

    std::vector<HeldPress> held(entries.size());
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::thread> threads;
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < entries.size();)
        {
            RunOnePress(*entries[i], history != nullptr, everyAddress, route, held[i]);
            std::lock_guard<std::mutex> lock(mutex);
            held[i].finished = true;
            finished.notify_all();
        }
    };
    // Fewer threads than asked for when the system refuses more; none, and
    // this thread does the work before writing anything.
    try
    {
        while (threads.size() < workers)
            threads.emplace_back(work);
    }
    catch (const std::system_error&)
    {}
    if (threads.empty())
        work();

    for (size_t i = 0; i < held.size(); ++i)
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return held[i].finished; });
        }
        if (history != nullptr)
        {
            std::fwrite(held[i].lines.data(), 1, held[i].lines.size(), history);
            std::fflush(history);
            std::string().swap(held[i].lines);
        }
        if (!done(i, held[i].outcome))
        {
            next = entries.size(); // the presses not yet taken stay untaken
            break;
        }
    }
    for (auto& thread : threads)
        thread.join();
}
