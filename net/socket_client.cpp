#include "socket_client.h"

#include "causes.h"
#include "liveness.h"
#include "proxy_route.h"
#include "wait_clock.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr WORD kWinsockVersion = 0x0002; // 2.0: major in the low byte
constexpr DWORD kSocketTimeoutMs = 30000;
// A proxy's answer to CONNECT is a status line and a few headers.
constexpr size_t kMaxProxyAnswer = 16384;

// The host part of a name: what follows its last '@' that is not its first character.
const char* HostPart(const char* name)
{
    for (size_t i = std::strlen(name); i >= 1; --i)
        if (name[i] == '@')
            return name + i + 1;
    return name;
}

// A history owner that keeps the lines of a further address's test to
// itself, and the one record that test hands over.
class CSilentOwner : public CHistoryOwner, public CResultSink
{
public:
    CSilentOwner() { SetResultSink(this); }
    bool HistoryIsWindow() const override { return false; }
    void HistorySetText(const std::string&, size_t) override {}
    size_t HistoryGetTextLength() const override { return 0; }
    int HistoryGetLineCount() const override { return 0; }
    void HistoryLineScroll(int) override {}
    int MessageBox(const std::string&, unsigned) override { return IDNO; }
    void BeginPress(int, const std::string&) override {}
    void Target(const TargetRecord& record) override { m_record = record; }
    void Press(const PressRecord&) override {}

    TargetRecord m_record;
};
} // namespace

CSocketClient::CSocketClient(CHistoryOwner* owner)
    : m_port(0), m_ipAddress{}, m_addressFamily(AF_INET), m_socketType(SOCK_STREAM), m_wsaData{},
      m_socket(ws2::INVALID_SOCKET), m_serverAddr{}, m_winsockReady(false), m_startupResult(0),
      m_sendTimeout(kSocketTimeoutMs), m_recvTimeout(kSocketTimeoutMs), m_pOwner(owner)
{
    m_startupResult = ws2::WSAStartup(kWinsockVersion, &m_wsaData);
    m_winsockReady = m_startupResult == 0;
}

CSocketClient::~CSocketClient()
{
    Close();
    if (m_winsockReady)
        ws2::WSACleanup();
}

DWORD CSocketClient::ElapsedSince(DWORD start, DWORD now)
{
    return now >= start ? now - start : (0xFFFFFFFFu - start) + now;
}

bool CSocketClient::Connect(const std::string& host, int port, DWORD timeoutMs)
{
    if (!m_winsockReady)
        return Fail(
            Failure(TestStep::Connect, Cause::SocketError, m_startupResult, "TCPIP Startup  Failed."));
    if (m_socket != ws2::INVALID_SOCKET)
        return Fail(
            Failure(TestStep::Connect, Cause::SocketError, 0, "Socket to " + m_label + " Already Open."));

    if (const CProxyRoute* route = m_pOwner->ProxyRoute())
        if (const ProxyUrl* proxy = route->For(host, port))
            return ConnectThroughProxy(host, port, timeoutMs, *proxy);

    double start = Now();
    StepOutcome resolved = ResolveStep(host);
    resolved.ms = Now() - start;
    if (resolved.Failed())
        return Fail(resolved);
    Record(resolved);

    start = Now();
    StepOutcome connected = OpenConnection(port, timeoutMs);
    connected.ms = Now() - start;
    if (connected.Failed())
        return Fail(connected);
    Record(connected);
    return true;
}

bool CSocketClient::Fail(const StepOutcome& outcome)
{
    m_lastError = outcome.detail;
    Record(outcome);
    return false;
}

StepOutcome CSocketClient::ResolveStep(const std::string& host)
{
    StepOutcome found = LookUp(host);
    if (found.Failed())
        return found;
    m_record.resolvedAddress = m_ipAddress;
    AddToHistory(m_pOwner, "%s resolved to %s", host.c_str(), m_ipAddress);
    m_host = host;
    return found;
}

