// libFuzzer target: certificate services fed what a server's Certificate
// message may hold.
//
// Input: DER certificates one after another; the first is the server's, all
// of them form the store it sent. They go through context creation, the TLS
// tester's own verification (the report's names, serials and dates, the
// issuer walk, the chain engine and the SSL policy), and the name services
// with short output buffers.
#include "ssl_tester.h"
#include "support/recording_owner.h"
#include "wincrypt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
constexpr int kMaxCertificates = 8;

PCCERT_CONTEXT g_server = nullptr;

// The provider's one answer the verification asks for: the server's certificate.
SECURITY_STATUS WINAPI RemoteCertificate(CtxtHandle*, ULONG attribute, void* buffer)
{
    if (attribute != SECPKG_ATTR_REMOTE_CERT_CONTEXT)
        return SEC_E_UNSUPPORTED_FUNCTION;
    *static_cast<PCCERT_CONTEXT*>(buffer) = CertDuplicateCertificateContext(g_server);
    return SEC_E_OK;
}

void Check(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "certificate services: %s\n", what);
        std::abort();
    }
}

// The text fits what was given, ends in a NUL, and the count says how much
// was written (or, with no room, how much is needed).
void Names(PCCERT_CONTEXT c)
{
    for (const DWORD type :
         {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG})
        for (const CERT_NAME_BLOB* blob : {&c->pCertInfo->Subject, &c->pCertInfo->Issuer})
        {
            const DWORD needed = CertNameToStrA(c->dwCertEncodingType, blob, type, nullptr, 0);
            for (const DWORD size : {1u, 7u, 1000u})
            {
                char text[1000];
                std::memset(text, 'x', sizeof text);
                const DWORD n = CertNameToStrA(c->dwCertEncodingType, blob, type, text, size);
                Check(n <= size, "name longer than its buffer");
                // A value may hold a NUL of its own: the count, not strlen, says where the text ends.
                if (n > 0)
                {
                    Check(text[n - 1] == '\0', "name not ended where counted");
                    Check(n == std::min(needed, size), "name count differs from the size asked");
                }
            }
        }
    char display[16];
    std::memset(display, 'x', sizeof display);
    const DWORD n = CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, display, sizeof display);
    Check(n >= 1 && n <= sizeof display && display[n - 1] == '\0', "display name not ended");
}

void Policy(PCCERT_CONTEXT server, const char* host, DWORD ignore)
{
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    if (!CertGetCertificateChain(nullptr, server, nullptr, server->hCertStore, &para, 0, nullptr, &chain))
        return;
    Check(chain->cChain == 1 && chain->rgpChain[0]->cElement <= 64, "chain shape");
    std::basic_string<WCHAR> name(host, host + std::strlen(host));
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = ignore;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    Check(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status), "policy call");
    CertFreeCertificateChain(chain);
}
} // namespace

// The verification of the TLS test on its own, against a provider table
// that answers only for the remote certificate.
class CSslVerifyProbe
{
public:
    static void Verify(CSslTester& tester, SecurityFunctionTableA* table, const char* host)
    {
        tester.m_pSecurityFunctions = table;
        tester.m_host = host;
        tester.m_record.tls.emplace(); // as after a handshake
        tester.VerifyServerCertificate();
        tester.m_pSecurityFunctions = nullptr;
    }
};

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Nothing on this machine is trusted: the outcome depends on the input only.
    setenv("SSL_CERT_FILE", "/nonexistent/kestavane-fuzz.pem", 1);
    setenv("SSL_CERT_DIR", "/nonexistent/kestavane-fuzz", 1);
    // A certificate's "CA Issuers" URL is never fetched from here.
    setenv("KESTAVANE_FETCH_ISSUERS", "no", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    size_t at = 0;
    for (int i = 0; i < kMaxCertificates && at < size; ++i)
    {
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, data + at,
                                              static_cast<DWORD>(size - at), CERT_STORE_ADD_ALWAYS, &added))
            break;
        Check(added->cbCertEncoded > 0 && added->cbCertEncoded <= size - at, "encoding beyond the input");
        at += added->cbCertEncoded;
        if (g_server == nullptr)
            g_server = added;
        else
            CertFreeCertificateContext(added);
    }
    if (g_server)
    {
        Names(g_server);
        {
            CRecordingOwner owner;
            SecurityFunctionTableA table{};
            table.QueryContextAttributesA = RemoteCertificate;
            CSslTester tester(&owner);
            CSslVerifyProbe::Verify(tester, &table, "server.test");
        }
        // Past an unknown root, the later checks: dates, usage, the host name.
        const DWORD ignoreAllButName = SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                       SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                       SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_REVOCATION;
        Policy(g_server, "server.test", ignoreAllButName);
        Policy(g_server, "127.0.0.1", ignoreAllButName);
        CertFreeCertificateContext(g_server);
        g_server = nullptr;
    }
    CertCloseStore(store, 0);
    return 0;
}
