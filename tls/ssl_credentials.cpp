#include "ssl_tester.h"

#include "version.h"

#include <cstring>

// The credentials belong to the handshake: a failure here is recorded as one of its.

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

    if (!m_hSecurityLib.Load(library))
    {
        Record(FailLine(TestStep::Handshake, Cause::ProviderMissing, static_cast<int32_t>(GetLastError()),
                        "Error 0x%x loading %s.", GetLastError(), library));
        return false;
    }
    const auto init = m_hSecurityLib.Proc<INIT_SECURITY_INTERFACE_A>("InitSecurityInterfaceA");
    if (init == nullptr)
    {
        Record(FailLine(TestStep::Handshake, Cause::ProviderMissing, static_cast<int32_t>(GetLastError()),
                        "Error 0x%x reading InitSecurityInterface entry point.", GetLastError()));
        return false;
    }
    m_pSecurityFunctions = init();
    if (m_pSecurityFunctions == nullptr)
    {
        Record(FailLine(TestStep::Handshake, Cause::ProviderMissing, static_cast<int32_t>(GetLastError()),
                        "Error 0x%x reading security interface.", GetLastError()));
        return false;
    }
    return true;
}

bool CSslTester::AcquireSchannelCredentials()
{
    SCHANNEL_CRED cred;
    std::memset(&cred, 0, sizeof cred);
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    // SSL 3.0 to TLS 1.2, client and server bits alike; neither PCT nor SSL 2.0.
    cred.grbitEnabledProtocols = SP_PROT_SSL3 | SP_PROT_TLS1 | SP_PROT_TLS1_1 | SP_PROT_TLS1_2;
    cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;

    char package[] = UNISP_NAME_A;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->AcquireCredentialsHandleA(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &m_hCredentials, &expiry);
    if (status != SEC_E_OK)
    {
        Record(FailLine(TestStep::Handshake, Cause::CredentialsRefused, status,
                        "**** Error 0x%x returned by AcquireCredentialsHandle",
                        static_cast<unsigned>(status)));
        return false;
    }
    return true;
}

bool CSslTester::CreateClientCredentials()
{
    // What an earlier Test on this object left goes first: never more than
    // one credentials handle and one library reference.
    ReleaseSecurity();
    if (!LoadSecurityLibrary())
        return false;
    if (!AcquireSchannelCredentials())
    {
        m_bCredentialsValid = false;
        m_pSecurityFunctions = nullptr;
        m_hSecurityLib.Reset();
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
    m_pSecurityFunctions = nullptr;
    m_hSecurityLib.Reset();
}
