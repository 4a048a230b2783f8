#include "socket_client.h"

#include "liveness.h"
#include "wait_clock.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr WORD kWinsockVersion = 0x0002; // 2.0: major in the low byte
constexpr DWORD kSocketTimeoutMs = 30000;
} // namespace

CSocketClient::CSocketClient(CHistoryOwner* owner)
    : m_port(0), m_ipAddress{}, m_addressFamily(AF_INET), m_socketType(SOCK_STREAM), m_wsaData{},
      m_socket(ws2::INVALID_SOCKET), m_serverAddr{}, m_winsockReady(false), m_sendTimeout(kSocketTimeoutMs),
      m_recvTimeout(kSocketTimeoutMs), m_pOwner(owner)
{
    m_winsockReady = ws2::WSAStartup(kWinsockVersion, &m_wsaData) == 0;
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
    {
        m_lastError = "TCPIP Startup  Failed.";
        FailStep(TestStep::Connect, m_lastError);
        return false;
    }
    if (m_socket != ws2::INVALID_SOCKET)
    {
        m_lastError = "Socket to " + m_label + " Already Open.";
        FailStep(TestStep::Connect, m_lastError);
        return false;
    }

    AddToHistory(m_pOwner, "Attempting to resolve %s...", host.c_str());
    const double resolveStart = Now();
    const int resolved = ResolveHost(host.c_str(), m_ipAddress, sizeof m_ipAddress);
    m_record.times.resolveMs = Now() - resolveStart;
    if (resolved != 0)
    {
        m_lastError = "DNS Lookup of " + host + " Failed!";
        FailStep(TestStep::Resolve, m_lastError);
        return false;
    }
    m_record.resolvedAddress = m_ipAddress;
    AddToHistory(m_pOwner, "%s resolved to %s", host.c_str(), m_ipAddress);
    m_host = host;

    const double connectStart = Now();
    const bool connected = OpenConnection(port, timeoutMs);
    m_record.times.connectMs = Now() - connectStart;
    if (!connected)
        FailStep(TestStep::Connect, m_lastError);
    return connected;
}

bool CSocketClient::OpenConnection(int port, DWORD timeoutMs)
{
    m_port = port;
    m_addressFamily = AF_INET;
    m_socketType = SOCK_STREAM;
    std::memset(&m_serverAddr, 0, sizeof m_serverAddr);
    m_serverAddr.sin_family = AF_INET;
    m_serverAddr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    m_serverAddr.sin_addr.s_addr = static_cast<in_addr_t>(ws2::inet_addr(m_ipAddress));

    m_socket = ws2::socket(AF_INET, SOCK_STREAM, 0);
    if (m_socket == ws2::INVALID_SOCKET)
    {
        m_lastError = "Socket Creation to " + m_label + " Failed.";
        return false;
    }
    if (SetNonBlocking(1) != 0)
    {
        ws2::closesocket(m_socket);
        m_socket = ws2::INVALID_SOCKET;
        m_lastError = "Socket Creation to " + m_label + " Failed.";
        return false;
    }

    AddToHistory(m_pOwner, "Attempting to connect to %s on port %d...", m_ipAddress, port);
    bool connected = false;
    if (ws2::connect(m_socket, reinterpret_cast<const sockaddr*>(&m_serverAddr), sizeof m_serverAddr) == 0)
        connected = true;
    else if (ws2::WSAGetLastError() == ws2::WSAEWOULDBLOCK)
    {
        const DWORD start = Ticks();
        for (DWORD elapsed = 0;;)
        {
            // Sleeps until the connect ends, or into the pass after the bound.
            const DWORD left = timeoutMs - elapsed;
            WaitClock().Wait(m_socket, CWaitClock::Event::Connected, left < 0xFFFFFFFFu ? left + 1 : left);
            ws2::fd_set writeSet, exceptSet;
            ws2::FdZero(&writeSet);
            ws2::FdZero(&exceptSet);
            ws2::FdSet(m_socket, &writeSet);
            ws2::FdSet(m_socket, &exceptSet);
            const ws2::timeval poll{0, 0};
            const int ready = ws2::select(-1, nullptr, &writeSet, &exceptSet, &poll);
            if (ready == ws2::SOCKET_ERROR)
                break;
            if (ready > 0)
            {
                connected = ws2::FdIsSet(m_socket, &writeSet);
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
        return true;
    }
    ws2::closesocket(m_socket);
    m_socket = ws2::INVALID_SOCKET;
    m_lastError = "Socket Connect to " + m_label + " Failed.";
    return false;
}

int CSocketClient::ResolveHost(const char* name, char* buffer, int size)
{
    const char* hostPart = name;
    for (size_t i = std::strlen(name); i >= 1; --i)
        if (name[i] == '@')
        {
            hostPart = name + i + 1;
            break;
        }

    const ws2::hostent* entry = ws2::gethostbyname(hostPart);
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

DWORD CSocketClient::Ticks() const { return WaitClock().Ticks(); }

double CSocketClient::Now() { return WaitClock().Milliseconds(); }

void CSocketClient::WaitForData(DWORD start, DWORD timeoutMs)
{
    const DWORD elapsed = ElapsedSince(start, Ticks());
    WaitClock().Wait(m_socket, CWaitClock::Event::Readable, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
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

void CSocketClient::FailStep(TestStep step, const std::string& reason)
{
    m_record.failedStep = step;
    m_record.reason = reason;
}

void CSocketClient::FinishRecord(bool passed)
{
    m_record.passed = passed;
    if (passed)
    {
        m_record.failedStep = TestStep::None;
        m_record.reason.clear();
    }
    if (CResultSink* sink = m_pOwner->ResultSink())
        sink->Target(m_record);
}