StepOutcome CSocketClient::LookUp(const std::string& host)
{
    AddToHistory(m_pOwner, "Attempting to resolve %s...", host.c_str());
    int resolved = 1;
    if (!m_pinnedAddress.empty())
    {
        if (m_pinnedAddress.size() < sizeof m_ipAddress)
        {
            std::memcpy(m_ipAddress, m_pinnedAddress.c_str(), m_pinnedAddress.size() + 1);
            resolved = 0;
        }
    }
    else
        resolved = ResolveHost(host.c_str(), m_ipAddress, sizeof m_ipAddress);
    if (resolved != 0)
    {
        // A lookup that found nothing says why; a text too long for the buffer has no code.
        const int error = resolved == 2 ? ws2::WSAGetLastError() : 0;
        return Failure(TestStep::Resolve, resolved == 2 ? LookupCause(error) : Cause::ResolveFailed, error,
                       "DNS Lookup of " + host + " Failed!");
    }
    return StepOutcome(TestStep::Resolve);
}

bool CSocketClient::ConnectThroughProxy(const std::string& host, int port, DWORD timeoutMs,
                                        const ProxyUrl& proxy)
{
    m_record.path = "proxy";
    m_record.proxy = proxy.Text();
    AddToHistory(m_pOwner, "Going through the proxy %s...", m_record.proxy.c_str());

    // The proxy looks the host up: this PC resolves and reaches only the proxy.
    double start = Now();
    StepOutcome found = LookUp(proxy.host);
    found.ms = Now() - start;
    if (found.Failed())
    {
        found.cause = Cause::ProxyUnreachable;
        return Fail(found);
    }
    AddToHistory(m_pOwner, "%s resolved to %s", proxy.host.c_str(), m_ipAddress);
    Record(found);

    start = Now();
    StepOutcome connected = OpenConnection(proxy.port, timeoutMs);
    if (!connected.Failed())
        connected = OpenTunnel(HostPart(host.c_str()), port, timeoutMs, proxy);
    connected.ms = Now() - start;
    if (connected.Failed())
    {
        if (connected.cause != Cause::SocketError && m_socket == ws2::INVALID_SOCKET)
            connected.cause = Cause::ProxyUnreachable; // the proxy's own connection failed
        Close();
        return Fail(connected);
    }
    Record(connected);
    m_host = host;
    return true;
}

