// The security provider module ("Secur32.dll"): a TLS client whose bytes
// move only through the caller's tokens and buffers.
//
// OpenSSL runs on two memory BIOs. It is fed complete TLS records only, so
// that what it has not consumed can be told back as SECBUFFER_EXTRA; a
// partial record is answered with SEC_E_INCOMPLETE_MESSAGE. The server
// certificate is not validated here (manual validation): the caller judges
// it through the certificate services.

#include "module_entry.h"
#include "sspi.h"
#include "wincrypt.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
constexpr ULONG_PTR kCredMagic = 0x4B564352; // "KVCR"
constexpr ULONG_PTR kCtxtMagic = 0x4B564358; // "KVCX"
constexpr size_t kMaxRecordBody = 16384 + 2048;

struct SslCtxFree
{
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree
{
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct PkeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct Credentials
{
    SslCtxPtr ctx; // one reference of the shared context
};

struct Context
{
    SslPtr ssl; // owns both BIOs
    BIO* rbio = nullptr;
    BIO* wbio = nullptr;
    size_t replaySkip = 0;
    bool clientCertAsked = false;
    bool resumeAfterCredentials = false;
    bool handshakeDone = false;
    bool failed = false;
    bool shutdownPending = false;
    // The last fatal alert of the handshake, for SECPKG_ATTR_KV_HANDSHAKE_ALERT.
    DWORD alertSource = KV_ALERT_NONE;
    DWORD alertDescription = 0;
};

// The objects behind the handles the caller holds, owned here. A handle the
// caller passes back is checked against the live ones, so a stale or forged
// handle is an error and never a wild pointer.
template <typename T, ULONG_PTR Magic> class CHandleRegistry
{
public:
    void Add(std::unique_ptr<T> object, SecHandle* handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        T* raw = object.get();
        m_objects.emplace(raw, std::move(object));
        handle->dwLower = reinterpret_cast<ULONG_PTR>(raw);
        handle->dwUpper = Magic;
    }
    T* Find(const SecHandle* handle)
    {
        if (handle == nullptr || handle->dwUpper != Magic)
            return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<const T*>(handle->dwLower));
        return it == m_objects.end() ? nullptr : it->second.get();
    }
    // Hands the object back to be destroyed; empty when the handle is not live.
    std::unique_ptr<T> Remove(const SecHandle* handle)
    {
        if (handle == nullptr || handle->dwUpper != Magic)
            return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_objects.find(reinterpret_cast<const T*>(handle->dwLower));
        if (it == m_objects.end())
            return nullptr;
        std::unique_ptr<T> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

private:
    std::mutex m_mutex;
    std::map<const T*, std::unique_ptr<T>> m_objects;
};

// Owned by the module: a caller that frees it frees what its handles held,
// and every front end joins its presses before it returns from main.
CHandleRegistry<Credentials, kCredMagic> g_credentials;
CHandleRegistry<Context, kCtxtMagic> g_contexts;

int g_contextIndex = -1;

int ClientCertCallback(SSL* ssl, X509** /*x509*/, EVP_PKEY** /*key*/)
{
    auto* context = static_cast<Context*>(SSL_get_ex_data(ssl, g_contextIndex));
    if (context && !context->clientCertAsked)
    {
        context->clientCertAsked = true;
        return -1; // pause: the caller hears SEC_I_INCOMPLETE_CREDENTIALS
    }
    return 0; // go on without a certificate
}

// Keeps the fatal alert that ends a handshake; one the peer sent wins over
// the one this side answers with.
void AlertCallback(const SSL* ssl, int where, int value)
{
    if (!(where & SSL_CB_ALERT) || (value >> 8) != SSL3_AL_FATAL)
        return;
    auto* context = static_cast<Context*>(SSL_get_ex_data(ssl, g_contextIndex));
    if (context == nullptr || context->alertSource == KV_ALERT_RECEIVED)
        return;
    context->alertSource = (where & SSL_CB_READ) ? KV_ALERT_RECEIVED : KV_ALERT_SENT;
    context->alertDescription = static_cast<DWORD>(value & 0xFF);
}

// The protocol bits of the credentials onto OpenSSL's range. SSL 3.0 is not
// built into the system's OpenSSL; TLS 1.0 and 1.1 need security level 0.
void ApplyProtocols(SSL_CTX* ctx, DWORD enabled)
{
    struct Version
    {
        DWORD bits;
        int version;
        uint64_t off;
    };
    const Version versions[] = {{0x30, SSL3_VERSION, SSL_OP_NO_SSLv3},
                                {0xC0, TLS1_VERSION, SSL_OP_NO_TLSv1},
                                {0x300, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
                                {0xC00, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
                                {0x3000, TLS1_3_VERSION, SSL_OP_NO_TLSv1_3}};
    if (enabled == 0)
        enabled = 0xC00 | 0x3000; // provider default
    int low = 0, high = 0;
    for (const auto& v : versions)
        if (enabled & v.bits)
        {
            if (low == 0)
                low = v.version;
            high = v.version;
        }
    if (low == SSL3_VERSION)
        low = TLS1_VERSION;
    SSL_CTX_set_min_proto_version(ctx, low);
    SSL_CTX_set_max_proto_version(ctx, high);
    for (const auto& v : versions)
        if (v.version > low && v.version < high && !(enabled & v.bits))
            SSL_CTX_set_options(ctx, v.off);
}

bool IsIpLiteral(const char* name)
{
    in_addr v4{};
    in6_addr v6{};
    return ::inet_pton(AF_INET, name, &v4) == 1 || ::inet_pton(AF_INET6, name, &v6) == 1;
}

// Bytes of the complete records at the front of data; all of it when a
// header is not a TLS record header (OpenSSL then reports the error).
size_t CompleteRecords(const unsigned char* data, size_t size, size_t* missing)
{
    size_t at = 0;
    *missing = 0;
    while (size - at >= 5)
    {
        const unsigned type = data[at];
        const unsigned major = data[at + 1];
        const size_t length = (static_cast<size_t>(data[at + 3]) << 8) | data[at + 4];
        if (type < 20 || type > 24 || major != 3 || length > kMaxRecordBody)
            return size;
        if (size - at < 5 + length)
        {
            *missing = 5 + length - (size - at);
            return at;
        }
        at += 5 + length;
    }
    // A partial header, or nothing at all: at least a header is missing.
    if (size - at > 0 || at == 0)
        *missing = 5 - (size - at);
    return at;
}

SECURITY_STATUS MapError()
{
    const unsigned long error = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(error);
    if (reason >= 1000 && reason < 1256) // an alert from the peer
    {
        const int alert = reason - 1000;
        return alert == 40 || alert == 70 || alert == 71 ? SEC_E_ALGORITHM_MISMATCH : SEC_E_ILLEGAL_MESSAGE;
    }
    switch (reason)
    {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST: return SEC_E_INVALID_TOKEN;
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_WRONG_CIPHER_RETURNED:
    case SSL_R_UNSUPPORTED_ELLIPTIC_CURVE: return SEC_E_ALGORITHM_MISMATCH;
    default: return SEC_E_ILLEGAL_MESSAGE;
    }
}

// Moves what OpenSSL wrote into the caller's output token.
SECURITY_STATUS DrainToken(Context* context, ULONG contextReq, SecBufferDesc* output, ULONG* attributes)
{
    SecBuffer* token = nullptr;
    if (output)
        for (ULONG i = 0; i < output->cBuffers; ++i)
            if (output->pBuffers[i].BufferType == SECBUFFER_TOKEN)
            {
                token = &output->pBuffers[i];
                break;
            }
    const size_t pending = BIO_ctrl_pending(context->wbio);
    if (token == nullptr)
    {
        BIO_reset(context->wbio);
        return SEC_E_OK;
    }
    if (contextReq & ISC_REQ_ALLOCATE_MEMORY)
    {
        token->cbBuffer = 0;
        token->pvBuffer = nullptr;
        if (pending == 0)
            return SEC_E_OK;
        void* memory = std::malloc(pending);
        if (memory == nullptr)
            return SEC_E_INSUFFICIENT_MEMORY;
        BIO_read(context->wbio, memory, static_cast<int>(pending));
        token->pvBuffer = memory;
        token->cbBuffer = static_cast<ULONG>(pending);
        if (attributes)
            *attributes |= ISC_RET_ALLOCATED_MEMORY;
        return SEC_E_OK;
    }
    if (pending > token->cbBuffer || (pending && token->pvBuffer == nullptr))
        return SEC_E_BUFFER_TOO_SMALL;
    if (pending)
        BIO_read(context->wbio, token->pvBuffer, static_cast<int>(pending));
    token->cbBuffer = static_cast<ULONG>(pending);
    return SEC_E_OK;
}

SecBuffer* FindBuffer(SecBufferDesc* desc, ULONG type, ULONG index)
{
    if (desc == nullptr || desc->pBuffers == nullptr || index >= desc->cBuffers)
        return nullptr;
    return desc->pBuffers[index].BufferType == type ? &desc->pBuffers[index] : nullptr;
}

void SetExtra(SecBufferDesc* input, size_t extra)
{
    if (extra == 0)
        return;
    if (SecBuffer* slot = FindBuffer(input, SECBUFFER_EMPTY, 1))
    {
        slot->BufferType = SECBUFFER_EXTRA;
        slot->cbBuffer = static_cast<ULONG>(extra);
    }
}

ULONG ReturnedAttributes(ULONG contextReq)
{
    return contextReq &
           (ISC_RET_REPLAY_DETECT | ISC_RET_SEQUENCE_DETECT | ISC_RET_CONFIDENTIALITY | ISC_RET_STREAM);
}

SECURITY_STATUS Shutdown(Context* context, ULONG contextReq, SecBufferDesc* output, ULONG* attributes)
{
    context->shutdownPending = false;
    if (context->handshakeDone && !context->failed)
    {
        ERR_clear_error();
        SSL_shutdown(context->ssl.get()); // 0: our close_notify is written, the peer's not awaited
        ERR_clear_error();
    }
    return DrainToken(context, contextReq, output, attributes);
}

SECURITY_STATUS Step(Context* context, ULONG contextReq, SecBufferDesc* input, SecBufferDesc* output,
                     ULONG* attributes)
{
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN, 0);
    if (token == nullptr || (token->cbBuffer && token->pvBuffer == nullptr))
        return SEC_E_INCOMPLETE_MESSAGE; // no input on a continuing call
    const auto* data = static_cast<const unsigned char*>(token->pvBuffer);
    const size_t size = token->cbBuffer;

    // After the client-certificate pause OpenSSL goes on without new input.
    const bool resuming = context->resumeAfterCredentials;
    const size_t skip = std::min(context->replaySkip, size);
    size_t missing = 0;
    const size_t end = skip + CompleteRecords(data + skip, size - skip, &missing);
    if (end == skip && !resuming)
    {
        if (SecBuffer* slot = FindBuffer(input, SECBUFFER_EMPTY, 1))
        {
            slot->BufferType = SECBUFFER_MISSING;
            slot->cbBuffer = static_cast<ULONG>(missing);
        }
        return SEC_E_INCOMPLETE_MESSAGE;
    }

    context->replaySkip = 0;
    context->resumeAfterCredentials = false;
    if (end > skip)
        BIO_write(context->rbio, data + skip, static_cast<int>(end - skip));
    ERR_clear_error();
    const int r = SSL_do_handshake(context->ssl.get());
    const int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(context->ssl.get(), r);
    const size_t unread = BIO_ctrl_pending(context->rbio);

    if (r == 1)
    {
        context->handshakeDone = true;
        BIO_reset(context->rbio);
        const SECURITY_STATUS drained = DrainToken(context, contextReq, output, attributes);
        SetExtra(input, unread + (size - end));
        return drained;
    }
    switch (error)
    {
    case SSL_ERROR_WANT_READ:
    {
        const SECURITY_STATUS drained = DrainToken(context, contextReq, output, attributes);
        if (drained != SEC_E_OK)
            return drained;
        SetExtra(input, unread + (size - end));
        BIO_reset(context->rbio);
        return SEC_I_CONTINUE_NEEDED;
    }
    case SSL_ERROR_WANT_X509_LOOKUP:
        // OpenSSL has taken these bytes already; the caller hands the same
        // input again, so skip them then.
        context->replaySkip = end - unread;
        context->resumeAfterCredentials = true;
        BIO_reset(context->rbio);
        return SEC_I_INCOMPLETE_CREDENTIALS;
    default:
    {
        const SECURITY_STATUS status = error == SSL_ERROR_SSL ? MapError() : SEC_E_ILLEGAL_MESSAGE;
        context->failed = true;
        ERR_clear_error();
        // An alert OpenSSL wrote is the provider's message for the server.
        if (BIO_ctrl_pending(context->wbio) && (contextReq & ISC_REQ_EXTENDED_ERROR))
        {
            if (DrainToken(context, contextReq, output, attributes) == SEC_E_OK && attributes)
                *attributes |= ISC_RET_EXTENDED_ERROR;
        }
        else
            BIO_reset(context->wbio);
        return status;
    }
    }
}

// Preparing an SSL_CTX costs more than a loopback handshake, and every
// credentials handle with the same protocols gets the same one; each handle
// holds its own reference.
SSL_CTX* SharedClientContext(DWORD protocols)
{
    // Kept for the life of the process, never torn down at exit while a
    // handle might still point into it.
    static std::mutex mutex;
    static auto* contexts = new std::map<DWORD, SSL_CTX*>();
    std::lock_guard<std::mutex> lock(mutex);
    SSL_CTX*& ctx = (*contexts)[protocols];
    if (ctx == nullptr)
    {
        // Only the first initialisation in a process decides these. No
        // clean-up at exit: it would free one by one what the process is
        // about to drop whole, and pull these contexts from under a thread
        // still testing. No error texts: the provider reports status codes
        // and nothing here prints OpenSSL's own messages.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
                             OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                         nullptr);
        ctx = SSL_CTX_new(TLS_client_method());
        if (ctx == nullptr)
        {
            ERR_clear_error();
            contexts->erase(protocols);
            return nullptr;
        }
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
        SSL_CTX_set_read_ahead(ctx, 0);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        // Suites the platform names: ECDHE, DHE or RSA key exchange with AES.
        SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:DHE+AESGCM:ECDHE+AES:DHE+AES:RSA+AESGCM:RSA+AES:"
                                     "!aNULL:!eNULL:!PSK:!SRP:!DSS:!AESCCM:@SECLEVEL=0");
        SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
        ApplyProtocols(ctx, protocols);
    }
    SSL_CTX_up_ref(ctx);
    return ctx;
}

SECURITY_STATUS WINAPI AcquireCredentialsHandleA(char* /*principal*/, char* package, ULONG credentialUse,
                                                 void* /*logonId*/, void* authData,
                                                 SEC_GET_KEY_FN /*getKeyFn*/, void* /*getKeyArgument*/,
                                                 CredHandle* credential, TimeStamp* expiry)
{
    if (package == nullptr ||
        (std::strcmp(package, UNISP_NAME_A) != 0 && strcasecmp(package, "Schannel") != 0))
        return SEC_E_SECPKG_NOT_FOUND;
    if (credential == nullptr)
        return SEC_E_INVALID_HANDLE;
    if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0)
        return SEC_E_NO_CREDENTIALS; // only a client is offered here
    const auto* cred = static_cast<const SCHANNEL_CRED*>(authData);
    if (cred && cred->dwVersion != SCHANNEL_CRED_VERSION)
        return SEC_E_UNKNOWN_CREDENTIALS;
    if (cred && cred->cCreds != 0)
        return SEC_E_UNKNOWN_CREDENTIALS; // client certificates are not supported

