#include "ssl_tester.h"

#include "cert_owners.h"
#include "local_memory.h"
#include "winbase.h"

#include <cstdio>
#include <ctime>

namespace
{
// The usages a server certificate may carry, any one of them enough.
const char* const kServerAuthentication = "1.3.6.1.5.5.7.3.1";
const char* const kServerGatedCrypto = "1.3.6.1.4.1.311.10.3.3";
const char* const kOlderServerGatedCrypto = "2.16.840.1.113730.4.1";

// The cause of a chain policy error. The platform gives one error for a
// certificate outside its validity either way; the chain's dates tell a
// certificate that has ended from one that has not begun (this PC's clock
// behind). It names a root nobody trusts and a chain that never reached a
// root alike; the chain's trust status tells them apart.
Cause PolicyCause(DWORD error, DWORD chainTrust, const std::vector<CertificateFacts>& chain)
{
    switch (error)
    {
    case CERT_E_EXPIRED:
    {
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        bool ended = false, notBegun = false;
        for (const auto& cert : chain)
        {
            ended = ended || cert.notAfter < now;
            notBegun = notBegun || cert.notBefore > now;
        }
        return notBegun && !ended ? Cause::NotYetValid : Cause::Expired;
    }
    case CERT_E_UNTRUSTEDROOT:
        return (chainTrust & CERT_TRUST_IS_PARTIAL_CHAIN) ? Cause::IncompleteChain : Cause::UntrustedRoot;
    case CERT_E_UNTRUSTEDTESTROOT: return Cause::UntrustedRoot;
    case CERT_E_CHAINING: return Cause::IncompleteChain;
    case CERT_E_CN_NO_MATCH: return Cause::NameMismatch;
    case CERT_E_WRONG_USAGE:
    case CERT_E_PURPOSE: return Cause::WrongUsage;
    case CERT_E_INVALID_NAME: return Cause::NameConstraints;
    case CERT_E_REVOKED: return Cause::Revoked;
    default: return Cause::VerificationFailed;
    }
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
    case CERT_E_INVALID_NAME: return "CERT_E_INVALID_NAME";
    case TRUST_E_CERT_SIGNATURE: return "TRUST_E_CERT_SIGNATURE";
    default:
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(error));
        return text;
    }
    }
}

StepOutcome CSslTester::VerifyServerCertificate()
{
    if (m_host.empty())
    {
        return FailLine(TestStep::Certificate, Cause::NoHostName, 0,
                        "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
    }

    // Released in the reverse order: certificate, chain, name.
    const int wideChars = MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, nullptr, 0);
    CLocalMemory serverName(static_cast<size_t>(wideChars) * sizeof(WCHAR));
    if (!serverName)
    {
        return FailLine(TestStep::Certificate, Cause::CertificateError, 0,
                        "VerifyServerCertificate Failed (B) - Insufficient Memory.");
    }
    if (MultiByteToWideChar(CP_ACP, 0, m_host.c_str(), -1, serverName.As<WCHAR>(), wideChars) == 0)
    {
        return FailLine(TestStep::Certificate, Cause::NoHostName, 0,
                        "VerifyServerCertificate Failed (C) - The target principal name is incorrect.");
    }

    CCertChain chain;
    CCertContext serverCert;
    const SECURITY_STATUS status = m_pSecurityFunctions->QueryContextAttributesA(
        &m_hContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, serverCert.Receive());
    if (status != SEC_E_OK)
    {
        return FailLine(TestStep::Certificate, Cause::NoServerCertificate, status,
                        "VerifyServerCertificate Failed (C) - Status = %d", static_cast<int>(status));
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
        const int32_t error = static_cast<int32_t>(GetLastError());
        return FailLine(TestStep::Verification, Cause::VerificationFailed, error,
                        "CertGetCertificateChain Failed (D) Errod %d", static_cast<int>(error));
    }
    // The chain as the engine built it, for the record.
    std::vector<CertificateFacts> built;
    if (const CERT_CHAIN_CONTEXT* context = chain.Get(); context->cChain > 0 && context->rgpChain[0])
    {
        const CERT_SIMPLE_CHAIN* simple = context->rgpChain[0];
        for (DWORD i = 0; i < simple->cElement; ++i)
            if (simple->rgpElement[i] && simple->rgpElement[i]->pCertContext)
                built.push_back(FactsOf(simple->rgpElement[i]->pCertContext));
    }
    if (m_record.tls)
        m_record.tls->chain = built;

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
        const int32_t error = static_cast<int32_t>(GetLastError());
        return FailLine(TestStep::Verification, Cause::VerificationFailed, error,
                        "VerifyCertificateChain Failed (E) - Status = %d", static_cast<int>(error));
    }
    if (m_record.tls)
    {
        m_record.tls->verifyCode = policyStatus.dwError;
        m_record.tls->verifyName = GetCertErrorName(policyStatus.dwError);
    }
    if (policyStatus.dwError != 0)
    {
        const int32_t error = static_cast<int32_t>(policyStatus.dwError);
        const Cause cause = PolicyCause(policyStatus.dwError, chain.Get()->TrustStatus.dwErrorStatus, built);
        AddToHistory(m_pOwner,
                     "VerifyCertificateChain Failed (F) - Error = %d more: ", static_cast<int>(error));
        return FailLine(TestStep::Verification, cause, error,
                        "VerifyCertificateChain Failed (F) - Error = %d more: %s", static_cast<int>(error),
                        GetCertErrorText(policyStatus.dwError).c_str());
    }
    return StepOutcome(TestStep::Verification);
}
