// Certificate services over OpenSSL: stores of certificate contexts, chain
// building against the system trust store, the SSL chain policy and the
// name strings, with the platform's published structures and codes.
#pragma once

#include "winbase.h"
#include "windef.h"

typedef void* HCERTSTORE;
typedef void* HCERTCHAINENGINE;
typedef LONG HRESULT;

constexpr DWORD X509_ASN_ENCODING = 0x1;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x10000;

struct CRYPT_INTEGER_BLOB
{
    DWORD cbData;
    BYTE* pbData;
};
typedef CRYPT_INTEGER_BLOB CERT_NAME_BLOB;
typedef CRYPT_INTEGER_BLOB CRYPT_OBJID_BLOB;

struct CRYPT_BIT_BLOB
{
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER
{
    char* pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO
{
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION
{
    char* pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};

struct CERT_INFO
{
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber; // the encoded bytes, least significant first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};

struct CERT_CONTEXT
{
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    CERT_INFO* pCertInfo;
    HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// Stores
#define CERT_STORE_PROV_MEMORY reinterpret_cast<const char*>(2)
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_SIGNATURE_FLAG = 0x1;
constexpr DWORD CERT_STORE_TIME_VALIDITY_FLAG = 0x2;

HCERTSTORE CertOpenStore(const char* storeProvider, DWORD encodingType, ULONG_PTR cryptProv, DWORD flags,
                         const void* para);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encodingType, const BYTE* encoded, DWORD size,
                                      DWORD disposition, PCCERT_CONTEXT* added);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE store, PCCERT_CONTEXT subject,
                                                 PCCERT_CONTEXT previous, DWORD* flags);

// Names
constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
constexpr DWORD CERT_OID_NAME_STR = 2;
constexpr DWORD CERT_X500_NAME_STR = 3;
constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;

DWORD CertNameToStrA(DWORD encodingType, const CERT_NAME_BLOB* name, DWORD strType, char* out, DWORD size);
DWORD CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara, char* out,
                         DWORD size);

// Chains
constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
constexpr DWORD USAGE_MATCH_TYPE_OR = 1;

struct CERT_ENHKEY_USAGE
{
    DWORD cUsageIdentifier;
    char** rgpszUsageIdentifier;
};

struct CERT_USAGE_MATCH
{
    DWORD dwType;
    CERT_ENHKEY_USAGE Usage;
};

struct CERT_CHAIN_PARA
{
    DWORD cbSize;
    CERT_USAGE_MATCH RequestedUsage;
};

struct CERT_TRUST_STATUS
{
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};

constexpr DWORD CERT_TRUST_NO_ERROR = 0x0;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x1;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x4;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x8;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x10;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x40;
constexpr DWORD CERT_TRUST_IS_CYCLIC = 0x80;
constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x100;
constexpr DWORD CERT_TRUST_INVALID_POLICY_CONSTRAINTS = 0x200;
constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x400;
constexpr DWORD CERT_TRUST_INVALID_NAME_CONSTRAINTS = 0x800;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT = 0x1000;
constexpr DWORD CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT = 0x2000;
constexpr DWORD CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT = 0x4000;
constexpr DWORD CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT = 0x8000;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x10000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x1000000;

struct CERT_CHAIN_ELEMENT
{
    DWORD cbSize;
    PCCERT_CONTEXT pCertContext;
    CERT_TRUST_STATUS TrustStatus;
};

struct CERT_SIMPLE_CHAIN
{
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cElement;
    CERT_CHAIN_ELEMENT** rgpElement;
};

struct CERT_CHAIN_CONTEXT
{
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cChain;
    CERT_SIMPLE_CHAIN** rgpChain;
};
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;

BOOL CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT context, const FILETIME* time,
                             HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para, DWORD flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain);

// Policy
#define CERT_CHAIN_POLICY_BASE reinterpret_cast<const char*>(1)
#define CERT_CHAIN_POLICY_SSL reinterpret_cast<const char*>(4)
constexpr DWORD AUTHTYPE_CLIENT = 1;
constexpr DWORD AUTHTYPE_SERVER = 2;
constexpr DWORD SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
constexpr DWORD SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA
{
    DWORD cbSize;
    DWORD dwAuthType;
    DWORD fdwChecks;
    WCHAR* pwszServerName;
};

struct CERT_CHAIN_POLICY_PARA
{
    DWORD cbSize;
    DWORD dwFlags;
    void* pvExtraPolicyPara;
};

struct CERT_CHAIN_POLICY_STATUS
{
    DWORD cbSize;
    DWORD dwError;
    LONG lChainIndex;
    LONG lElementIndex;
    void* pvExtraPolicyStatus;
};

BOOL CertVerifyCertificateChainPolicy(const char* policyOid, PCCERT_CHAIN_CONTEXT chain,
                                      const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status);

// Trust errors and status codes
constexpr DWORD CERT_E_EXPIRED = 0x800B0101;
constexpr DWORD CERT_E_VALIDITYPERIODNESTING = 0x800B0102;
constexpr DWORD CERT_E_ROLE = 0x800B0103;
constexpr DWORD CERT_E_PATHLENCONST = 0x800B0104;
constexpr DWORD CERT_E_CRITICAL = 0x800B0105;
constexpr DWORD CERT_E_PURPOSE = 0x800B0106;
constexpr DWORD CERT_E_ISSUERCHAINING = 0x800B0107;
constexpr DWORD CERT_E_MALFORMED = 0x800B0108;
constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr DWORD CERT_E_CHAINING = 0x800B010A;
constexpr DWORD TRUST_E_FAIL = 0x800B010B;
constexpr DWORD CERT_E_REVOKED = 0x800B010C;
constexpr DWORD CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;
constexpr DWORD CERT_E_REVOCATION_FAILURE = 0x800B010E;
constexpr DWORD CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110;
constexpr DWORD CERT_E_INVALID_NAME = 0x800B0114;
constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_SELF_SIGNED = 0x80092007;
constexpr DWORD E_INVALIDARG = 0x80070057;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;

struct x509_st;
namespace platform
{
// Adds a certificate the provider already holds decoded (taking a reference),
// so what the handshake parsed is not parsed again.
BOOL CertAddX509ToStore(HCERTSTORE store, ::x509_st* certificate, PCCERT_CONTEXT* added);
} // namespace platform
