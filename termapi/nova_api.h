// Run-time binding to the processor's terminal API library, and its test.
#pragma once

#include "history.h"
#include "module_handle.h"
#include "nova_api_abi.h"
#include "windef.h"

#include <string>

// The key handed to the library as parameter 10.
extern const char* const g_novaDevelopmentKey;

class CNovaApi
{
public:
    CNovaApi();
    virtual ~CNovaApi();
    CNovaApi(const CNovaApi&) = delete;
    CNovaApi& operator=(const CNovaApi&) = delete;

    bool Configure(std::string& errorText);
    int32_t Connect();
    int32_t Disconnect();
    const char* GetLastErrorText();

private:
    CModuleHandle m_hModule;
    char m_errorText[NOVA_ERROR_BUFFER_SIZE];
    NOVA_CONNECT_FN m_pConnect;
    NOVA_DEBUG_MODE_FN m_pDebugMode;
    NOVA_DISCONNECT_FN m_pDisconnect;
    NOVA_GET_IP_INTERFACE_FN m_pGetIPInterface;
    NOVA_GET_LAST_ERROR_FN m_pGetLastError;
    NOVA_GET_PARAM_FN m_pGetParam;
    NOVA_SEND_REQUEST_FN m_pSendRequest;
    NOVA_SET_IP_INTERFACE_FN m_pSetIPInterface;
    NOVA_SET_PARAM_FN m_pSetParam;
    unsigned char m_ipInterface[NOVA_IP_INTERFACE_SIZE];
};

// The "ELAVON-NOVA (Term)" button. True when the library connected.
bool RunNovaApiTest(CHistoryOwner* owner);

// Set by the window enumeration: a visible "TNOVA_IP" window was met.
extern bool g_novaIpWindowVisible;