StepOutcome CSocketClient::OpenTunnel(const std::string& host, int port, DWORD timeoutMs,
                                      const ProxyUrl& proxy)
{
    AddToHistory(m_pOwner, "Asking the proxy to connect to %s on port %d...", host.c_str(), port);
    const std::string failed = "Proxy Tunnel to " + m_label + " Failed.";
    const std::string request = ConnectRequest(proxy, host, port);
    for (size_t sent = 0; sent < request.size();)
    {
        const int n = Send(request.data() + sent, static_cast<int>(request.size() - sent));
        if (n <= 0)
            return Failure(TestStep::Connect, Cause::ProxyBadAnswer, ws2::WSAGetLastError(), failed);
        sent += static_cast<size_t>(n);
    }

    // The answer's head is taken to its blank line and not a byte further:
    // what follows is the host's, for the test.
    std::string answer;
    Cause unfinished = Cause::None;
    int32_t code = 0;
    const DWORD start = Ticks();
    for (;;)
    {
        char buffer[1024];
        const int n = ws2::recv(m_socket, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
        {
            const std::string seen = answer + std::string(buffer, static_cast<size_t>(n));
            const size_t end = seen.find("\r\n\r\n", answer.size() < 3 ? 0 : answer.size() - 3);
            const int take = end == std::string::npos ? n : static_cast<int>(end + 4 - answer.size());
            if (Receive(buffer, take) != take)
            {
                unfinished = Cause::ProxyBadAnswer;
                break;
            }
            answer.append(buffer, static_cast<size_t>(take));
            if (end != std::string::npos)
                break;
            if (answer.size() > kMaxProxyAnswer)
            {
                unfinished = Cause::ProxyBadAnswer;
                break;
            }
            continue;
        }
        if (n == 0 || ws2::WSAGetLastError() != ws2::WSAEWOULDBLOCK)
        {
            code = n == 0 ? 0 : ws2::WSAGetLastError();
            unfinished = Cause::ProxyBadAnswer;
            break;
        }
        if (ElapsedSince(start, Ticks()) >= timeoutMs)
        {
            unfinished = Cause::ProxyTimedOut;
            break;
        }
        WaitForData(start, timeoutMs);
    }

    const size_t lineEnd = answer.find("\r\n");
    if (lineEnd == std::string::npos)
        return Failure(TestStep::Connect, unfinished, code, failed);
    const std::string status = PrintableStatus(answer.substr(0, lineEnd));
    AddToHistory(m_pOwner, "Proxy answered: %s", status.c_str());
    Cause cause = ConnectAnswerCause(status);
    // A tunnel whose head did not end is no tunnel.
    if (cause == Cause::None && unfinished != Cause::None)
        cause = unfinished;
    if (cause == Cause::None)
        return StepOutcome(TestStep::Connect);
    const auto blank = status.find(' ');
    const std::string number = blank == std::string::npos ? std::string() : status.substr(blank + 1, 3);
    if (number.size() == 3 && std::isdigit(static_cast<unsigned char>(number[0])))
        code = std::atoi(number.c_str());
    return Failure(TestStep::Connect, cause, code, failed);
}

StepOutcome CSocketClient::OpenConnection(int port, DWORD timeoutMs)
{
    m_port = port;
    m_addressFamily = AF_INET;
    m_socketType = SOCK_STREAM;
    std::memset(&m_serverAddr, 0, sizeof m_serverAddr);
    m_serverAddr.sin_family = AF_INET;
    m_serverAddr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    m_serverAddr.sin_addr.s_addr = static_cast<in_addr_t>(ws2::inet_addr(m_ipAddress));

    const std::string creationFailed = "Socket Creation to " + m_label + " Failed.";
    m_socket = ws2::socket(AF_INET, SOCK_STREAM, 0);
    if (m_socket == ws2::INVALID_SOCKET)
        return Failure(TestStep::Connect, Cause::SocketError, ws2::WSAGetLastError(), creationFailed);
    if (SetNonBlocking(1) != 0)
    {
        const int error = ws2::WSAGetLastError();
        ws2::closesocket(m_socket);
        m_socket = ws2::INVALID_SOCKET;
        return Failure(TestStep::Connect, Cause::SocketError, error, creationFailed);
    }

    AddToHistory(m_pOwner, "Attempting to connect to %s on port %d...", m_ipAddress, port);
    bool connected = false;
    // Why it failed, as a WSA code; a wait that runs out is the platform's time-out.
    int error = 0;
    if (ws2::connect(m_socket, reinterpret_cast<const sockaddr*>(&m_serverAddr), sizeof m_serverAddr) == 0)
        connected = true;
    else if ((error = ws2::WSAGetLastError()) == ws2::WSAEWOULDBLOCK)
    {
        error = ws2::WSAETIMEDOUT;
        const DWORD start = Ticks();
        for (DWORD elapsed = 0;;)
        {
            // Sleeps until the connect ends, or into the pass after the bound.
            const DWORD left = timeoutMs - elapsed;
            Clock().Wait(m_socket, CWaitClock::Event::Connected, left < 0xFFFFFFFFu ? left + 1 : left);
            ws2::fd_set writeSet, exceptSet;
            ws2::FdZero(&writeSet);
            ws2::FdZero(&exceptSet);
            ws2::FdSet(m_socket, &writeSet);
            ws2::FdSet(m_socket, &exceptSet);
            const ws2::timeval poll{0, 0};
            const int ready = ws2::select(-1, nullptr, &writeSet, &exceptSet, &poll);
            if (ready == ws2::SOCKET_ERROR)
            {
                error = ws2::WSAGetLastError();
                break;
            }
            if (ready > 0)
            {
                connected = ws2::FdIsSet(m_socket, &writeSet);
                // Only in the exception set: the socket holds why.
                int pending = 0;
                int length = sizeof pending;
                if (!connected && ws2::getsockopt(m_socket, SOL_SOCKET, SO_ERROR,
                                                  reinterpret_cast<char*>(&pending), &length) == 0)
                    error = pending;
                break;
            }
            elapsed = ElapsedSince(start, Ticks());
            if (elapsed > timeoutMs)
                break;
        }
    }

    if (connected)
    {
        SetNonBlocking(0);
        return StepOutcome(TestStep::Connect);
    }
    ws2::closesocket(m_socket);
    m_socket = ws2::INVALID_SOCKET;
    return Failure(TestStep::Connect, ConnectCause(error), error,
                   "Socket Connect to " + m_label + " Failed.");
}

std::vector<std::string> CSocketClient::ResolveAll(const char* name)
{
    std::vector<std::string> addresses;
    const ws2::hostent* entry = ws2::gethostbyname(HostPart(name));
    for (char** at = entry ? entry->h_addr_list : nullptr; at != nullptr && *at != nullptr; ++at)
    {
        in_addr address;
        std::memcpy(&address, *at, sizeof address);
        if (const char* text = ws2::inet_ntoa(address))
            addresses.emplace_back(text);
    }
    return addresses;
}

int CSocketClient::ResolveHost(const char* name, char* buffer, int size)
{
    const ws2::hostent* entry = ws2::gethostbyname(HostPart(name));
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return 2;
    in_addr address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    const char* text = ws2::inet_ntoa(address);
    if (text == nullptr)
        return 2;
    const size_t length = std::strlen(text);
    if (size < 0 || static_cast<size_t>(size) < length + 1)
        return 1;
    std::memcpy(buffer, text, length + 1);
    return 0;
}

int CSocketClient::Close()
{
    if (m_socket == ws2::INVALID_SOCKET)
        return 0;
    int result = 0;
    if (m_socketType == SOCK_STREAM && ws2::shutdown(m_socket, ws2::SD_BOTH) != 0)
        result += 1;
    if (ws2::closesocket(m_socket) != 0)
        result += 2;
    m_socket = ws2::INVALID_SOCKET;
    return result;
}

int CSocketClient::Send(const char* data, int length)
{
    if (length <= 0)
        length = static_cast<int>(std::strlen(data));
    return ws2::send(m_socket, data, length, 0);
}

int CSocketClient::Receive(char* buffer, int size) { return ws2::recv(m_socket, buffer, size, 0); }

int CSocketClient::SetNonBlocking(DWORD nonBlocking)
{
    ws2::u_long mode = nonBlocking;
    return ws2::ioctlsocket(m_socket, FIONBIO, &mode) != 0 ? 1 : 0;
}

bool CSocketClient::HasPendingData()
{
    ws2::u_long count = 0;
    if (ws2::ioctlsocket(m_socket, FIONREAD, &count) != 0)
        return false;
    return count > 0;
}

bool CSocketClient::IsConnected()
{
    ws2::fd_set readSet;
    ws2::FdZero(&readSet);
    ws2::FdSet(m_socket, &readSet);
    const ws2::timeval poll{0, 0};
    int count = ws2::select(-1, &readSet, nullptr, nullptr, &poll);
    if (count == ws2::SOCKET_ERROR)
    {
        if (liveness::SelectErrorMeansGone(ws2::WSAGetLastError()))
            return false;
        count = -1;
    }

    SetNonBlocking(1);
    char byte;
    const int peeked = ws2::recv(m_socket, &byte, 1, MSG_PEEK);
    const int error = peeked == ws2::SOCKET_ERROR ? ws2::WSAGetLastError() : 0;
    SetNonBlocking(0);
    return liveness::PeekMeansConnected(count, peeked, error);
}

void CSocketClient::ReportSourceAddress()
{
    if (m_socket == ws2::INVALID_SOCKET)
        return;
    sockaddr_in local{};
    int length = sizeof local;
    if (ws2::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    char address[32];
    char port[16];
    const char* text = ws2::inet_ntoa(local.sin_addr);
    std::snprintf(address, sizeof address, "%s", text ? text : "");
    std::snprintf(port, sizeof port, "%d", static_cast<int>(ntohs(local.sin_port)));
    m_record.sourceAddress = address;
    m_record.sourcePort = static_cast<int>(ntohs(local.sin_port));
    AddToHistory(m_pOwner, "Source Address:%s  Source Port(1024-5000):%s ", address, port);
}

CWaitClock& CSocketClient::Clock() const
{
    CWaitClock* clock = m_pOwner->Clock();
    return clock ? *clock : WaitClock();
}

DWORD CSocketClient::Ticks() const { return Clock().Ticks(); }

double CSocketClient::Now() const { return Clock().Milliseconds(); }

void CSocketClient::WaitForData(DWORD start, DWORD timeoutMs)
{
    const DWORD elapsed = ElapsedSince(start, Ticks());
    Clock().Wait(m_socket, CWaitClock::Event::Readable, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
}

void CSocketClient::StartRecord(const std::string& host, int port, const std::string& label,
                                const char* testerKind)
{
    m_record = TargetRecord();
    m_record.host = host;
    m_record.port = port & 0xFFFF; // the port the connection is made to
    m_record.label = label;
    m_record.tester = testerKind;
}

StepOutcome CSocketClient::Failure(TestStep step, Cause cause, int32_t code, const std::string& detail)
{
    StepOutcome outcome;
    outcome.step = step;
    outcome.cause = cause;
    outcome.code = code;
    outcome.detail = detail;
    return outcome;
}

void CSocketClient::Record(const StepOutcome& outcome)
{
    StepTimes& t = m_record.times;
    std::optional<double>* time = nullptr;
    switch (outcome.step)
    {
    case TestStep::Resolve: time = &t.resolveMs; break;
    case TestStep::Connect: time = &t.connectMs; break;
    case TestStep::Handshake: time = &t.handshakeMs; break;
    case TestStep::Certificate:
    case TestStep::Verification: time = &t.verifyMs; break;
    case TestStep::Greeting: time = &t.greetingMs; break;
    case TestStep::Shutdown: time = &t.shutdownMs; break;
    case TestStep::None:
    case TestStep::ConnectionInfo: break;
    }
    if (time != nullptr && outcome.ms)
        *time = outcome.ms;
    if (!outcome.Failed())
        return;
    m_record.failedStep = outcome.step;
    m_record.reason = outcome.detail;
    m_record.cause = outcome.cause;
    m_record.code = outcome.code;
    m_record.alert = outcome.alert;
}

void CSocketClient::FinishRecord(bool passed, const AddressTest& testAt)
{
    m_record.passed = passed;
    if (passed)
    {
        m_record.failedStep = TestStep::None;
        m_record.reason.clear();
        m_record.cause = Cause::None;
        m_record.code = 0;
        m_record.alert = -1;
    }
    CResultSink* sink = m_pOwner->ResultSink();
    if (sink == nullptr)
        return;
    // Through a proxy this PC never has the host's addresses.
    if (sink->WantsEveryAddress() && !m_record.resolvedAddress.empty() && m_record.path == "direct")
    {
        const TargetRecord& r = m_record;
        m_record.addresses.push_back({r.resolvedAddress, r.passed, r.failedStep, r.cause, r.alert});
        for (const std::string& address : ResolveAll(r.host.c_str()))
        {
            if (address == r.resolvedAddress)
                continue;
            CSilentOwner silent;
            testAt(&silent, address);
            const TargetRecord& p = silent.m_record;
            m_record.addresses.push_back({address, p.passed, p.failedStep, p.cause, p.alert});
        }
    }
    sink->Target(m_record);
}