    SSL_CTX* ctx = SharedClientContext(cred ? cred->grbitEnabledProtocols : 0);
    if (ctx == nullptr)
        return SEC_E_INSUFFICIENT_MEMORY;

    g_credentials.Add(std::make_unique<Credentials>(Credentials{SslCtxPtr(ctx)}), credential);
    if (expiry)
        *expiry = 0x7FFFFFFFFFFFFFFFLL;
    return SEC_E_OK;
}

SECURITY_STATUS WINAPI FreeCredentialsHandle(CredHandle* credential)
{
    // Contexts still open keep their own reference of the SSL_CTX.
    return g_credentials.Remove(credential) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS WINAPI InitializeSecurityContextA(CredHandle* credential, CtxtHandle* contextHandle,
                                                  char* targetName, ULONG contextReq, ULONG /*reserved1*/,
                                                  ULONG /*targetDataRep*/, SecBufferDesc* input,
                                                  ULONG /*reserved2*/, CtxtHandle* newContext,
                                                  SecBufferDesc* output, ULONG* attributes, TimeStamp* expiry)
{
    if (attributes)
        *attributes = ReturnedAttributes(contextReq);
    if (expiry)
        *expiry = 0x7FFFFFFFFFFFFFFFLL;

    if (contextHandle != nullptr)
    {
        Context* context = g_contexts.Find(contextHandle);
        if (context == nullptr)
            return SEC_E_INVALID_HANDLE;
        if (context->shutdownPending)
            return Shutdown(context, contextReq, output, attributes);
        if (context->failed)
            return SEC_E_ILLEGAL_MESSAGE;
        if (context->handshakeDone)
            return SEC_E_OK;
        return Step(context, contextReq, input, output, attributes);
    }

    Credentials* credentials = g_credentials.Find(credential);
    if (credentials == nullptr || newContext == nullptr)
        return SEC_E_INVALID_HANDLE;

    static std::once_flag once;
    std::call_once(once,
                   [] { g_contextIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });

    auto context = std::make_unique<Context>();
    context->ssl.reset(SSL_new(credentials->ctx.get()));
    BioPtr rbio(BIO_new(BIO_s_mem()));
    BioPtr wbio(BIO_new(BIO_s_mem()));
    if (!context->ssl || !rbio || !wbio)
    {
        ERR_clear_error();
        return SEC_E_INSUFFICIENT_MEMORY;
    }
    // An empty memory BIO asks to retry rather than reporting the end.
    BIO_set_mem_eof_return(rbio.get(), -1);
    context->rbio = rbio.get();
    context->wbio = wbio.get();
    SSL_set_bio(context->ssl.get(), rbio.release(), wbio.release());
    SSL* ssl = context->ssl.get();
    SSL_set_ex_data(ssl, g_contextIndex, context.get());
    SSL_set_info_callback(ssl, AlertCallback);
    SSL_set_connect_state(ssl);
    if (targetName && *targetName && !IsIpLiteral(targetName))
        SSL_set_tlsext_host_name(ssl, targetName);

    ERR_clear_error();
    const int r = SSL_do_handshake(ssl);
    const int error = SSL_get_error(ssl, r);
    if (error != SSL_ERROR_WANT_READ)
    {
        ERR_clear_error();
        return SEC_E_INTERNAL_ERROR;
    }
    const SECURITY_STATUS drained = DrainToken(context.get(), contextReq, output, attributes);
    if (drained != SEC_E_OK)
        return drained;
    g_contexts.Add(std::move(context), newContext);
    return SEC_I_CONTINUE_NEEDED;
}

SECURITY_STATUS WINAPI DeleteSecurityContext(CtxtHandle* contextHandle)
{
    return g_contexts.Remove(contextHandle) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS WINAPI ApplyControlToken(CtxtHandle* contextHandle, SecBufferDesc* input)
{
    Context* context = g_contexts.Find(contextHandle);
    if (context == nullptr)
        return SEC_E_INVALID_HANDLE;
    SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN, 0);
    if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer < sizeof(DWORD))
        return SEC_E_INVALID_TOKEN;
    DWORD control;
    std::memcpy(&control, token->pvBuffer, sizeof control);
    if (control != SCHANNEL_SHUTDOWN)
        return SEC_E_UNSUPPORTED_FUNCTION;
    context->shutdownPending = true;
    return SEC_E_OK;
}

