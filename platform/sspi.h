// The security provider interface: the function table of a provider module,
// its buffers, handles and status codes, with the published layouts and
// values. The module behind it is loaded at run time.
#pragma once

#include "wincrypt.h"
#include "windef.h"

typedef LONG SECURITY_STATUS;
typedef int64_t TimeStamp;
typedef DWORD ALG_ID;

struct SecHandle
{
    ULONG_PTR dwLower;
    ULONG_PTR dwUpper;
};
typedef SecHandle CredHandle;
typedef SecHandle CtxtHandle;

struct SecBuffer
{
    ULONG cbBuffer;
    ULONG BufferType;
    void* pvBuffer;
};

struct SecBufferDesc
{
    ULONG ulVersion;
    ULONG cBuffers;
    SecBuffer* pBuffers;
};

constexpr ULONG SECBUFFER_VERSION = 0;
constexpr ULONG SECBUFFER_EMPTY = 0;
constexpr ULONG SECBUFFER_DATA = 1;
constexpr ULONG SECBUFFER_TOKEN = 2;
constexpr ULONG SECBUFFER_MISSING = 4;
constexpr ULONG SECBUFFER_EXTRA = 5;
constexpr ULONG SECBUFFER_ALERT = 17;

constexpr ULONG SECURITY_NATIVE_DREP = 0x10;
constexpr ULONG SECPKG_CRED_INBOUND = 1;
constexpr ULONG SECPKG_CRED_OUTBOUND = 2;

constexpr ULONG ISC_REQ_REPLAY_DETECT = 0x4;
constexpr ULONG ISC_REQ_SEQUENCE_DETECT = 0x8;
constexpr ULONG ISC_REQ_CONFIDENTIALITY = 0x10;
constexpr ULONG ISC_REQ_USE_SUPPLIED_CREDS = 0x80;
constexpr ULONG ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr ULONG ISC_REQ_EXTENDED_ERROR = 0x4000;
constexpr ULONG ISC_REQ_STREAM = 0x8000;
constexpr ULONG ISC_RET_REPLAY_DETECT = 0x4;
constexpr ULONG ISC_RET_SEQUENCE_DETECT = 0x8;
constexpr ULONG ISC_RET_CONFIDENTIALITY = 0x10;
constexpr ULONG ISC_RET_ALLOCATED_MEMORY = 0x100;
constexpr ULONG ISC_RET_EXTENDED_ERROR = 0x4000;
constexpr ULONG ISC_RET_STREAM = 0x8000;

constexpr ULONG SECPKG_ATTR_STREAM_SIZES = 4;
constexpr ULONG SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr ULONG SECPKG_ATTR_CONNECTION_INFO = 0x5A;

// Private to this system's provider module: the TLS alert that ended a
// failed handshake, which the status code alone does not name (the status
// codes stay the platform's). It may be asked of a context whose handshake
// failed. The platform's own provider knows no such attribute and answers
// SEC_E_UNSUPPORTED_FUNCTION, so a caller treats any other answer than
// SEC_E_OK as "not known". The value lies far from the platform's range.
constexpr ULONG SECPKG_ATTR_KV_HANDSHAKE_ALERT = 0x4B560001;
constexpr DWORD KV_ALERT_NONE = 0;     // no fatal alert was seen
constexpr DWORD KV_ALERT_RECEIVED = 1; // the peer sent it
constexpr DWORD KV_ALERT_SENT = 2;     // the provider sent it to the peer
struct SecPkgContext_KvHandshakeAlert
{
    DWORD dwSource;      // KV_ALERT_NONE, KV_ALERT_RECEIVED or KV_ALERT_SENT
    DWORD dwDescription; // the alert's registered number (70: protocol_version)
};

constexpr DWORD SCHANNEL_SHUTDOWN = 1;
constexpr DWORD SCHANNEL_CRED_VERSION = 4;
constexpr DWORD SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
constexpr DWORD SCH_CRED_NO_DEFAULT_CREDS = 0x10;

