// The IP helper module ("IpHlpApi.dll"): the adapter records of this PC,
// packed into the caller's one buffer with the published layouts.
#include "adapter_facts.h"
#include "iptypes.h"
#include "module_entry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
// A local service answers in milliseconds; all the questions of a report
// together get this long, and a service that has not answered by then is
// taken as absent.
constexpr uint64_t kBusBudgetUsec = 400 * 1000;
// A report calls in a row: the size, the records, each adapter's DNS servers.
// The bus is asked once for them all, and its view serves every call that
// follows the previous one within this.
constexpr uint64_t kReportGapUsec = 2 * 1000 * 1000;

std::mutex g_mutex;
std::string g_root = "";
std::string g_kernelFixture;
bool g_fixture = false;
bool g_useBus = true;
std::string g_busAddress; // empty: the system bus
iphelper::BusView g_bus;  // what the bus told this report
bool g_busAsked = false;
uint64_t g_reportEndUsec = 0;

// Called with g_mutex held.
const iphelper::BusView& BusOfThisReport()
{
    if (!g_useBus)
        g_bus = iphelper::BusView{};
    else if (!g_busAsked || iphelper::MonotonicUsec() >= g_reportEndUsec)
        g_bus = iphelper::QueryBus(g_busAddress, iphelper::CBusDeadline(kBusBudgetUsec));
    g_busAsked = true;
    g_reportEndUsec = iphelper::MonotonicUsec() + kReportGapUsec;
    return g_bus;
}

std::vector<iphelper::AdapterFacts> Snapshot()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto kernel = g_fixture ? iphelper::FixtureKernel(g_kernelFixture) : iphelper::NetlinkKernel();
    return iphelper::Collect(g_root, *kernel, BusOfThisReport());
}

void Put(IP_ADDR_STRING& slot, const std::string& address, const std::string& mask)
{
    std::snprintf(slot.IpAddress.String, sizeof slot.IpAddress.String, "%s", address.c_str());
    std::snprintf(slot.IpMask.String, sizeof slot.IpMask.String, "%s", mask.c_str());
}

void Copy(char* to, size_t size, const std::string& text)
{
    std::strncpy(to, text.c_str(), size - 1);
    to[size - 1] = '\0';
}
} // namespace

// Tests describe a PC: a folder standing for "/", and the kernel's addresses
// and routes as text (nullptr: the running kernel). A described PC has no bus
// until KvIpHelperSetBus gives it one; no root means this PC and its system bus.
KV_EXPORT void KvIpHelperSetSources(const char* root, const char* kernelFixture) noexcept
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_root = root ? root : "";
    g_fixture = kernelFixture != nullptr;
    g_kernelFixture = kernelFixture ? kernelFixture : "";
    g_useBus = root == nullptr;
    g_busAddress.clear();
    g_busAsked = false;
}

// The bus NetworkManager and systemd-resolved are asked on: nullptr for the
// system bus, "" for none, else a D-Bus address ("unix:path=...").
KV_EXPORT void KvIpHelperSetBus(const char* address) noexcept
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_useBus = address == nullptr || address[0] != '\0';
    g_busAddress = address ? address : "";
    g_busAsked = false;
}

namespace
{
DWORD AdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size)
{
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto adapters = Snapshot();
    if (adapters.empty())
        return ERROR_NO_DATA;
    uint64_t extra = 0;
    for (const auto& a : adapters)
        extra += a.addresses.size() > 1 ? a.addresses.size() - 1 : 0;
    const uint64_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (needed > UINT32_MAX)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (info == nullptr || *size < needed)
    {
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, static_cast<size_t>(needed));
    auto* pool = reinterpret_cast<IP_ADDR_STRING*>(info + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i)
    {
        const auto& a = adapters[i];
        IP_ADAPTER_INFO& r = info[i];
        r.Next = i + 1 < adapters.size() ? &info[i + 1] : nullptr;
        r.ComboIndex = static_cast<DWORD>(a.ifindex);
        Copy(r.AdapterName, sizeof r.AdapterName, a.name);
        Copy(r.Description, sizeof r.Description, a.description);
        r.AddressLength = static_cast<UINT>(a.mac.size());
        std::copy(a.mac.begin(), a.mac.end(), r.Address); // an empty address copies nothing
        r.Index = static_cast<DWORD>(a.ifindex);
        r.Type = a.type;
        r.DhcpEnabled = a.dhcpEnabled ? 1 : 0;
        if (a.addresses.empty())
            Put(r.IpAddressList, "0.0.0.0", "0.0.0.0");
        else
        {
            Put(r.IpAddressList, a.addresses[0].first, a.addresses[0].second);
            IP_ADDR_STRING* last = &r.IpAddressList;
            for (size_t k = 1; k < a.addresses.size(); ++k, ++pool)
            {
                Put(*pool, a.addresses[k].first, a.addresses[k].second);
                last->Next = pool;
                last = pool;
            }
        }
        Put(r.GatewayList, a.gateway.empty() ? "0.0.0.0" : a.gateway,
            a.gateway.empty() ? "0.0.0.0" : "255.255.255.255");
        Put(r.DhcpServer, a.dhcpServer, "");
        r.LeaseObtained = a.leaseObtained;
        r.LeaseExpires = a.leaseExpires;
        r.HaveWins = a.wins.empty() ? FALSE : TRUE;
        if (!a.wins.empty())
        {
            Put(r.PrimaryWinsServer, a.wins[0], "");
            Put(r.SecondaryWinsServer, a.wins.size() > 1 ? a.wins[1] : "", "");
        }
    }
    return ERROR_SUCCESS;
}

DWORD PerAdapterInfo(ULONG index, IP_PER_ADAPTER_INFO* info, ULONG* size)
{
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto adapters = Snapshot();
    const iphelper::AdapterFacts* adapter = nullptr;
    for (const auto& a : adapters)
        if (static_cast<ULONG>(a.ifindex) == index)
            adapter = &a;
    if (adapter == nullptr)
        return ERROR_NO_DATA;
    const size_t servers = adapter->dns.size();
    const ULONG needed = static_cast<ULONG>(sizeof(IP_PER_ADAPTER_INFO) +
                                            (servers > 1 ? servers - 1 : 0) * sizeof(IP_ADDR_STRING));
    if (info == nullptr || *size < needed)
    {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, needed);
    info->CurrentDnsServer = servers ? &info->DnsServerList : nullptr;
    auto* pool = reinterpret_cast<IP_ADDR_STRING*>(info + 1);
    IP_ADDR_STRING* last = &info->DnsServerList;
    for (size_t k = 0; k < servers; ++k)
    {
        IP_ADDR_STRING* slot = k == 0 ? &info->DnsServerList : pool++;
        Put(*slot, adapter->dns[k], "");
        if (k > 0)
        {
            last->Next = slot;
            last = slot;
        }
    }
    return ERROR_SUCCESS;
}
} // namespace

KV_EXPORT DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size)
{
    return GuardedEntry<AdaptersInfo, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_DATA>(info, size);
}

KV_EXPORT DWORD GetPerAdapterInfo(ULONG index, IP_PER_ADAPTER_INFO* info, ULONG* size)
{
    return GuardedEntry<PerAdapterInfo, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_DATA>(index, info, size);
}
