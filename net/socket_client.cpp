#include "socket_client.h"

#include "wintime.h"

#include <cstdio>
#include <cstring>

CSocketClient::CSocketClient(CHistoryOwner* owner)
    : m_port(0), m_ipAddress{}, m_addressFamily(AF_INET), m_socketType(SOCK_STREAM), m_wsaData{},
      m_socket(ws2::INVALID_SOCKET), m_serverAddr{}, m_winsockReady(false), m_sendTimeout(30000), m_recvTimeout(30000),
      m_pOwner(owner)
{
    m_winsockReady = ws2::WSAStartup(0x0002, &m_wsaData) == 0;
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
        return false;
    }
    if (m_socket != ws2::INVALID_SOCKET)
    {
        m_lastError = "Socket to " + m_label + " Already Open.";
        return false;
    }

    AddToHistory(m_pOwner, "Attempting to resolve %s...", host.c_str());
    if (ResolveHost(host.c_str(), m_ipAddress, sizeof m_ipAddress) != 0)
    {
        m_lastError = "DNS Lookup of " + host + " Failed!";
        return false;
    }
    AddToHistory(m_pOwner, "%s resolved to %s", host.c_str(), m_ipAddress);
    m_host = host;

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
        const DWORD start = GetTickCount();
        for (;;)
        {
            // One pass waits at most 1 ms, and ends as soon as the connect does.
            ws2::fd_set writeSet, exceptSet;
            ws2::FdZero(&writeSet);
            ws2::FdZero(&exceptSet);
            ws2::FdSet(m_socket, &writeSet);
            ws2::FdSet(m_socket, &exceptSet);
            const ws2::timeval pass{0, 1000};
            const int ready = ws2::select(-1, nullptr, &writeSet, &exceptSet, &pass);
            if (ready == ws2::SOCKET_ERROR)
                break;
            if (ready > 0)
            {
                connected = ws2::FdIsSet(m_socket, &writeSet);
                break;
            }
            if (ElapsedSince(start, GetTickCount()) > timeoutMs)
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
        const int error = ws2::WSAGetLastError();
        if (error == ws2::WSAENOTSOCK || error == ws2::WSAENETDOWN || error == ws2::WSANOTINITIALISED)
            return false;
        count = -1;
    }

    SetNonBlocking(1);
    char byte;
    const int peeked = ws2::recv(m_socket, &byte, 1, MSG_PEEK);
    const int error = peeked == ws2::SOCKET_ERROR ? ws2::WSAGetLastError() : 0;
    SetNonBlocking(0);

    if (peeked == 1)
        return true;
    if (peeked == 0 || error == ws2::WSAEWOULDBLOCK)
        return count != 1;
    switch (error)
    {
    case ws2::WSAEINPROGRESS: return true;
    case ws2::WSAEINTR:
    case ws2::WSAEFAULT:
    case ws2::WSAEINVAL:
    case ws2::WSAENOTSOCK:
    case ws2::WSAEMSGSIZE:
    case ws2::WSAEOPNOTSUPP:
    case ws2::WSAENETDOWN:
    case ws2::WSAENETRESET:
    case ws2::WSAECONNABORTED:
    case ws2::WSAECONNRESET:
    case ws2::WSAEISCONN:
    case ws2::WSAESHUTDOWN:
    case ws2::WSAETIMEDOUT: return false;
    default: return true;
    }
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
    AddToHistory(m_pOwner, "Source Address:%s  Source Port(1024-5000):%s ", address, port);
}

void CSocketClient::PauseForData(DWORD ms)
{
    ws2::fd_set readSet;
    ws2::FdZero(&readSet);
    ws2::FdSet(m_socket, &readSet);
    const ws2::timeval pause{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    if (m_socket == ws2::INVALID_SOCKET || ws2::select(-1, &readSet, nullptr, nullptr, &pause) == ws2::SOCKET_ERROR)
        ::Sleep(ms);
}
