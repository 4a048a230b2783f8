#include "press.h"

void CPressClock::Wait(ws2::SOCKET socket, Event event, DWORD ms)
{
    bool cancelled;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        cancelled = m_bCancelled;
        if (!cancelled)
            m_waiting = socket;
    }
    if (cancelled)
    {
        m_skipped += ms;
        return;
    }
    m_base.Wait(socket, event, ms);
    std::lock_guard<std::mutex> lock(m_lock);
    m_waiting = ws2::INVALID_SOCKET;
}

void CPressClock::Cancel()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_bCancelled = true;
    // The tester closes the socket only after its wait returns: it is still open here.
    if (m_waiting != ws2::INVALID_SOCKET)
        ws2::shutdown(m_waiting, ws2::SD_BOTH);
}