void ConnectionInfo(SSL* ssl, SecPkgContext_ConnectionInfo* info)
{
    std::memset(info, 0, sizeof *info);
    switch (SSL_version(ssl))
    {
    case SSL3_VERSION: info->dwProtocol = SP_PROT_SSL3_CLIENT; break;
    case TLS1_VERSION: info->dwProtocol = SP_PROT_TLS1_CLIENT; break;
    case TLS1_1_VERSION: info->dwProtocol = SP_PROT_TLS1_1_CLIENT; break;
    case TLS1_2_VERSION: info->dwProtocol = SP_PROT_TLS1_2_CLIENT; break;
    case TLS1_3_VERSION: info->dwProtocol = SP_PROT_TLS1_3_CLIENT; break;
    default: break;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr)
        return;
    int algBits = 0;
    SSL_CIPHER_get_bits(cipher, &algBits);
    switch (SSL_CIPHER_get_cipher_nid(cipher))
    {
    case NID_aes_128_gcm:
    case NID_aes_128_cbc:
    case NID_aes_128_ccm: info->aiCipher = CALG_AES_128; break;
    case NID_aes_192_gcm:
    case NID_aes_192_cbc: info->aiCipher = CALG_AES_192; break;
    case NID_aes_256_gcm:
    case NID_aes_256_cbc:
    case NID_aes_256_ccm: info->aiCipher = CALG_AES_256; break;
    case NID_des_ede3_cbc: info->aiCipher = CALG_3DES; break;
    case NID_des_cbc: info->aiCipher = CALG_DES; break;
    case NID_rc4: info->aiCipher = CALG_RC4; break;
    case NID_rc2_cbc: info->aiCipher = CALG_RC2; break;
    default: info->aiCipher = 0; break; // ChaCha20 and others have no identifier
    }
    info->dwCipherStrength = static_cast<DWORD>(algBits);

    // AEAD suites have no MAC: their hash is the PRF's.
    int digest = SSL_CIPHER_get_digest_nid(cipher);
    if (digest == NID_undef)
        if (const EVP_MD* md = SSL_CIPHER_get_handshake_digest(cipher))
            digest = EVP_MD_get_type(md);
    switch (digest)
    {
    case NID_md5:
        info->aiHash = CALG_MD5;
        info->dwHashStrength = 128;
        break;
    case NID_sha1:
        info->aiHash = CALG_SHA1;
        info->dwHashStrength = 160;
        break;
    case NID_sha256:
        info->aiHash = CALG_SHA_256;
        info->dwHashStrength = 256;
        break;
    case NID_sha384:
        info->aiHash = CALG_SHA_384;
        info->dwHashStrength = 384;
        break;
    case NID_sha512:
        info->aiHash = CALG_SHA_512;
        info->dwHashStrength = 512;
        break;
    default: break;
    }

    const int kx = SSL_CIPHER_get_kx_nid(cipher);
    EVP_PKEY* rawTemp = nullptr;
    const bool haveTemp = SSL_get_peer_tmp_key(ssl, &rawTemp) == 1 && rawTemp != nullptr;
    const PkeyPtr owned(rawTemp);
    EVP_PKEY* temp = owned.get();
    if (kx == NID_kx_rsa)
    {
        info->aiExch = CALG_RSA_KEYX;
        if (X509* leaf = SSL_get0_peer_certificate(ssl))
            if (EVP_PKEY* key = X509_get0_pubkey(leaf))
                info->dwExchStrength = static_cast<DWORD>(EVP_PKEY_get_bits(key));
    }
    else if (kx == NID_kx_dhe || (kx == NID_kx_any && haveTemp && EVP_PKEY_get_base_id(temp) == EVP_PKEY_DH))
        info->aiExch = CALG_DH_EPHEM;
    else if (kx == NID_kx_ecdhe || kx == NID_kx_any)
        info->aiExch = CALG_ECDH_EPHEM;
    if (haveTemp && info->aiExch != CALG_RSA_KEYX)
    {
        // The curve's size: X25519 and X448 report their group order's bits.
        const int base = EVP_PKEY_get_base_id(temp);
        info->dwExchStrength = base == EVP_PKEY_X25519 ? 255
                               : base == EVP_PKEY_X448 ? 448
                                                       : static_cast<DWORD>(EVP_PKEY_get_bits(temp));
    }
    ERR_clear_error();
}

