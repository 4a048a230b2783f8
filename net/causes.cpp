#include "causes.h"

#include "ws2.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace
{
std::mutex g_rootMutex;
std::string g_root;

std::vector<std::string> Nameservers(const std::string& path)
{
    std::vector<std::string> servers;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
    {
        std::istringstream words(line);
        std::string key, value;
        words >> key >> value;
        if (key == "nameserver" && !value.empty())
            servers.push_back(value);
    }
    return servers;
}

bool IsLocalStub(const std::string& server) { return server == "127.0.0.53" || server == "127.0.0.54"; }
} // namespace

void SetDnsConfigRoot(const std::string& root)
{
    std::lock_guard<std::mutex> lock(g_rootMutex);
    g_root = root;
}

int ConfiguredDnsServers()
{
    std::string root;
    {
        std::lock_guard<std::mutex> lock(g_rootMutex);
        root = g_root;
    }
    int count = 0;
    bool stub = false;
    for (const auto& server : Nameservers(root + "/etc/resolv.conf"))
    {
        if (IsLocalStub(server))
            stub = true;
        else
            ++count;
    }
    if (count == 0 && stub)
        for (const char* file :
             {"/run/systemd/resolve/resolv.conf", "/run/NetworkManager/no-stub-resolv.conf"})
        {
            for (const auto& server : Nameservers(root + file))
                count += IsLocalStub(server) ? 0 : 1;
            if (count > 0)
                break;
        }
    return count;
}

Cause LookupCause(int wsaError)
{
    switch (wsaError)
    {
    case ws2::WSAHOST_NOT_FOUND:
    case ws2::WSANO_DATA: return Cause::NameNotFound;
    case ws2::WSATRY_AGAIN: return ConfiguredDnsServers() == 0 ? Cause::NoDnsServer : Cause::DnsNoAnswer;
    default: return Cause::ResolveFailed;
    }
}

Cause ConnectCause(int wsaError)
{
    switch (wsaError)
    {
    case ws2::WSAECONNREFUSED: return Cause::Refused;
    case ws2::WSAETIMEDOUT: return Cause::TimedOut;
    case ws2::WSAENETUNREACH:
    case ws2::WSAEHOSTUNREACH:
    case ws2::WSAENETDOWN:
    case ws2::WSAEHOSTDOWN: return Cause::Unreachable;
    case ws2::WSAECONNRESET:
    case ws2::WSAECONNABORTED:
    case ws2::WSAENETRESET: return Cause::Reset;
    default: return Cause::ConnectFailed;
    }
}
