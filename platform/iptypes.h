// The IP helper's published records, with 32-bit DWORDs and the platform's
// pointers (704 and 64 bytes on x86-64).
#pragma once

#include "windef.h"

constexpr int MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr int MAX_ADAPTER_NAME_LENGTH = 256;
constexpr int MAX_ADAPTER_ADDRESS_LENGTH = 8;
constexpr UINT MIB_IF_TYPE_OTHER = 1;
constexpr UINT MIB_IF_TYPE_ETHERNET = 6;
constexpr UINT MIB_IF_TYPE_PPP = 23;
constexpr UINT MIB_IF_TYPE_LOOPBACK = 24;
constexpr UINT IF_TYPE_IEEE80211 = 71;
constexpr UINT IF_TYPE_TUNNEL = 131;
constexpr DWORD ERROR_NO_DATA = 232;

struct IP_ADDRESS_STRING
{
    char String[16];
};
typedef IP_ADDRESS_STRING IP_MASK_STRING;

struct IP_ADDR_STRING
{
    IP_ADDR_STRING* Next;
    IP_ADDRESS_STRING IpAddress;
    IP_MASK_STRING IpMask;
    DWORD Context;
};

struct IP_ADAPTER_INFO
{
    IP_ADAPTER_INFO* Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    IP_ADDR_STRING* CurrentIpAddress;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
    IP_ADDR_STRING DhcpServer;
    BOOL HaveWins;
    IP_ADDR_STRING PrimaryWinsServer;
    IP_ADDR_STRING SecondaryWinsServer;
    int64_t LeaseObtained;
    int64_t LeaseExpires;
};

struct IP_PER_ADAPTER_INFO
{
    UINT AutoconfigEnabled;
    UINT AutoconfigActive;
    IP_ADDR_STRING* CurrentDnsServer;
    IP_ADDR_STRING DnsServerList;
};

typedef DWORD(WINAPI* GET_ADAPTERS_INFO_FN)(IP_ADAPTER_INFO* info, ULONG* size);
typedef DWORD(WINAPI* GET_PER_ADAPTER_INFO_FN)(ULONG index, IP_PER_ADAPTER_INFO* info, ULONG* size);