void StreamSizes(SSL* ssl, SecPkgContext_StreamSizes* sizes)
{
    std::memset(sizes, 0, sizeof *sizes);
    sizes->cbHeader = 5;
    sizes->cbMaximumMessage = 16384;
    sizes->cBuffers = 4;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr)
        return;
    const int version = SSL_version(ssl);
    const bool aead = SSL_CIPHER_is_aead(cipher) == 1;
    const int nid = SSL_CIPHER_get_cipher_nid(cipher);
    const bool block = !aead && nid != NID_rc4 && nid != NID_undef;
    const ULONG blockSize =
        block ? (nid == NID_des_ede3_cbc || nid == NID_des_cbc ? 8u : 16u) : (aead ? 16u : 1u);
    sizes->cbBlockSize = blockSize;
    if (aead)
    {
        const bool chacha = nid == NID_chacha20_poly1305;
        if (version == TLS1_2_VERSION && !chacha)
            sizes->cbHeader += 8; // explicit nonce
        sizes->cbTrailer = version == TLS1_3_VERSION ? 17 : 16;
        return;
    }
    if (block && version >= TLS1_1_VERSION)
        sizes->cbHeader += blockSize; // explicit IV
    ULONG mac = 0;
    switch (SSL_CIPHER_get_digest_nid(cipher))
    {
    case NID_md5: mac = 16; break;
    case NID_sha1: mac = 20; break;
    case NID_sha256: mac = 32; break;
    case NID_sha384: mac = 48; break;
    default: break;
    }
    sizes->cbTrailer = mac + (block ? blockSize : 0);
}

