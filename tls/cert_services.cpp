#include "cert_services.h"

#include <atomic>

namespace
{
const CertChainServices g_platform;
std::atomic<const CertChainServices*> g_installed{nullptr};
} // namespace

const CertChainServices& ChainServices()
{
    const CertChainServices* services = g_installed.load();
    return services ? *services : g_platform;
}

void SetChainServices(const CertChainServices* services) { g_installed.store(services); }
