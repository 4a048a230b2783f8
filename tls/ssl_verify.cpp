#include "ssl_tester.h"

#include "winbase.h"

std::string CSslTester::GetCertErrorText(DWORD error)
{
    switch (error)
    {
    case CERT_E_EXPIRED: return "SSL Certificate is Expired.";
    case CERT_E_VALIDITYPERIODNESTING: return "CERT_E_VALIDITYPERIODNESTING";
    case CERT_E_ROLE: return "CERT_E_ROLE";
    case CERT_E_PATHLENCONST: return "CERT_E_PATHLENCONST";
    case CERT_E_CRITICAL: return "CERT_E_CRITICAL";
    case CERT_E_PURPOSE: return "CERT_E_PURPOSE";
    case CERT_E_ISSUERCHAINING: return "CERT_E_ISSUERCHAINING";
    case CERT_E_MALFORMED: return "CERT_E_MALFORMED";
    case CERT_E_UNTRUSTEDROOT: return "SSL Certificate - Untrusted Root";
    case CERT_E_CHAINING: return "CERT_E_CHAINING";
    case TRUST_E_FAIL: return "TRUST_E_FAIL";
    case CERT_E_REVOKED: return "SSL Certificate Has Been Revoked.";
    case CERT_E_UNTRUSTEDTESTROOT: return "CERT_E_UNTRUSTEDTESTROOT";
    case CERT_E_REVOCATION_FAILURE: return "CERT_E_REVOCATION_FAILURE";
    case CERT_E_CN_NO_MATCH: return "SSL Certificate Common Name Does Not Match.";
    case CERT_E_WRONG_USAGE: return "CERT_E_WRONG_USAGE";
    default: return "CERT_E_UNKNOWN";
    }
}

bool CSslTester::VerifyServerCertificate()
{
    if (m_host.empty())
    {
        AddToHistory(m_pOwner, "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
        return false;
    }

    const int wideChars = MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, nullptr, 0);
    auto* serverName = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, static_cast<size_t>(wideChars) * 2));
    if (serverName == nullptr)
    {
        AddToHistory(m_pOwner, "VerifyServerCertificate Failed (B) - Insufficient Memory.");
        return false;
    }
    if (MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, serverName, wideChars) == 0)
    {
        AddToHistory(m_pOwner, "VerifyServerCertificate Failed (C) - The target principal name is incorrect.");
        LocalFree(serverName);
        return false;
    }

    PCCERT_CONTEXT serverCert = nullptr;
    const SECURITY_STATUS status =
        m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &serverCert);
    if (status != SEC_E_OK)
    {
        AddToHistory(m_pOwner, "VerifyServerCertificate Failed (C) - Status = %d", static_cast<int>(status));
        LocalFree(serverName);
        return false;
    }

    ReportCertChain(serverCert);

    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool verified = false;
    char* usages[] = {const_cast<char*>("1.3.6.1.5.5.7.3.1"), const_cast<char*>("1.3.6.1.4.1.311.10.3.3"),
                      const_cast<char*>("2.16.840.1.113730.4.1")};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;

    if (!CertGetCertificateChain(nullptr, serverCert, nullptr, serverCert->hCertStore, &chainPara, 0, nullptr, &chain))
        AddToHistory(m_pOwner, "CertGetCertificateChain Failed (D) Errod %d", static_cast<int>(GetLastError()));
    else
    {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
        sslPara.cbSize = sizeof sslPara;
        sslPara.dwAuthType = AUTHTYPE_SERVER;
        sslPara.fdwChecks = 0;
        sslPara.pwszServerName = serverName;
        CERT_CHAIN_POLICY_PARA policyPara{};
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &sslPara;
        CERT_CHAIN_POLICY_STATUS policyStatus{};
        policyStatus.cbSize = sizeof policyStatus;

        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus))
            AddToHistory(m_pOwner, "VerifyCertificateChain Failed (E) - Status = %d", static_cast<int>(GetLastError()));
        else if (policyStatus.dwError != 0)
        {
            const int error = static_cast<int>(policyStatus.dwError);
            AddToHistory(m_pOwner, "VerifyCertificateChain Failed (F) - Error = %d more: ", error);
            AddToHistory(m_pOwner, "VerifyCertificateChain Failed (F) - Error = %d more: %s", error,
                         GetCertErrorText(policyStatus.dwError).c_str());
        }
        else
            verified = true;
    }

    CertFreeCertificateContext(serverCert);
    if (chain)
        CertFreeCertificateChain(chain);
    LocalFree(serverName);
    return verified;
}
