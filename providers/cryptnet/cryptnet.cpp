// The URL retrieval module ("Cryptnet.dll"): fetches what a certificate
// points at over plain http, for the chain engine's missing issuers. libcurl
// moves the bytes; the caller's clock bounds the time and does every wait,
// so a silent server's bound is the caller's to pass. Loaded only when a
// chain lacks an issuer, so no other process pays for libcurl.

#include "cryptnet.h"
#include "module_entry.h"

#include <curl/curl.h>
#include <sys/select.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <strings.h>

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
constexpr long kMaxRedirects = 3;

// libcurl's process-wide set-up, counted, for as long as a retrieval runs.
class CCurlGlobal
{
public:
    CCurlGlobal() : m_bReady(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}
    ~CCurlGlobal()
    {
        if (m_bReady)
            curl_global_cleanup();
    }
    CCurlGlobal(const CCurlGlobal&) = delete;
    CCurlGlobal& operator=(const CCurlGlobal&) = delete;
    explicit operator bool() const { return m_bReady; }

private:
    bool m_bReady;
};

struct EasyCleanup
{
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup
{
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Multi = std::unique_ptr<CURLM, MultiCleanup>;

// A transfer in a multi handle; taken out again before either is cleaned up.
class CTransfer
{
public:
    CTransfer(CURLM* multi, CURL* easy) : m_multi(multi), m_easy(easy)
    {
        m_bAdded = curl_multi_add_handle(multi, easy) == CURLM_OK;
    }
    ~CTransfer()
    {
        if (m_bAdded)
            curl_multi_remove_handle(m_multi, m_easy);
    }
    CTransfer(const CTransfer&) = delete;
    CTransfer& operator=(const CTransfer&) = delete;
    explicit operator bool() const { return m_bAdded; }

private:
    CURLM* m_multi;
    CURL* m_easy;
    bool m_bAdded;
};

// The body, into the caller's buffer and no further.
struct Body
{
    BYTE* buffer;
    size_t capacity;
    size_t used = 0;
    bool overflow = false;
};

size_t Receive(char* data, size_t one, size_t count, void* user)
{
    auto* body = static_cast<Body*>(user);
    const size_t n = one * count;
    if (n > body->capacity - body->used)
    {
        body->overflow = true;
        return 0; // ends the transfer
    }
    std::memcpy(body->buffer + body->used, data, n);
    body->used += n;
    return n;
}

// The socket libcurl waits on, writable while it connects; -1 for none.
int SocketToWaitOn(CURLM* multi, bool* connecting)
{
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    int highest = -1;
    *connecting = false;
    if (curl_multi_fdset(multi, &readable, &writable, &failed, &highest) != CURLM_OK)
        return -1;
    for (int fd = 0; fd <= highest; ++fd)
        if (FD_ISSET(fd, &writable))
        {
            *connecting = true;
            return fd;
        }
    for (int fd = 0; fd <= highest; ++fd)
        if (FD_ISSET(fd, &readable))
            return fd;
    return -1;
}

DWORD StatusFor(CURLcode code, const Body& body)
{
    switch (code)
    {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_FILESIZE_EXCEEDED: return ERROR_FILE_TOO_LARGE;
    case CURLE_WRITE_ERROR: return body.overflow ? ERROR_FILE_TOO_LARGE : ERROR_INVALID_DATA;
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_TIMEOUT;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_NOT_SUPPORTED;
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_DATA;
    }
}

DWORD RetrieveUrl(const char* url, DWORD timeoutMs, const CRYPTNET_WAIT* wait, BYTE* buffer, DWORD* size)
{
    if (url == nullptr || wait == nullptr || wait->pfnTicks == nullptr || wait->pfnWait == nullptr ||
        size == nullptr || (buffer == nullptr && *size > 0))
        return ERROR_INVALID_PARAMETER;
    if (::strncasecmp(url, "http://", 7) != 0)
        return ERROR_NOT_SUPPORTED;
    const CCurlGlobal global;
    if (!global)
        return ERROR_NOT_ENOUGH_MEMORY;
    const Easy easy(curl_easy_init());
    const Multi multi(curl_multi_init());
    if (easy == nullptr || multi == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;

    Body body{buffer, *size};
    CURL* e = easy.get();
    // Plain http only, redirects included; an answer too large for the
    // buffer is refused before it comes when its length is announced.
    const bool set =
        curl_easy_setopt(e, CURLOPT_URL, url) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(*size)) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Receive) == CURLE_OK &&
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &body) == CURLE_OK;
    if (!set)
        return ERROR_NOT_SUPPORTED;
    const CTransfer transfer(multi.get(), e);
    if (!transfer)
        return ERROR_NOT_ENOUGH_MEMORY;

    const DWORD start = wait->pfnTicks(wait->pvContext);
    for (;;)
    {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            return ERROR_INVALID_DATA;
        if (running == 0)
            break;
        const DWORD elapsed = wait->pfnTicks(wait->pvContext) - start;
        if (elapsed >= timeoutMs)
            return ERROR_TIMEOUT;
        // Until the socket is ready, libcurl's next timer or the deadline.
        long curlMs = -1;
        curl_multi_timeout(multi.get(), &curlMs);
        DWORD ms = timeoutMs - elapsed;
        bool connecting = false;
        const int socket = SocketToWaitOn(multi.get(), &connecting);
        if (curlMs >= 0)
            ms = std::min<DWORD>(ms, static_cast<DWORD>(curlMs));
        else if (socket < 0)
            ms = std::min<DWORD>(ms, 100); // nothing to wait on and no timer: look again soon
        if (ms > 0)
            wait->pfnWait(wait->pvContext, socket, connecting ? TRUE : FALSE, ms);
    }

    int left = 0;
    const CURLMsg* message = curl_multi_info_read(multi.get(), &left);
    const CURLcode code = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_RECV_ERROR;
    const DWORD status = StatusFor(code, body);
    if (status != ERROR_SUCCESS)
        return status;
    long response = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &response);
    if (response != 200)
        return ERROR_INVALID_DATA;
    *size = static_cast<DWORD>(body.used);
    return ERROR_SUCCESS;
}
} // namespace

// Nothing thrown leaves the module: memory running out and anything else
// answer with a status.
KV_EXPORT DWORD WINAPI CryptnetRetrieveUrl(const char* url, DWORD timeoutMs, const CRYPTNET_WAIT* wait,
                                           BYTE* buffer, DWORD* size)
{
    return GuardedEntry<RetrieveUrl, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA>(url, timeoutMs, wait,
                                                                                  buffer, size);
}
