// One press of the window, run on a worker thread with what it needs passed
// in: the owner its lines go to, the clock that bounds its waits, and the
// catalogue its button is looked up in. Nothing of a press is process-wide.
#pragma once

#include "catalogue.h"
#include "wait_clock.h"

#include <atomic>
#include <mutex>

// The wait clock of one press: the installed clock's time until the press is
// cancelled. Cancelling shuts down the socket a wait sleeps on, so that wait
// ends at once; from then on every wait counts as having slept its whole
// bound without sleeping, so each bounded wait ends at its next check.
class CPressClock : public CWaitClock
{
public:
    explicit CPressClock(CWaitClock& base) : m_base(base) {}

    DWORD Ticks() override { return m_base.Ticks() + m_skipped.load(); }
    double Milliseconds() override { return m_base.Milliseconds(); }
    void Wait(ws2::SOCKET socket, Event event, DWORD ms) override;

    // From any thread.
    void Cancel();
    bool Cancelled() const { return m_bCancelled.load(); }

private:
    CWaitClock& m_base;
    std::mutex m_lock;
    ws2::SOCKET m_waiting = ws2::INVALID_SOCKET; // the socket a wait sleeps on
    std::atomic<bool> m_bCancelled{false};
    std::atomic<DWORD> m_skipped{0};
};

struct PressContext
{
    CHistoryOwner* owner;
    CPressClock* clock;     // also the owner's clock while the press runs
    CatalogueRef catalogue; // the catalogue in effect when the press started
};
