// Issuers fetched by URL. When a chain lacks an issuer, the chain engine
// looks at the top certificate's Authority Information Access "CA Issuers"
// URLs and asks the retrieval module ("Cryptnet.dll", loaded only then) for
// each; what comes back is only a candidate issuer, verified like any other
// certificate. Answers, failures included, are kept for the life of the
// process.
#pragma once

#include "windef.h"

// What a retrieval waits on: the caller's millisecond tick counter and one
// wait on a socket, so the caller's clock bounds the time.
struct CRYPTNET_WAIT
{
    void* pvContext;
    DWORD (*pfnTicks)(void* context);
    // Sleeps until the socket can be written (connecting) or read, or ms
    // pass; a socket of -1 only sleeps.
    void (*pfnWait)(void* context, int socket, BOOL connecting, DWORD ms);
};

// The module's one entry point: fetches a plain http URL into buffer, at
// most *size bytes, within timeoutMs of the wait's ticks; *size gets the
// length. ERROR_SUCCESS, or one of the codes below.
typedef DWORD(WINAPI* PFN_CRYPTNET_RETRIEVE_URL)(const char* url, DWORD timeoutMs, const CRYPTNET_WAIT* wait,
                                                 BYTE* buffer, DWORD* size);
#define CRYPTNET_MODULE_NAME "Cryptnet.dll"
#define CRYPTNET_RETRIEVE_URL_NAME "CryptnetRetrieveUrl"

constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;

namespace platform
{
// The bounds of the fetching: one wait's worth of time for all the fetches
// of a chain, an answer of a few tens of KiB, a few URLs per chain.
constexpr DWORD kIssuerFetchMs = 10000;
constexpr DWORD kMaxIssuerAnswer = 32 * 1024;
constexpr int kMaxIssuerUrlsPerChain = 3;
constexpr int kMaxIssuerAnswerCertificates = 8;

// The clock fetches wait on; null puts the system's back.
void SetIssuerFetchWait(const CRYPTNET_WAIT* wait);
// Off for the process when false; KESTAVANE_FETCH_ISSUERS=no (or 0, off,
// false) switches it off too.
void SetIssuerFetching(bool enabled);
bool IssuerFetchingEnabled();
} // namespace platform