SECURITY_STATUS RemoteCertificate(SSL* ssl, PCCERT_CONTEXT* out)
{
    X509* leaf = SSL_get0_peer_certificate(ssl);
    STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
    if (leaf == nullptr)
        return SEC_E_NO_CREDENTIALS;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr)
        return SEC_E_INSUFFICIENT_MEMORY;
    PCCERT_CONTEXT leafContext = nullptr;
    auto add = [&](X509* x, bool isLeaf) {
        platform::CertAddX509ToStore(store, x, isLeaf ? &leafContext : nullptr);
    };
    // On a client the sent chain starts with the server's own certificate.
    bool leafAdded = false;
    for (int i = 0; sent && i < sk_X509_num(sent); ++i)
    {
        X509* x = sk_X509_value(sent, i);
        const bool isLeaf = !leafAdded && X509_cmp(x, leaf) == 0;
        leafAdded = leafAdded || isLeaf;
        add(x, isLeaf);
    }
    if (!leafAdded)
        add(leaf, true);
    CertCloseStore(store, 0); // the context keeps the store alive
    ERR_clear_error();
    if (leafContext == nullptr)
        return SEC_E_INTERNAL_ERROR;
    *out = leafContext;
    return SEC_E_OK;
}

SECURITY_STATUS WINAPI QueryContextAttributesA(CtxtHandle* contextHandle, ULONG attribute, void* buffer)
{
    Context* context = g_contexts.Find(contextHandle);
    if (context == nullptr)
        return SEC_E_INVALID_HANDLE;
    if (buffer == nullptr)
        return SEC_E_INVALID_TOKEN;
    if (attribute == SECPKG_ATTR_KV_HANDSHAKE_ALERT)
    {
        auto* alert = static_cast<SecPkgContext_KvHandshakeAlert*>(buffer);
        alert->dwSource = context->alertSource;
        alert->dwDescription = context->alertDescription;
        return SEC_E_OK;
    }
    if (!context->handshakeDone || context->failed)
        return SEC_E_INVALID_HANDLE;
    switch (attribute)
    {
    case SECPKG_ATTR_CONNECTION_INFO:
        ConnectionInfo(context->ssl.get(), static_cast<SecPkgContext_ConnectionInfo*>(buffer));
        return SEC_E_OK;
    case SECPKG_ATTR_STREAM_SIZES:
        StreamSizes(context->ssl.get(), static_cast<SecPkgContext_StreamSizes*>(buffer));
        return SEC_E_OK;
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT:
        return RemoteCertificate(context->ssl.get(), static_cast<PCCERT_CONTEXT*>(buffer));
    default: return SEC_E_UNSUPPORTED_FUNCTION;
    }
}