constexpr DWORD SP_PROT_PCT1_CLIENT = 0x2;
constexpr DWORD SP_PROT_SSL2_CLIENT = 0x8;
constexpr DWORD SP_PROT_SSL3_SERVER = 0x10;
constexpr DWORD SP_PROT_SSL3_CLIENT = 0x20;
constexpr DWORD SP_PROT_TLS1_SERVER = 0x40;
constexpr DWORD SP_PROT_TLS1_CLIENT = 0x80;
constexpr DWORD SP_PROT_TLS1_1_SERVER = 0x100;
constexpr DWORD SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr DWORD SP_PROT_TLS1_2_SERVER = 0x400;
constexpr DWORD SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr DWORD SP_PROT_TLS1_3_SERVER = 0x1000;
constexpr DWORD SP_PROT_TLS1_3_CLIENT = 0x2000;
constexpr DWORD SP_PROT_SSL3 = SP_PROT_SSL3_SERVER | SP_PROT_SSL3_CLIENT;
constexpr DWORD SP_PROT_TLS1 = SP_PROT_TLS1_SERVER | SP_PROT_TLS1_CLIENT;
constexpr DWORD SP_PROT_TLS1_1 = SP_PROT_TLS1_1_SERVER | SP_PROT_TLS1_1_CLIENT;
constexpr DWORD SP_PROT_TLS1_2 = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_2_CLIENT;

// Algorithm identifiers: class, type and sub-identifier bits.
constexpr ALG_ID ALG_CLASS_SIGNATURE = 1 << 13;
constexpr ALG_ID ALG_CLASS_DATA_ENCRYPT = 3 << 13;
constexpr ALG_ID ALG_CLASS_HASH = 4 << 13;
constexpr ALG_ID ALG_CLASS_KEY_EXCHANGE = 5 << 13;
constexpr ALG_ID ALG_TYPE_ANY = 0;

