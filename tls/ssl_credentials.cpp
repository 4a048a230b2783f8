#include "ssl_tester.h"

#include "module.h"
#include "version.h"

#include <cstring>

bool CSslTester::LoadSecurityLibrary()
{
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return false;

    const char* library;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        library = info.dwMajorVersion == 4 ? "Security.dll" : "Secur32.dll";
    else if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        library = "Secur32.dll";
    else
        return false;

    m_hSecurityLib = LoadLibraryA(library);
    if (m_hSecurityLib == nullptr)
    {
        AddToHistory(m_pOwner, "Error 0x%x loading %s.", GetLastError(), library);
        return false;
    }
    auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(GetProcAddress(m_hSecurityLib, "InitSecurityInterfaceA"));
    if (init == nullptr)
    {
        AddToHistory(m_pOwner, "Error 0x%x reading InitSecurityInterface entry point.", GetLastError());
        return false;
    }
    m_pSecurityFunctions = init();
    if (m_pSecurityFunctions == nullptr)
    {
        AddToHistory(m_pOwner, "Error 0x%x reading security interface.", GetLastError());
        return false;
    }
    return true;
}

bool CSslTester::AcquireSchannelCredentials()
{
    SCHANNEL_CRED cred;
    std::memset(&cred, 0, sizeof cred);
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = 0xFF0;
    cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;

    char package[] = UNISP_NAME_A;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->AcquireCredentialsHandleA(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &m_hCredentials, &expiry);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "**** Error 0x%x returned by AcquireCredentialsHandle", static_cast<unsigned>(status));
        return false;
    }
    return true;
}

bool CSslTester::CreateClientCredentials()
{
    ReleaseSecurity();
    if (!LoadSecurityLibrary())
        return false;
    if (!AcquireSchannelCredentials())
    {
        m_bCredentialsValid = false;
        if (m_hSecurityLib)
        {
            FreeLibrary(m_hSecurityLib);
            m_hSecurityLib = nullptr;
            m_pSecurityFunctions = nullptr;
        }
        return false;
    }
    m_bCredentialsValid = true;
    return true;
}

void CSslTester::ReleaseSecurity()
{
    if (m_bContextValid && m_pSecurityFunctions)
        m_pSecurityFunctions->DeleteSecurityContext(&m_hContext);
    m_bContextValid = false;
    if (m_bCredentialsValid && m_pSecurityFunctions)
        m_pSecurityFunctions->FreeCredentialsHandle(&m_hCredentials);
    m_bCredentialsValid = false;
    if (m_hSecurityLib)
    {
        FreeLibrary(m_hSecurityLib);
        m_hSecurityLib = nullptr;
    }
    m_pSecurityFunctions = nullptr;
}
