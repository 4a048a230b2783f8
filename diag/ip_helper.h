// This PC's own network set-up: the adapter report and the DNS and DHCP
// checks, through the IP helper library loaded at run time.
#pragma once

#include "history.h"
#include "iptypes.h"
#include "module_handle.h"

// The IP helper library, bound for one press: loaded and looked up when
// built (its progress written through the owner), freed when it goes.
class CIpHelperApi
{
public:
    explicit CIpHelperApi(CHistoryOwner* owner);
    ~CIpHelperApi();
    CIpHelperApi(const CIpHelperApi&) = delete;
    CIpHelperApi& operator=(const CIpHelperApi&) = delete;

    // True exactly when the entry was found.
    bool HasAdaptersInfo() const { return m_bAdaptersInfo; }
    bool HasPerAdapterInfo() const { return m_bPerAdapterInfo; }
    // Calls through the library's entries; only when the matching Has... is true.
    DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) const { return m_pGetAdaptersInfo(info, size); }
    DWORD GetPerAdapterInfo(ULONG index, IP_PER_ADAPTER_INFO* info, ULONG* size) const
    {
        return m_pGetPerAdapterInfo(index, info, size);
    }

private:
    bool m_bAdaptersInfo = false;
    bool m_bPerAdapterInfo = false;
    CModuleHandle m_hLibrary;
    CHistoryOwner* m_pOwner;
    GET_ADAPTERS_INFO_FN m_pGetAdaptersInfo = nullptr;
    GET_PER_ADAPTER_INFO_FN m_pGetPerAdapterInfo = nullptr;
};

// The "THIS PC", "Check DNS" and "Check DHCP" buttons.
void RunThisPc(CHistoryOwner* owner);
// True for a SUCCESS verdict.
bool RunCheckDns(CHistoryOwner* owner);
bool RunCheckDhcp(CHistoryOwner* owner);