constexpr ALG_ID CALG_DES = 0x6601;
constexpr ALG_ID CALG_RC2 = 0x6602;
constexpr ALG_ID CALG_3DES = 0x6603;
constexpr ALG_ID CALG_SKIPJACK = 0x660A;
constexpr ALG_ID CALG_CYLINK_MEK = 0x660C;
constexpr ALG_ID CALG_AES_128 = 0x660E;
constexpr ALG_ID CALG_AES_192 = 0x660F;
constexpr ALG_ID CALG_AES_256 = 0x6610;
constexpr ALG_ID CALG_AES = 0x6611;
constexpr ALG_ID CALG_RC4 = 0x6801;
constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_MAC = 0x8005;
constexpr ALG_ID CALG_SSL3_SHAMD5 = 0x8008;
constexpr ALG_ID CALG_HMAC = 0x8009;
constexpr ALG_ID CALG_TLS1PRF = 0x800A;
constexpr ALG_ID CALG_HASH_REPLACE_OWF = 0x800B;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr ALG_ID CALG_SHA_384 = 0x800D;
constexpr ALG_ID CALG_SHA_512 = 0x800E;
constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
constexpr ALG_ID CALG_DH_EPHEM = 0xAA02;
constexpr ALG_ID CALG_KEA_KEYX = 0xAA04;
constexpr ALG_ID CALG_ECDH_EPHEM = 0xAE06;

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<SECURITY_STATUS>(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<SECURITY_STATUS>(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<SECURITY_STATUS>(0x80090302);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<SECURITY_STATUS>(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<SECURITY_STATUS>(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<SECURITY_STATUS>(0x80090308);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = static_cast<SECURITY_STATUS>(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<SECURITY_STATUS>(0x8009030E);
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = static_cast<SECURITY_STATUS>(0x80090318);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<SECURITY_STATUS>(0x80090321);
constexpr SECURITY_STATUS SEC_E_WRONG_PRINCIPAL = static_cast<SECURITY_STATUS>(0x80090322);
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = static_cast<SECURITY_STATUS>(0x80090326);
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = static_cast<SECURITY_STATUS>(0x80090331);

struct SCHANNEL_CRED
{
    DWORD dwVersion;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    void** aphMappers;
    DWORD cSupportedAlgs;
    ALG_ID* palgSupportedAlgs;
    DWORD grbitEnabledProtocols;
    DWORD dwMinimumCipherStrength;
    DWORD dwMaximumCipherStrength;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD dwCredFormat;
};

struct SecPkgContext_ConnectionInfo
{
    DWORD dwProtocol;
    ALG_ID aiCipher;
    DWORD dwCipherStrength;
    ALG_ID aiHash;
    DWORD dwHashStrength;
    ALG_ID aiExch;
    DWORD dwExchStrength;
};

struct SecPkgContext_StreamSizes
{
    ULONG cbHeader;
    ULONG cbTrailer;
    ULONG cbMaximumMessage;
    ULONG cBuffers;
    ULONG cbBlockSize;
};

typedef void(WINAPI* SEC_GET_KEY_FN)(void* arg, void* principal, ULONG keyVer, void** key,
                                     SECURITY_STATUS* status);

typedef SECURITY_STATUS(WINAPI* ACQUIRE_CREDENTIALS_HANDLE_FN_A)(char* principal, char* package,
                                                                 ULONG credentialUse, void* logonId,
                                                                 void* authData, SEC_GET_KEY_FN getKeyFn,
                                                                 void* getKeyArgument, CredHandle* credential,
                                                                 TimeStamp* expiry);
typedef SECURITY_STATUS(WINAPI* FREE_CREDENTIALS_HANDLE_FN)(CredHandle* credential);
typedef SECURITY_STATUS(WINAPI* INITIALIZE_SECURITY_CONTEXT_FN_A)(
    CredHandle* credential, CtxtHandle* context, char* targetName, ULONG contextReq, ULONG reserved1,
    ULONG targetDataRep, SecBufferDesc* input, ULONG reserved2, CtxtHandle* newContext, SecBufferDesc* output,
    ULONG* contextAttr, TimeStamp* expiry);
typedef SECURITY_STATUS(WINAPI* DELETE_SECURITY_CONTEXT_FN)(CtxtHandle* context);
typedef SECURITY_STATUS(WINAPI* APPLY_CONTROL_TOKEN_FN)(CtxtHandle* context, SecBufferDesc* input);
typedef SECURITY_STATUS(WINAPI* QUERY_CONTEXT_ATTRIBUTES_FN_A)(CtxtHandle* context, ULONG attribute,
                                                               void* buffer);
typedef SECURITY_STATUS(WINAPI* FREE_CONTEXT_BUFFER_FN)(void* buffer);

// The published table; the entries no caller here uses are left untyped.
struct SecurityFunctionTableA
{
    ULONG dwVersion;
    void* EnumerateSecurityPackagesA;
    void* QueryCredentialsAttributesA;
    ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
    FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
    void* Reserved2;
    INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
    void* AcceptSecurityContext;
    void* CompleteAuthToken;
    DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
    APPLY_CONTROL_TOKEN_FN ApplyControlToken;
    QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
    void* ImpersonateSecurityContext;
    void* RevertSecurityContext;
    void* MakeSignature;
    void* VerifySignature;
    FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
    void* QuerySecurityPackageInfoA;
    void* Reserved3;
    void* Reserved4;
    void* ExportSecurityContext;
    void* ImportSecurityContextA;
    void* AddCredentialsA;
    void* Reserved8;
    void* QuerySecurityContextToken;
    void* EncryptMessage;
    void* DecryptMessage;
    void* SetContextAttributesA;
};

constexpr ULONG SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION = 1;
typedef SecurityFunctionTableA*(WINAPI* INIT_SECURITY_INTERFACE_A)();

#define UNISP_NAME_A "Microsoft Unified Security Protocol Provider"
