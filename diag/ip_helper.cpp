#include "ip_helper.h"

#include "app_flags.h"
#include "module.h"

#include <cstdlib>
#include <memory>

namespace
{
struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Buffer = std::unique_ptr<T, FreeDeleter>;

// The first buffers hold one record each in the 32-bit layout; a larger
// list comes through the size written back.
constexpr ULONG kFirstAdaptersBufferSize = 640;
constexpr ULONG kFirstPerAdapterBufferSize = 52;

// A first call into a buffer of the first size, a new buffer of the size
// written back after 111, and a second call whose result alone counts.
template <typename T, typename Call> Buffer<T> Fetch(ULONG firstSize, Call call, bool* ok)
{
    ULONG size = firstSize;
    Buffer<T> buffer(static_cast<T*>(std::calloc(1, size)));
    if (call(buffer.get(), &size) == ERROR_BUFFER_OVERFLOW)
        buffer.reset(static_cast<T*>(std::calloc(1, size ? size : 1)));
    *ok = buffer && call(buffer.get(), &size) == ERROR_SUCCESS;
    return buffer;
}

Buffer<IP_ADAPTER_INFO> FetchAdapters(CIpHelperApi& api, bool* ok)
{
    return Fetch<IP_ADAPTER_INFO>(
        kFirstAdaptersBufferSize, [&](IP_ADAPTER_INFO* b, ULONG* s) { return api.GetAdaptersInfo(b, s); },
        ok);
}

Buffer<IP_PER_ADAPTER_INFO> FetchDns(CIpHelperApi& api, DWORD index, bool* ok)
{
    return Fetch<IP_PER_ADAPTER_INFO>(
        kFirstPerAdapterBufferSize,
        [&](IP_PER_ADAPTER_INFO* b, ULONG* s) { return api.GetPerAdapterInfo(index, b, s); }, ok);
}

void Line(CHistoryOwner* owner, const char* label, const char* value)
{
    AddToHistory(owner, "%-30s%s", label, value);
}

// "Current DNS:" and the list; true when an address was seen.
bool DnsLines(CHistoryOwner* owner, CIpHelperApi& api, DWORD index)
{
    bool ok = false;
    auto dns = FetchDns(api, index, &ok);
    if (!ok)
        return false;
    bool seen = false;
    Line(owner, "Current DNS:", dns->DnsServerList.IpAddress.String);
    for (const IP_ADDR_STRING* entry = &dns->DnsServerList; entry; entry = entry->Next)
    {
        Line(owner, "DNS List Entry:", entry->IpAddress.String);
        seen = seen || entry->IpAddress.String[0] != '\0';
    }
    return seen;
}

const char* const kNoAdapter = "FAILURE - Failed to find an Ethernet Adapter!";
const char* const kNoController = "FAILURE - Failed to Find an Ethernet Controller!";
} // namespace

CIpHelperApi::CIpHelperApi(CHistoryOwner* owner) : m_pOwner(owner)
{
    AddToHistory(m_pOwner, "Loading IpHlpApi.dll...");
    if (!m_hLibrary.Load("IpHlpApi.dll"))
    {
        AddToHistory(m_pOwner, "FAILED Unable to load IpHlpApi.dll. Cannot Continue!");
        return;
    }
    m_pGetAdaptersInfo = m_hLibrary.Proc<GET_ADAPTERS_INFO_FN>("GetAdaptersInfo");
    if (m_pGetAdaptersInfo == nullptr)
    {
        AddToHistory(m_pOwner, "Unable to find ProcAddress of GetAdaptersInfo(...) Cannot Continue!");
        return;
    }
    m_bAdaptersInfo = true;
    m_pGetPerAdapterInfo = m_hLibrary.Proc<GET_PER_ADAPTER_INFO_FN>("GetPerAdapterInfo");
    if (m_pGetPerAdapterInfo == nullptr)
    {
        AddToHistory(m_pOwner, "Unable to find ProcAddress of GetPerAdapterInfo(...)");
        if (IsWin9x)
            AddToHistory(m_pOwner, "*** WIN9X *** Continuing with limited functionality...");
        else
            AddToHistory(m_pOwner, "Continuing with limited functionality...");
        return;
    }
    m_bPerAdapterInfo = true;
}

CIpHelperApi::~CIpHelperApi()
{
    if (m_hLibrary)
        AddToHistory(m_pOwner, "UnLoading IpHlpApi.dll..."); // the handle frees it after this line
}

