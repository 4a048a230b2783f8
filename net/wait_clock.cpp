#include "wait_clock.h"

#include "wintime.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace
{
class CSystemClock : public CWaitClock
{
public:
    DWORD Ticks() override { return GetTickCount(); }
    double Milliseconds() override
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Wait(ws2::SOCKET socket, Event event, DWORD ms) override
    {
        // A pass is bounded anyway; this keeps the poll's time-out in range.
        ms = std::min<DWORD>(ms, 24u * 3600u * 1000u);
        ws2::fd_set ready, failed;
        ws2::FdZero(&ready);
        ws2::FdZero(&failed);
        ws2::FdSet(socket, &ready);
        ws2::FdSet(socket, &failed);
        const ws2::timeval timeout{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        const int result = event == Event::Readable ? ws2::select(-1, &ready, nullptr, nullptr, &timeout)
                                                    : ws2::select(-1, nullptr, &ready, &failed, &timeout);
        // A socket that cannot be polled still costs a pass its millisecond,
        // so a caller's loop never spins.
        if (result == ws2::SOCKET_ERROR)
            ::Sleep(1);
    }
};

CSystemClock g_system;
std::atomic<CWaitClock*> g_installed{nullptr};
} // namespace

CWaitClock& WaitClock()
{
    CWaitClock* clock = g_installed.load();
    return clock ? *clock : g_system;
}

void SetWaitClock(CWaitClock* clock) { g_installed.store(clock); }
