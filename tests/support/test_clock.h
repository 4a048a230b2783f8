// A wait clock for tests, installed while it lives. Time moves only while a
// wait finds its socket quiet: such a wait looks at the real socket for at
// most realPollMs, then counts as having slept all it was asked to. So a
// silent peer's time-out comes at once, and the time that passed is exactly
// the bound the code under test waited for; no test times the machine. A
// hook sees every wait, with its socket, before it sleeps.
#pragma once

#include "wait_clock.h"

#include <algorithm>
#include <functional>
#include <poll.h>

class CTestClock : public CWaitClock
{
public:
    explicit CTestClock(DWORD startTicks = 1000, int realPollMs = 200)
        : m_ticks(startTicks), m_realPollMs(realPollMs)
    {
        SetWaitClock(this);
    }
    ~CTestClock() override { SetWaitClock(nullptr); }
    CTestClock(const CTestClock&) = delete;
    CTestClock& operator=(const CTestClock&) = delete;

    DWORD Ticks() override { return m_ticks; }
    double Milliseconds() override { return static_cast<double>(m_moved); }
    void Wait(ws2::SOCKET socket, Event event, DWORD ms) override
    {
        ++m_waits;
        if (onWait)
            onWait(socket, event);
        const int fd = socket > 0x7FFFFFFF ? -1 : static_cast<int>(socket);
        pollfd p{fd, static_cast<short>(event == Event::Readable ? POLLIN : POLLOUT), 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::min<DWORD>(ms, static_cast<DWORD>(m_realPollMs))));
        Advance(ready > 0 ? readyStepMs : ms);
    }

    void Advance(DWORD ms)
    {
        m_ticks += ms;
        m_moved += ms;
    }
    // Milliseconds the clock moved since it was made.
    uint64_t Moved() const { return m_moved; }
    int Waits() const { return m_waits; }

    std::function<void(ws2::SOCKET, Event)> onWait;
    // What a wait that found its socket ready costs (0: nothing).
    DWORD readyStepMs = 0;

private:
    DWORD m_ticks;
    int m_realPollMs;
    uint64_t m_moved = 0;
    int m_waits = 0;
};
