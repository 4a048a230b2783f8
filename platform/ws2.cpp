#include "ws2.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ws2
{
namespace
{
std::atomic<int> g_startups{0};
std::atomic<int> g_startupFailure{0};
thread_local int t_wsaError = 0;

std::mutex g_resolverMutex;
std::shared_ptr<const ListResolver> g_resolver; // null: the system's resolver

// The WSA code of a failed getaddrinfo, as the platform's lookup gives it.
int WsaErrorFromLookup(int error)
{
    switch (error)
    {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    default: return WSANO_RECOVERY;
    }
}

Lookup SystemLookup(const char* name)
{
    Lookup found;
    if (*name == '\0')
    {
        found.error = WSAHOST_NOT_FOUND;
        return found;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name, nullptr, &hints, &result);
    if (rc != 0)
    {
        found.error = WsaErrorFromLookup(rc);
        return found;
    }
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next)
        found.addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
    ::freeaddrinfo(result);
    return found;
}

int Fd(SOCKET s) { return s > static_cast<SOCKET>(INT32_MAX) ? -1 : static_cast<int>(s); }

int FailFromErrno()
{
    t_wsaError = WsaErrorFromErrno(errno);
    return SOCKET_ERROR;
}

bool NotStarted()
{
    if (g_startups.load() > 0)
        return false;
    t_wsaError = WSANOTINITIALISED;
    return true;
}
} // namespace

