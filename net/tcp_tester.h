// The plain connection test: connect and wait for a greeting that contains
// CONNECTED, framed by the byte 0x03.
#pragma once

#include "socket_client.h"

class CTcpTester : public CSocketClient
{
public:
    explicit CTcpTester(CHistoryOwner* owner) : CSocketClient(owner) {}
    ~CTcpTester() override = default;

    bool Test(std::string host, int port, std::string label);
    bool WaitForConnected(DWORD timeoutMs);

    static constexpr DWORD kConnectTimeoutMs = 10000;
    static constexpr DWORD kGreetingTimeoutMs = 10000;

private:
    bool RunTest(const std::string& host, int port, const std::string& label);
    // The greeting wait with its lines; the outcome says why it failed.
    StepOutcome AwaitGreeting(DWORD timeoutMs);
};
