// The system's one TCP client: bounded connect, liveness checks, raw bytes.
#pragma once

#include "history.h"
#include "test_record.h"
#include "ws2.h"

#include <functional>
#include <string>
#include <vector>

struct ProxyUrl;
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

    // Connects to this dotted address instead of looking the host up; the
    // history still names the host. For the test of a further address.
    void PinAddress(const std::string& address) { m_pinnedAddress = address; }
    // Every IPv4 address of the name, in the resolver's order; empty when it has none.
    std::vector<std::string> ResolveAll(const char* name);

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

    // The record of the target under test: the tester starts it, each step's
    // outcome goes to Record, and the tester hands it to the owner's result
    // sink when the target ends. Without a sink nothing leaves the tester.
    void StartRecord(const std::string& host, int port, const std::string& label, const char* testerKind);
    // The record's one writer: the step's time and, when the step failed,
    // where and why the target failed.
    void Record(const StepOutcome& outcome);
    // Runs the test of one further address on a tester of the caller's kind,
    // bound to the owner given (which keeps its lines to itself).
    using AddressTest = std::function<void(CHistoryOwner* silent, const std::string& address)>;
    // Hands the record over; with a sink that asks for every address, each
    // further address of the host is tested first through testAt.
    void FinishRecord(bool passed, const AddressTest& testAt);
    static StepOutcome Failure(TestStep step, Cause cause, int32_t code, const std::string& detail);
    // Monotonic milliseconds of the wait clock, for the steps' durations.
    double Now() const;

private:
    // Name lookup: its lines, the address into m_ipAddress.
    StepOutcome ResolveStep(const std::string& host);
    // The lookup alone: its first line, the address into m_ipAddress.
    StepOutcome LookUp(const std::string& host);
    // Connect's way through a proxy: the proxy's name and connection, then its tunnel.
    bool ConnectThroughProxy(const std::string& host, int port, DWORD timeoutMs, const ProxyUrl& proxy);
    // CONNECT on the open connection to the proxy, its answer read within timeoutMs.
    StepOutcome OpenTunnel(const std::string& host, int port, DWORD timeoutMs, const ProxyUrl& proxy);
    // Socket, non-blocking connect and its bounded wait.
    StepOutcome OpenConnection(int port, DWORD timeoutMs);
    // A failure of Connect: its reason into m_lastError, the outcome to the record.
    bool Fail(const StepOutcome& outcome);

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
    int m_startupResult;
    // Set as the client always set them; no wait reads them (each wait has its own bound).
    [[maybe_unused]] DWORD m_sendTimeout;
    [[maybe_unused]] DWORD m_recvTimeout;

protected:
    CHistoryOwner* m_pOwner;
    std::string m_host;
    std::string m_label;
    std::string m_lastError;
    TargetRecord m_record;

private:
    std::string m_pinnedAddress;
};