int WsaErrorFromErrno(int error)
{
    switch (error)
    {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK; // a non-blocking connect under way reads so on Windows
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case EPIPE:
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

void FdZero(fd_set* set) { set->fd_count = 0; }

void FdSet(SOCKET s, fd_set* set)
{
    for (unsigned i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s)
            return;
    if (set->fd_count < kFdSetSize)
        set->fd_array[set->fd_count++] = s;
}

bool FdIsSet(SOCKET s, const fd_set* set)
{
    for (unsigned i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s)
            return true;
    return false;
}

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    if (const int failure = g_startupFailure.load())
        return failure;
    if (data == nullptr)
        return WSAEFAULT;
    const BYTE major = versionRequested & 0xFF;
    if (major < 1)
        return WSAVERNOTSUPPORTED;
    std::memset(data, 0, sizeof *data);
    data->wVersion = major >= 2 ? 0x0202 : versionRequested;
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    ++g_startups;
    return 0;
}

int WSACleanup()
{
    int count = g_startups.load();
    while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1))
    {}
    if (count <= 0)
    {
        t_wsaError = WSANOTINITIALISED;
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAGetLastError() { return t_wsaError; }
void WSASetLastError(int code) { t_wsaError = code; }

SOCKET socket(int af, int type, int protocol)
{
    if (NotStarted())
        return INVALID_SOCKET;
    const int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
    {
        FailFromErrno();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s)
{
    const int fd = Fd(s);
    if (fd < 0)
    {
        t_wsaError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    return ::close(fd) == 0 ? 0 : FailFromErrno();
}

int shutdown(SOCKET s, int how)
{
    const int native = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(Fd(s), native) == 0 ? 0 : FailFromErrno();
}

int connect(SOCKET s, const sockaddr* name, int nameLength)
{
    return ::connect(Fd(s), name, static_cast<socklen_t>(nameLength)) == 0 ? 0 : FailFromErrno();
}

int send(SOCKET s, const char* buffer, int length, int flags)
{
    if (length < 0)
    {
        t_wsaError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    const ssize_t n = ::send(Fd(s), buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    return n < 0 ? FailFromErrno() : static_cast<int>(n);
}

int recv(SOCKET s, char* buffer, int length, int flags)
{
    if (length < 0)
    {
        t_wsaError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    ssize_t n;
    do
        n = ::recv(Fd(s), buffer, static_cast<size_t>(length), flags);
    while (n < 0 && errno == EINTR);
    return n < 0 ? FailFromErrno() : static_cast<int>(n);
}

int ioctlsocket(SOCKET s, long command, u_long* argp)
{
    const int fd = Fd(s);
    if (argp == nullptr)
    {
        t_wsaError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (command == FIONBIO)
    {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return FailFromErrno();
        const int wanted = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(fd, F_SETFL, wanted) == 0 ? 0 : FailFromErrno();
    }
    if (command == FIONREAD)
    {
        int count = 0;
        if (::ioctl(fd, FIONREAD, &count) != 0)
            return FailFromErrno();
        *argp = static_cast<u_long>(count);
        return 0;
    }
    t_wsaError = WSAEINVAL;
    return SOCKET_ERROR;
}

int select(int /*ignored*/, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, const timeval* timeout)
{
    pollfd fds[3 * kFdSetSize];
    nfds_t count = 0;
    auto add = [&](fd_set* set, short events) {
        if (set == nullptr)
            return;
        for (unsigned i = 0; i < set->fd_count; ++i)
            fds[count++] = pollfd{Fd(set->fd_array[i]), events, 0};
    };
    add(readSet, POLLIN);
    add(writeSet, POLLOUT);
    add(exceptSet, POLLPRI);
    if (count == 0)
    {
        t_wsaError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    for (nfds_t i = 0; i < count; ++i)
        if (fds[i].fd < 0)
        {
            t_wsaError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }

    const int waitMs =
        timeout == nullptr ? -1 : static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000);
    int rc;
    do
        rc = ::poll(fds, count, waitMs);
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return FailFromErrno();

    for (nfds_t i = 0; i < count; ++i)
        if (fds[i].revents & POLLNVAL)
        {
            t_wsaError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }

    // Windows reports a failed connect only in the exception set, never as
    // writable; Linux flags it POLLOUT|POLLERR.
    int ready = 0;
    nfds_t at = 0;
    auto collect = [&](fd_set* set, auto isReady) {
        if (set == nullptr)
            return;
        fd_set result{};
        for (unsigned i = 0; i < set->fd_count; ++i, ++at)
            if (isReady(fds[at].revents))
                result.fd_array[result.fd_count++] = set->fd_array[i];
        ready += static_cast<int>(result.fd_count);
        *set = result;
    };
    collect(readSet, [](short r) { return (r & (POLLIN | POLLHUP | POLLERR)) != 0; });
    collect(writeSet, [](short r) { return (r & POLLOUT) != 0 && (r & POLLERR) == 0; });
    collect(exceptSet, [](short r) { return (r & (POLLPRI | POLLERR)) != 0; });
    return ready;
}

int getsockname(SOCKET s, sockaddr* name, int* nameLength)
{
    if (name == nullptr || nameLength == nullptr)
    {
        t_wsaError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    socklen_t length = static_cast<socklen_t>(*nameLength);
    if (::getsockname(Fd(s), name, &length) != 0)
        return FailFromErrno();
    *nameLength = static_cast<int>(length);
    return 0;
}

int setsockopt(SOCKET s, int level, int name, const char* value, int length)
{
    return ::setsockopt(Fd(s), level, name, value, static_cast<socklen_t>(length)) == 0 ? 0 : FailFromErrno();
}

int getsockopt(SOCKET s, int level, int name, char* value, int* length)
{
    if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(int)))
    {
        t_wsaError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (level != SOL_SOCKET || name != SO_ERROR)
    {
        t_wsaError = WSAENOPROTOOPT;
        return SOCKET_ERROR;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return FailFromErrno();
    const int code = error == 0 ? 0 : WsaErrorFromErrno(error);
    std::memcpy(value, &code, sizeof code);
    *length = sizeof code;
    return 0;
}

hostent* gethostbyname(const char* name)
{
    thread_local in_addr t_addresses[kMaxAddresses];
    thread_local char* t_addressList[kMaxAddresses + 1];
    thread_local std::string t_name;
    thread_local hostent t_entry;

    if (name == nullptr)
    {
        t_wsaError = WSAEFAULT;
        return nullptr;
    }
    if (NotStarted())
        return nullptr;

    // The lock covers only taking the seam: parallel presses resolve at
    // once, and a slow name must not hold up the others.
    std::shared_ptr<const ListResolver> resolver;
    {
        std::lock_guard<std::mutex> lock(g_resolverMutex);
        resolver = g_resolver;
    }
    const Lookup found = resolver ? (*resolver)(name) : SystemLookup(name);
    if (found.addresses.empty())
    {
        t_wsaError = found.error != 0 ? found.error : WSAHOST_NOT_FOUND;
        return nullptr;
    }
    // getaddrinfo gives an address once per socket type asked for; each once here.
    size_t count = 0;
    for (const in_addr& address : found.addresses)
    {
        bool seen = false;
        for (size_t i = 0; i < count; ++i)
            seen = seen || t_addresses[i].s_addr == address.s_addr;
        if (!seen && count < kMaxAddresses)
            t_addresses[count++] = address;
    }
    for (size_t i = 0; i < count; ++i)
        t_addressList[i] = reinterpret_cast<char*>(&t_addresses[i]);
    t_addressList[count] = nullptr;
    t_name = name;
    t_entry = hostent{t_name.data(), nullptr, AF_INET, 4, t_addressList};
    return &t_entry;
}

char* inet_ntoa(in_addr address)
{
    thread_local char t_text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &address, t_text, sizeof t_text) ? t_text : nullptr;
}

unsigned long inet_addr(const char* text) { return ::inet_addr(text); }

void SetResolver(Resolver resolver)
{
    if (!resolver)
    {
        SetListResolver(nullptr);
        return;
    }
    SetListResolver([single = std::move(resolver)](const std::string& name) {
        Lookup found;
        if (const std::optional<in_addr> address = single(name))
            found.addresses.push_back(*address);
        return found;
    });
}

void SetListResolver(ListResolver resolver)
{
    auto installed = resolver ? std::make_shared<const ListResolver>(std::move(resolver)) : nullptr;
    std::lock_guard<std::mutex> lock(g_resolverMutex);
    g_resolver = std::move(installed);
}

void SetStartupFailure(int code) { g_startupFailure.store(code); }

} // namespace ws2
