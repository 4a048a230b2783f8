#include "nova_api.h"

#include "wintime.h"
#include "winuser.h"

#include <cstring>

const char* const g_novaDevelopmentKey = "KESTAVANE NOVA DEVKEY1";
bool g_novaIpWindowVisible = false;

namespace
{
void NovaEventCallback(int32_t, int32_t) {}

BOOL EnumNovaIpWindowProc(HWND window, LPARAM)
{
    char className[256];
    std::memset(className, 0, sizeof className);
    if (GetClassNameA(window, className, 255) > 0 && std::strcmp(className, "TNOVA_IP") == 0 &&
        IsWindow(window) && IsWindowVisible(window))
        g_novaIpWindowVisible = true;
    return TRUE;
}
} // namespace

CNovaApi::CNovaApi()
    : m_errorText{}, m_pConnect(nullptr), m_pDebugMode(nullptr), m_pDisconnect(nullptr),
      m_pGetIPInterface(nullptr), m_pGetLastError(nullptr), m_pGetParam(nullptr), m_pSendRequest(nullptr),
      m_pSetIPInterface(nullptr), m_pSetParam(nullptr), m_ipInterface{}
{
    if (!m_hModule.Load("NOVA_API.DLL"))
        return;
    m_pConnect = m_hModule.Proc<NOVA_CONNECT_FN>("Connect");
    m_pDebugMode = m_hModule.Proc<NOVA_DEBUG_MODE_FN>("DebugMode");
    m_pDisconnect = m_hModule.Proc<NOVA_DISCONNECT_FN>("Disconnect");
    m_pGetIPInterface = m_hModule.Proc<NOVA_GET_IP_INTERFACE_FN>("GetIPInterface");
    m_pGetLastError = m_hModule.Proc<NOVA_GET_LAST_ERROR_FN>("GetLastError");
    m_pGetParam = m_hModule.Proc<NOVA_GET_PARAM_FN>("GetParam");
    m_pSendRequest = m_hModule.Proc<NOVA_SEND_REQUEST_FN>("SendRequest");
    m_pSetIPInterface = m_hModule.Proc<NOVA_SET_IP_INTERFACE_FN>("SetIPInterface");
    m_pSetParam = m_hModule.Proc<NOVA_SET_PARAM_FN>("SetParam");
    if (m_pGetIPInterface)
        m_pGetIPInterface(m_ipInterface);
}

CNovaApi::~CNovaApi()
{
    if (!m_hModule)
        return;
    // Withdraw the notification function before the library goes.
    if (m_pSetParam)
    {
        const int32_t zero = 0;
        int32_t size = sizeof zero;
        m_pSetParam(8, &zero, &size);
        const NovaEventCallbackFn none = nullptr;
        size = sizeof none;
        m_pSetParam(9, &none, &size);
    }
    m_pConnect = nullptr;
    m_pDebugMode = nullptr;
    m_pDisconnect = nullptr;
    m_pGetIPInterface = nullptr;
    m_pGetLastError = nullptr;
    m_pGetParam = nullptr;
    m_pSendRequest = nullptr;
    m_pSetIPInterface = nullptr;
    m_pSetParam = nullptr;
    m_hModule.Reset();
}

bool CNovaApi::Configure(std::string& errorText)
{
    if (!m_hModule)
    {
        errorText = "NOVA API DLL Not Loaded!";
        return false;
    }
    char key[64];
    std::strncpy(key, g_novaDevelopmentKey, sizeof key - 1);
    key[sizeof key - 1] = '\0';

    const NovaEventCallbackFn callback = NovaEventCallback;
    int32_t size = sizeof callback;
    if (m_pSetParam && m_pSetParam(9, &callback, &size) != 0)
    {
        if (m_pDebugMode)
            m_pDebugMode(1);
        size = static_cast<int32_t>(std::strlen(key));
        if (m_pSetParam(10, key, &size) != 0)
            return true;
    }
    errorText = GetLastErrorText();
    return false;
}

int32_t CNovaApi::Connect() { return m_pConnect ? m_pConnect() : 0; }

int32_t CNovaApi::Disconnect() { return m_pDisconnect ? m_pDisconnect() : 0; }

const char* CNovaApi::GetLastErrorText()
{
    if (m_pGetLastError)
    {
        unsigned char buffer[NOVA_ERROR_BUFFER_SIZE];
        std::memset(buffer, 0, sizeof buffer);
        m_pGetLastError(buffer);
        // A length byte past the buffer would read beyond it: the text is cut to what fits.
        size_t length = buffer[0];
        if (length > NOVA_ERROR_BUFFER_SIZE - 1)
            length = NOVA_ERROR_BUFFER_SIZE - 1;
        std::memcpy(m_errorText, buffer + 1, length);
        m_errorText[length] = '\0';
    }
    else
        std::strcpy(m_errorText, "Function not found in DLL!");
    return m_errorText;
}

bool RunNovaApiTest(CHistoryOwner* owner)
{
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    owner->EnableWindow(false);
    AddToHistory(owner, "%s", kPlainSeparator);
    AddToHistory(owner, "Attempting NOVA API...");

    CNovaApi api;
    std::string errorText;
    bool connected = false;
    if (!api.Configure(errorText))
    {
        AddToHistory(owner, "Error -- %s", errorText.c_str());
        AddToHistory(owner, " TEST FAILED. ");
    }
    else if (api.Connect() != 0)
    {
        api.Disconnect();
        AddToHistory(owner, "Connection Closed -- TEST SUCCESSFUL. ");
        connected = true;
    }
    else
    {
        AddToHistory(owner, "Error -- %s", api.GetLastErrorText());
        AddToHistory(owner, " TEST FAILED. ");
    }

    // The library's own window may still be shown: keep its messages flowing
    // until it goes, and only then unload the library.
    for (;;)
    {
        HWND main = FindWindowA("TfrmMain", nullptr);
        if (main == nullptr)
            break;
        g_novaIpWindowVisible = false;
        EnumChildWindows(main, EnumNovaIpWindowProc, 0);
        if (!g_novaIpWindowVisible)
            break;
        owner->PumpMessages();
        ::Sleep(1);
    }
    owner->EnableWindow(true);
    owner->SetFocus();
    return connected;
}
