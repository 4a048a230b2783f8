// Windows Sockets 2 stand-in over BSD sockets.
//
// The names and results are those of WS2_32: SOCKET handles with
// INVALID_SOCKET = all bits set, SOCKET_ERROR = -1, and WSAGetLastError
// giving WSAE* codes mapped from errno. Sets for select() are the Windows
// kind (a counted array), so no descriptor number can overrun them, and
// select() computes what poll() needs itself: the first argument is ignored
// exactly as on Windows. No send raises SIGPIPE.
#pragma once

#include "windef.h"

#include <functional>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <vector>

namespace ws2
{

typedef uintptr_t SOCKET;
typedef uint32_t u_long; // 32 bits, as on Windows
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// ioctlsocket takes the commands FIONBIO and FIONREAD of <sys/ioctl.h>.

// The WSA error codes the system prints or tests for.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001; // the name does not exist
constexpr int WSATRY_AGAIN = 11002;      // no answer from a name server, for now
constexpr int WSANO_RECOVERY = 11003;    // the lookup failed for good
constexpr int WSANO_DATA = 11004;        // the name exists but has no address of the kind asked for

struct WSADATA
{
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

constexpr unsigned kFdSetSize = 64; // FD_SETSIZE of Windows
struct fd_set
{
    unsigned fd_count;
    SOCKET fd_array[kFdSetSize];
};
void FdZero(fd_set* set);
void FdSet(SOCKET s, fd_set* set);
bool FdIsSet(SOCKET s, const fd_set* set);

struct timeval
{
    long tv_sec;
    long tv_usec;
};

struct hostent
{
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int connect(SOCKET s, const sockaddr* name, int nameLength);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int ioctlsocket(SOCKET s, long command, u_long* argp);
int select(int ignored, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, const timeval* timeout);
int getsockname(SOCKET s, sockaddr* name, int* nameLength);
int setsockopt(SOCKET s, int level, int name, const char* value, int length);
// Only SO_ERROR at SOL_SOCKET: the socket's pending error as a WSA code (0
// when none), cleared by the reading, as Windows gives it.
int getsockopt(SOCKET s, int level, int name, char* value, int* length);

// One IPv4 host lookup; the result lives until the next call on this thread.
// Its address list holds every IPv4 address of the name, in the resolver's
// order (at most kMaxAddresses). A failure says why through WSAGetLastError:
// WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN or WSANO_RECOVERY.
constexpr size_t kMaxAddresses = 16;
hostent* gethostbyname(const char* name);
char* inet_ntoa(in_addr address);
unsigned long inet_addr(const char* text);

// Maps an errno value to the WSA code Windows would give.
int WsaErrorFromErrno(int error);

// Seams for tests: a resolver that answers instead of the system's, and a
// start-up that fails with the given code. The resolver is called from every
// thread that looks a name up, with no lock held, so it must be safe to call
// at once from several; a lookup under way keeps the one it started with.
using Resolver = std::function<std::optional<in_addr>(const std::string& name)>;
void SetResolver(Resolver resolver);
// The same seam for a name with several addresses, or a lookup that fails
// for a given reason: no addresses and the WSA code why (WSAHOST_NOT_FOUND
// when 0).
struct Lookup
{
    std::vector<in_addr> addresses;
    int error = 0;
};
using ListResolver = std::function<Lookup(const std::string& name)>;
void SetListResolver(ListResolver resolver);
void SetStartupFailure(int code);

} // namespace ws2
