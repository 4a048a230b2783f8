#include "handshake_driver.h"

// RAND_METHOD is the one seam OpenSSL 3.0 keeps for swapping every random
// byte it draws, key generation included.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" SecurityFunctionTableA* InitSecurityInterfaceA();

namespace fuzzing
{
namespace
{
constexpr ULONG kRequirements = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr size_t kInputSize = 0x10000;
// A record header and the largest body a record may claim.
constexpr ULONG kMaxMissing = 5 + 16384 + 2048;

uint64_t g_random = 0;

int FixedBytes(unsigned char* out, int count)
{
    for (int i = 0; i < count; ++i)
    {
        // splitmix64, one byte a step: plain, fixed, and never the same twice in a run
        uint64_t z = (g_random += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
    return 1;
}
int FixedSeed(const void*, int) { return 1; }
int FixedAdd(const void*, int, double) { return 1; }
int FixedStatus() { return 1; }

RAND_METHOD g_method = {FixedSeed, FixedBytes, nullptr, FixedAdd, FixedBytes, FixedStatus};

bool Documented(SECURITY_STATUS status)
{
    switch (status)
    {
    case SEC_E_OK:
    case SEC_I_CONTINUE_NEEDED:
    case SEC_E_INCOMPLETE_MESSAGE:
    case SEC_I_INCOMPLETE_CREDENTIALS:
    // the failures a peer's bytes may cause
    case SEC_E_INVALID_TOKEN:
    case SEC_E_ILLEGAL_MESSAGE:
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_INTERNAL_ERROR: return true;
    default: return false;
    }
}

// A token is handed back either whole or not at all; the tester sends it only
// with these statuses, so any other status must come without one.
void TakeToken(SecurityFunctionTableA* sspi, SecBuffer& token, bool sendable, const Sender& send,
               const char* where)
{
    Expect(token.BufferType == SECBUFFER_TOKEN, where, token.BufferType);
    Expect((token.pvBuffer == nullptr) == (token.cbBuffer == 0), where, token.cbBuffer);
    if (token.pvBuffer == nullptr)
        return;
    Expect(sendable, where, token.cbBuffer);
    send(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    Expect(sspi->FreeContextBuffer(token.pvBuffer) == SEC_E_OK, "FreeContextBuffer");
    token = {0, SECBUFFER_TOKEN, nullptr};
}

// What the report reads once the handshake is done.
void QueryFacts(SecurityFunctionTableA* sspi, CtxtHandle* context)
{
    SecPkgContext_ConnectionInfo info{};
    Expect(sspi->QueryContextAttributesA(context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK,
           "connection info");
    SecPkgContext_StreamSizes sizes{};
    Expect(sspi->QueryContextAttributesA(context, SECPKG_ATTR_STREAM_SIZES, &sizes) == SEC_E_OK,
           "stream sizes");
    Expect(sizes.cbHeader >= 5 && sizes.cbMaximumMessage == 16384, "stream sizes", sizes.cbHeader);
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS status =
        sspi->QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    Expect((status == SEC_E_OK) == (certificate != nullptr), "remote certificate", status);
    if (certificate)
    {
        Expect(certificate->pCertInfo != nullptr && certificate->cbCertEncoded > 0, "remote certificate");
        CertFreeCertificateContext(certificate);
    }
}

// The close-notify: after a handshake it is a token; before one, nothing.
size_t CloseNotify(SecurityFunctionTableA* sspi, CtxtHandle* context, bool established, const Sender& send)
{
    DWORD control = SCHANNEL_SHUTDOWN;
    SecBuffer controlBuffer{sizeof control, SECBUFFER_TOKEN, &control};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &controlBuffer};
    Expect(sspi->ApplyControlToken(context, &controlDesc) == SEC_E_OK, "ApplyControlToken");
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = sspi->InitializeSecurityContextA(
        Credentials(), context, nullptr, kRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0, nullptr,
        &outDesc, &attributes, &expiry);
    Expect(status == SEC_E_OK, "shutdown status", status);
    const size_t size = out.cbBuffer;
    Expect(established ? size > 0 : size == 0, "close-notify token", static_cast<long long>(size));
    TakeToken(sspi, out, true, send, "close-notify token");
    return size;
}
} // namespace

void Broken(const char* what, long long value)
{
    std::fprintf(stderr, "handshake driver: broken promise: %s (%lld)\n", what, value);
    std::abort();
}

void FixRandom() { RAND_set_rand_method(&g_method); }

void ResetRandom() { g_random = 0x4B56; }

SecurityFunctionTableA* Provider()
{
    static SecurityFunctionTableA* table = InitSecurityInterfaceA();
    return table;
}

CredHandle* Credentials()
{
    static CredHandle* handle = [] {
        static CredHandle credentials{};
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = 0xFF0;
        cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
        char package[] = UNISP_NAME_A;
        TimeStamp expiry;
        const SECURITY_STATUS status = Provider()->AcquireCredentialsHandleA(
            nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &credentials, &expiry);
        Expect(status == SEC_E_OK, "AcquireCredentialsHandle", status);
        return &credentials;
    }();
    return handle;
}

Outcome Handshake(const Reader& read, const Sender& send, const char* host)
{
    SecurityFunctionTableA* sspi = Provider();
    Outcome outcome;
    CtxtHandle context{};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = sspi->InitializeSecurityContextA(Credentials(), nullptr, const_cast<char*>(host),
                                                              kRequirements, 0, SECURITY_NATIVE_DREP, nullptr,
                                                              0, &context, &outDesc, &attributes, &expiry);
    Expect(status == SEC_I_CONTINUE_NEEDED && out.cbBuffer > 0, "first call", status);
    TakeToken(sspi, out, true, send, "first token");

    std::vector<char> buffer(kInputSize);
    size_t received = 0;
    bool doRead = true;
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
           status == SEC_I_INCOMPLETE_CREDENTIALS)
    {
        if (received == 0 || status == SEC_E_INCOMPLETE_MESSAGE)
        {
            if (doRead)
            {
                const size_t room = kInputSize - received;
                const size_t n = room ? read(buffer.data() + received, room) : 0;
                Expect(n <= room, "reader overran", static_cast<long long>(n));
                if (n == 0)
                {
                    status = SEC_E_INTERNAL_ERROR; // "disconnected unexpectedly"
                    break;
                }
                received += n;
            }
            else
                doRead = true;
        }

        SecBuffer in[2] = {{static_cast<ULONG>(received), SECBUFFER_TOKEN, buffer.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        out = {0, SECBUFFER_TOKEN, nullptr};
        attributes = 0;
        status = sspi->InitializeSecurityContextA(Credentials(), &context, nullptr, kRequirements, 0,
                                                  SECURITY_NATIVE_DREP, &inDesc, 0, nullptr, &outDesc,
                                                  &attributes, &expiry);
        ++outcome.calls;

        Expect(Documented(status), "status outside the documented set", status);
        Expect(in[0].BufferType == SECBUFFER_TOKEN && in[0].cbBuffer == received &&
                   in[0].pvBuffer == buffer.data(),
               "input token changed");
        const ULONG slot = in[1].BufferType;
        Expect(slot == SECBUFFER_EMPTY || slot == SECBUFFER_EXTRA || slot == SECBUFFER_MISSING,
               "second buffer type", slot);
        if (slot == SECBUFFER_EXTRA)
        {
            Expect(status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED, "EXTRA with this status", status);
            Expect(in[1].cbBuffer > 0 && in[1].cbBuffer <= received, "EXTRA larger than the input",
                   in[1].cbBuffer);
        }
        if (slot == SECBUFFER_MISSING)
        {
            Expect(status == SEC_E_INCOMPLETE_MESSAGE, "MISSING with this status", status);
            Expect(in[1].cbBuffer > 0 && in[1].cbBuffer <= kMaxMissing, "MISSING count", in[1].cbBuffer);
        }
        const bool sendable = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                              (status < 0 && (attributes & ISC_RET_EXTENDED_ERROR));
        TakeToken(sspi, out, sendable, send, "token with a status that sends none");

        if (status == SEC_E_INCOMPLETE_MESSAGE)
            continue;
        if (status == SEC_E_OK)
        {
            outcome.established = true;
            outcome.extra = slot == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
            break;
        }
        if (status < 0)
            break;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        {
            doRead = false;
            status = SEC_I_CONTINUE_NEEDED;
            continue;
        }
        if (slot == SECBUFFER_EXTRA)
        {
            const size_t k = in[1].cbBuffer;
            std::memmove(buffer.data(), buffer.data() + (received - k), k);
            received = k;
        }
        else
            received = 0;
    }
    outcome.status = status;

    if (outcome.established)
        QueryFacts(sspi, &context);
    else
    {
        // A context that never got there answers no questions.
        SecPkgContext_StreamSizes sizes{};
        Expect(sspi->QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK,
               "facts of a context without a handshake");
    }
    outcome.closeNotify = CloseNotify(sspi, &context, outcome.established, send);
    Expect(sspi->DeleteSecurityContext(&context) == SEC_E_OK, "DeleteSecurityContext");
    return outcome;
}

} // namespace fuzzing
