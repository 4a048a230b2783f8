#include "ssl_tester.h"

#include "cert_owners.h"
#include "local_memory.h"
#include "winbase.h"

#include <cstdio>

namespace
{
// The usages a server certificate may carry, any one of them enough.
const char* const kServerAuthentication = "1.3.6.1.5.5.7.3.1";
const char* const kServerGatedCrypto = "1.3.6.1.4.1.311.10.3.3";
const char* const kOlderServerGatedCrypto = "2.16.840.1.113730.4.1";

// Seconds since 1970 when the first certificate of the chain expires: the
// chain is no longer valid from then on, whichever certificate it is.
std::optional<int64_t> SoonestNotAfter(PCCERT_CHAIN_CONTEXT chain)
{
    std::optional<uint64_t> soonest; // 100 ns steps since 1601
    for (DWORD c = 0; c < chain->cChain; ++c)
        for (DWORD e = 0; e < chain->rgpChain[c]->cElement; ++e)
        {
            const FILETIME& end = chain->rgpChain[c]->rgpElement[e]->pCertContext->pCertInfo->NotAfter;
            const uint64_t ticks = (static_cast<uint64_t>(end.dwHighDateTime) << 32) | end.dwLowDateTime;
            if (!soonest || ticks < *soonest)
                soonest = ticks;
        }
    if (!soonest)
        return std::nullopt;
    return static_cast<int64_t>(*soonest / 10000000u) - 11644473600;
}
} // namespace

std::string CSslTester::GetCertErrorText(DWORD error)
{
    switch (error)
    {
    case CERT_E_EXPIRED: return "SSL Certificate is Expired.";
    case CERT_E_UNTRUSTEDROOT: return "SSL Certificate - Untrusted Root";
    case CERT_E_REVOKED: return "SSL Certificate Has Been Revoked.";
    case CERT_E_CN_NO_MATCH: return "SSL Certificate Common Name Does Not Match.";
    case CERT_E_VALIDITYPERIODNESTING:
    case CERT_E_ROLE:
    case CERT_E_PATHLENCONST:
    case CERT_E_CRITICAL:
    case CERT_E_PURPOSE:
    case CERT_E_ISSUERCHAINING:
    case CERT_E_MALFORMED:
    case CERT_E_CHAINING:
    case TRUST_E_FAIL:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_REVOCATION_FAILURE:
    case CERT_E_WRONG_USAGE: return GetCertErrorName(error);
    default: return "CERT_E_UNKNOWN";
    }
}

std::string CSslTester::GetCertErrorName(DWORD error)
{
    switch (error)
    {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case CERT_E_EXPIRED: return "CERT_E_EXPIRED";
    case CERT_E_VALIDITYPERIODNESTING: return "CERT_E_VALIDITYPERIODNESTING";
    case CERT_E_ROLE: return "CERT_E_ROLE";
    case CERT_E_PATHLENCONST: return "CERT_E_PATHLENCONST";
    case CERT_E_CRITICAL: return "CERT_E_CRITICAL";
    case CERT_E_PURPOSE: return "CERT_E_PURPOSE";
    case CERT_E_ISSUERCHAINING: return "CERT_E_ISSUERCHAINING";
    case CERT_E_MALFORMED: return "CERT_E_MALFORMED";
    case CERT_E_UNTRUSTEDROOT: return "CERT_E_UNTRUSTEDROOT";
    case CERT_E_CHAINING: return "CERT_E_CHAINING";
    case TRUST_E_FAIL: return "TRUST_E_FAIL";
    case CERT_E_REVOKED: return "CERT_E_REVOKED";
    case CERT_E_UNTRUSTEDTESTROOT: return "CERT_E_UNTRUSTEDTESTROOT";
    case CERT_E_REVOCATION_FAILURE: return "CERT_E_REVOCATION_FAILURE";
    case CERT_E_CN_NO_MATCH: return "CERT_E_CN_NO_MATCH";
    case CERT_E_WRONG_USAGE: return "CERT_E_WRONG_USAGE";
    case TRUST_E_CERT_SIGNATURE: return "TRUST_E_CERT_SIGNATURE";
    default:
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(error));
        return text;
    }
    }
}

bool CSslTester::VerifyServerCertificate()
{
    if (m_host.empty())
    {
        FailLine(TestStep::Certificate,
                 "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
        return false;
    }

    // Released in the reverse order: certificate, chain, name.
    const int wideChars = MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, nullptr, 0);
    CLocalMemory serverName(static_cast<size_t>(wideChars) * sizeof(WCHAR));
    if (!serverName)
    {
        FailLine(TestStep::Certificate, "VerifyServerCertificate Failed (B) - Insufficient Memory.");
        return false;
    }
    if (MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, serverName.As<WCHAR>(), wideChars) == 0)
    {
        FailLine(TestStep::Certificate,
                 "VerifyServerCertificate Failed (C) - The target principal name is incorrect.");
        return false;
    }

    CCertChain chain;
    CCertContext serverCert;
    const SECURITY_STATUS status = m_pSecurityFunctions->QueryContextAttributesA(
        &m_hContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, serverCert.Receive());
    if (status != SEC_E_OK)
    {
        FailLine(TestStep::Certificate, "VerifyServerCertificate Failed (C) - Status = %d",
                 static_cast<int>(status));
        return false;
    }

    ReportCertChain(serverCert.Get());

    char* usages[] = {const_cast<char*>(kServerAuthentication), const_cast<char*>(kServerGatedCrypto),
                      const_cast<char*>(kOlderServerGatedCrypto)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = sizeof usages / sizeof usages[0];
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;

    const CertChainServices& services = ChainServices();
    if (!services.getCertificateChain(nullptr, serverCert.Get(), nullptr, serverCert.Get()->hCertStore,
                                      &chainPara, 0, nullptr, chain.Receive()))
    {
        FailLine(TestStep::Certificate, "CertGetCertificateChain Failed (D) Errod %d",
                 static_cast<int>(GetLastError()));
        return false;
    }
    m_record.tls->chainNotAfter = SoonestNotAfter(chain.Get());

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    sslPara.fdwChecks = 0;
    sslPara.pwszServerName = serverName.As<WCHAR>();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof policyStatus;

    if (!services.verifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.Get(), &policyPara,
                                               &policyStatus))
    {
        FailLine(TestStep::Certificate, "VerifyCertificateChain Failed (E) - Status = %d",
                 static_cast<int>(GetLastError()));
        return false;
    }
    m_record.tls->verifyCode = policyStatus.dwError;
    m_record.tls->verifyName = GetCertErrorName(policyStatus.dwError);
    if (policyStatus.dwError != 0)
    {
        const int error = static_cast<int>(policyStatus.dwError);
        AddToHistory(m_pOwner, "VerifyCertificateChain Failed (F) - Error = %d more: ", error);
        FailLine(TestStep::Certificate, "VerifyCertificateChain Failed (F) - Error = %d more: %s", error,
                 GetCertErrorText(policyStatus.dwError).c_str());
        return false;
    }
    return true;
}
