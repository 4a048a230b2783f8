// The system's one TCP client: bounded connect, liveness checks, raw bytes.
#pragma once

#include "history.h"
#include "test_record.h"
#include "ws2.h"

#include <string>

class CWaitClock;

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

protected:
    // The "Source Address:" line of both testers; left out when the local
    // address cannot be read.
    void ReportSourceAddress();

    // The owner's wait clock, else the installed one: it bounds every wait.
    CWaitClock& Clock() const;
    // The tick counter of the wait clock.
    DWORD Ticks() const;
    // The one sleep of a waiting pass: until bytes arrive or the peer closes,
    // or until timeoutMs after start, whichever comes first.
    void WaitForData(DWORD start, DWORD timeoutMs);

    // The record of the target under test: the tester starts it, each step
    // adds what it learns, and the tester hands it to the owner's result sink
    // when the target ends. Without a sink nothing leaves the tester.
    void StartRecord(const std::string& host, int port, const std::string& label, const char* testerKind);
    void FailStep(TestStep step, const std::string& reason);
    void FinishRecord(bool passed);
    // Monotonic milliseconds of the wait clock, for the steps' durations.
    double Now() const;

private:
    // Socket, non-blocking connect and its bounded wait.
    bool OpenConnection(int port, DWORD timeoutMs);

    int m_port;
    char m_ipAddress[30];
    int m_addressFamily;
    int m_socketType;
    ws2::WSADATA m_wsaData;

protected:
    ws2::SOCKET m_socket;

private:
    sockaddr_in m_serverAddr;
    bool m_winsockReady;
    // Set as the client always set them; no wait reads them (each wait has its own bound).
    [[maybe_unused]] DWORD m_sendTimeout;
    [[maybe_unused]] DWORD m_recvTimeout;

protected:
    CHistoryOwner* m_pOwner;
    std::string m_host;
    std::string m_label;
    std::string m_lastError;
    TargetRecord m_record;
};
