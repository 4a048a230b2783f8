// An IP helper module with GetAdaptersInfo only: one Ethernet adapter with DHCP.
#include "iptypes.h"

#include <cstdio>
#include <cstring>

extern "C" __attribute__((visibility("default"))) DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size)
{
    if (info == nullptr || *size < sizeof(IP_ADAPTER_INFO))
    {
        *size = sizeof(IP_ADAPTER_INFO);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->Description, sizeof info->Description, "%s", "Substitute Ethernet");
    info->Index = 2;
    info->Type = MIB_IF_TYPE_ETHERNET;
    info->DhcpEnabled = 1;
    std::snprintf(info->DhcpServer.IpAddress.String, 16, "%s", "10.0.0.1");
    std::snprintf(info->IpAddressList.IpAddress.String, 16, "%s", "10.0.0.9");
    std::snprintf(info->IpAddressList.IpMask.String, 16, "%s", "255.0.0.0");
    std::snprintf(info->GatewayList.IpAddress.String, 16, "%s", "10.0.0.1");
    return ERROR_SUCCESS;
}
