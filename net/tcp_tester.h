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

    // What a greeting's text may hold before its terminator. A peer that
    // streams without 0x03 cannot make the wait hold more than this.
    static constexpr size_t kMaxPendingBytes = 64 * 1024;

    static constexpr DWORD kConnectTimeoutMs = 10000;
    static constexpr DWORD kGreetingTimeoutMs = 10000;

private:
    bool RunTest(const std::string& host, int port, const std::string& label);
};
