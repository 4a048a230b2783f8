// This PC's own network set-up: the adapter report and the DNS and DHCP
// checks, through the IP helper library loaded at run time.
#pragma once

#include "history.h"
#include "iptypes.h"

class CIpHelperApi
{
public:
    explicit CIpHelperApi(CHistoryOwner* owner);
    ~CIpHelperApi();
    CIpHelperApi(const CIpHelperApi&) = delete;
    CIpHelperApi& operator=(const CIpHelperApi&) = delete;

    bool m_bAdaptersInfo;
    bool m_bPerAdapterInfo;
    HMODULE m_hLibrary;
    CHistoryOwner* m_pOwner;
    GET_ADAPTERS_INFO_FN m_pGetAdaptersInfo;
    GET_PER_ADAPTER_INFO_FN m_pGetPerAdapterInfo;
};

// The "THIS PC", "Check DNS" and "Check DHCP" buttons.
void RunThisPc(CHistoryOwner* owner);
// True for a SUCCESS verdict.
bool RunCheckDns(CHistoryOwner* owner);
bool RunCheckDhcp(CHistoryOwner* owner);
