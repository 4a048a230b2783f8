// The clock every wait of the testers consults: the millisecond tick counter
// that bounds a wait, a monotonic time for the steps' durations, and the one
// sleep of a waiting pass. The system's clock sleeps in a single poll of the
// socket until the event the wait expects or its deadline, so a silent peer
// costs no CPU. Tests put in a clock of their own that they advance.
#pragma once

#include "windef.h"
#include "ws2.h"

class CWaitClock
{
public:
    enum class Event
    {
        Connected, // a connect in progress completed or failed
        Readable   // bytes arrived, or the peer closed or reset
    };

    virtual ~CWaitClock() = default;
    // The 32-bit millisecond tick counter, wrapping as GetTickCount does.
    virtual DWORD Ticks() = 0;
    // Monotonic milliseconds for the records' step times.
    virtual double Milliseconds() = 0;
    // Sleeps until the socket shows the event or ms pass, whichever is first.
    // What the socket shows is read by the caller afterwards.
    virtual void Wait(ws2::SOCKET socket, Event event, DWORD ms) = 0;
};

// The installed clock, or the system's.
CWaitClock& WaitClock();
// Installs a clock for every wait from now on; null puts the system's back.
void SetWaitClock(CWaitClock* clock);
