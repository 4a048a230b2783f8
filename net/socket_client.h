// The system's one TCP client: bounded connect, liveness checks, raw bytes.
#pragma once

#include "history.h"
#include "ws2.h"

#include <string>

class CSocketClient
{
public:
    explicit CSocketClient(CHistoryOwner* owner);
    virtual ~CSocketClient();
    CSocketClient(const CSocketClient&) = delete;
    CSocketClient& operator=(const CSocketClient&) = delete;

    bool Connect(const std::string& host, int port, DWORD timeoutMs);
    int Close();
    int Send(const char* data, int length);
    int Receive(char* buffer, int size);
    int SetNonBlocking(DWORD nonBlocking);
    bool HasPendingData();
    bool IsConnected();
    int ResolveHost(const char* name, char* buffer, int size);
    std::string GetLastErrorText() const { return m_lastError; }

    // Elapsed milliseconds since start on the wrapping tick counter.
    static DWORD ElapsedSince(DWORD start, DWORD now);

    // The pause of one polling pass: at most ms, cut short when data arrives
    // or the peer closes, so a wait never outlasts its bound nor idles past
    // the bytes it waits for.
    void PauseForData(DWORD ms);

protected:
    // The "Source Address:" line of both testers; left out when the local
    // address cannot be read.
    void ReportSourceAddress();

public:
    int m_port;
    char m_ipAddress[30];
    int m_addressFamily;
    int m_socketType;
    ws2::WSADATA m_wsaData;
    ws2::SOCKET m_socket;
    sockaddr_in m_serverAddr;
    bool m_winsockReady;
    DWORD m_sendTimeout;
    DWORD m_recvTimeout;
    CHistoryOwner* m_pOwner;
    std::string m_host;
    std::string m_label;
    std::string m_lastError;
};
