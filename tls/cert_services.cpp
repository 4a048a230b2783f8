#include "cert_services.h"

#include "cryptnet.h"
#include "wait_clock.h"

#include <atomic>

namespace
{
const CertChainServices g_platform;
std::atomic<const CertChainServices*> g_installed{nullptr};

// A missing issuer's fetch waits on the testers' clock like every other wait.
DWORD FetchTicks(void*) { return WaitClock().Ticks(); }

void FetchWait(void*, int socket, BOOL connecting, DWORD ms)
{
    WaitClock().Wait(socket < 0 ? ws2::INVALID_SOCKET : static_cast<ws2::SOCKET>(socket),
                     connecting ? CWaitClock::Event::Connected : CWaitClock::Event::Readable, ms);
}

const CRYPTNET_WAIT kTestersClock{nullptr, FetchTicks, FetchWait};
} // namespace

const CertChainServices& ChainServices()
{
    static const bool waitsOnTheTestersClock = (platform::SetIssuerFetchWait(&kTestersClock), true);
    (void)waitsOnTheTestersClock;
    const CertChainServices* services = g_installed.load();
    return services ? *services : g_platform;
}

void SetChainServices(const CertChainServices* services) { g_installed.store(services); }