void RunThisPc(CHistoryOwner* owner)
{
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    AddToHistory(owner, "%s", kPlainSeparator);
    CIpHelperApi api(owner);
    if (!api.HasAdaptersInfo())
        return;
    AddToHistory(owner, "Attempting to Read Ip Configuration...");
    bool ok = false;
    auto adapters = FetchAdapters(api, &ok);
    if (!ok)
    {
        AddToHistory(owner, " Failed to find an Ethernet Adapter!");
        return;
    }
    bool found = false;
    for (const IP_ADAPTER_INFO* a = adapters.get(); a; a = a->Next)
    {
        if (a->Type != MIB_IF_TYPE_ETHERNET)
            continue;
        found = true;
        Line(owner, "Found Ethernet Adapter :", a->Description);
        Line(owner, "DHCP Enabled :", a->DhcpEnabled ? "Yes" : "No");
        if (a->DhcpEnabled)
            Line(owner, "DHCP Server :", a->DhcpServer.IpAddress.String);
        Line(owner, "IpAddress :", a->IpAddressList.IpAddress.String);
        Line(owner, "Subnet Mask :", a->IpAddressList.IpMask.String);
        Line(owner, "Default Gateway:", a->GatewayList.IpAddress.String);
        if (a->HaveWins)
        {
            Line(owner, "Primary WINS Server :", a->PrimaryWinsServer.IpAddress.String);
            Line(owner, "Secondary WINS Server :", a->SecondaryWinsServer.IpAddress.String);
        }
        if (api.HasPerAdapterInfo())
            DnsLines(owner, api, a->Index);
    }
    if (!found)
        AddToHistory(owner, " Failed to find an Ethernet Adapter!");
}

namespace
{
struct CheckTexts
{
    const char* attempting;
    const char* success;
    const char* failure;
};

// The frame, binding and adapter walk both checks share; `visit` writes an
// adapter's lines and tells whether it saw what the check looks for. The
// verdict box is shown while the frame is still open.
template <typename Visit> bool RunCheck(CHistoryOwner* owner, const CheckTexts& texts, Visit visit)
{
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    AddToHistory(owner, "%s", kPlainSeparator);
    CIpHelperApi api(owner);
    if (!api.HasAdaptersInfo())
        return false;
    AddToHistory(owner, "%s", texts.attempting);
    bool ok = false;
    auto adapters = FetchAdapters(api, &ok);
    bool found = false, seen = false;
    for (const IP_ADAPTER_INFO* a = ok ? adapters.get() : nullptr; a; a = a->Next)
    {
        if (a->Type != MIB_IF_TYPE_ETHERNET)
            continue;
        found = true;
        Line(owner, "Found Ethernet Adapter :", a->Description);
        if (visit(api, *a))
            seen = true;
    }
    if (!found)
    {
        AddToHistory(owner, "%s", kNoAdapter);
        owner->MessageBox(kNoController, MB_OK);
    }
    else
        owner->MessageBox(seen ? texts.success : texts.failure, MB_OK);
    return found && seen; // the buffer goes after the box closes
}
} // namespace

bool RunCheckDns(CHistoryOwner* owner)
{
    const CheckTexts texts{
        "Attempting to Determine DNS Configuration...",
        "SUCCESS ... It appears there are configured DNS Servers....",
        IsWin9x
            ? "FAILURE It appears there are no configured DNS Servers....\r\nNOTE: This in NOT a reliable "
              "test "
              "under WIN9X platforms.\r\nUse 'THIS PC' Button for more information."
            : "FAILURE It appears there are no configured DNS Servers....\r\nUse 'THIS PC' Button for more "
              "information."};
    return RunCheck(owner, texts, [owner](CIpHelperApi& api, const IP_ADAPTER_INFO& a) {
        return api.HasPerAdapterInfo() && DnsLines(owner, api, a.Index);
    });
}

bool RunCheckDhcp(CHistoryOwner* owner)
{
    const CheckTexts texts{
        "Attempting to Determine DHCP Configuration...", "SUCCESS ... It appears DHCP is Configured....",
        "FAILURE - It appears there are no (Configured) DHCP Services....\r\nUse 'THIS PC' Button "
        "for more information."};
    return RunCheck(owner, texts, [owner](CIpHelperApi&, const IP_ADAPTER_INFO& a) {
        Line(owner, "DHCP Enabled :", a.DhcpEnabled ? "Yes" : "No");
        if (!a.DhcpEnabled)
            return false;
        Line(owner, "DHCP Server :", a.DhcpServer.IpAddress.String);
        return a.DhcpServer.IpAddress.String[0] != '\0';
    });
}