SECURITY_STATUS WINAPI FreeContextBuffer(void* buffer)
{
    std::free(buffer);
    return SEC_E_OK;
}

SecurityFunctionTableA g_table = [] {
    SecurityFunctionTableA table{};
    table.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
    constexpr SECURITY_STATUS noMemory = SEC_E_INSUFFICIENT_MEMORY;
    constexpr SECURITY_STATUS failure = SEC_E_INTERNAL_ERROR;
    table.AcquireCredentialsHandleA = GuardedEntry<AcquireCredentialsHandleA, noMemory, failure>;
    table.FreeCredentialsHandle = GuardedEntry<FreeCredentialsHandle, noMemory, failure>;
    table.InitializeSecurityContextA = GuardedEntry<InitializeSecurityContextA, noMemory, failure>;
    table.DeleteSecurityContext = GuardedEntry<DeleteSecurityContext, noMemory, failure>;
    table.ApplyControlToken = GuardedEntry<ApplyControlToken, noMemory, failure>;
    table.QueryContextAttributesA = GuardedEntry<QueryContextAttributesA, noMemory, failure>;
    table.FreeContextBuffer = GuardedEntry<FreeContextBuffer, noMemory, failure>;
    return table;
}();
} // namespace

KV_EXPORT SecurityFunctionTableA* InitSecurityInterfaceA()
{
    // Like the platform's own provider, the module stays once loaded: its
    // prepared contexts outlive any one caller's FreeLibrary.
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&InitSecurityInterfaceA), &self) && self.dli_fname)
            dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    });
    return &g_table;
}
