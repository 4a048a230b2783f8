#include "tcp_tester.h"

#include "greeting_reader.h"

namespace
{
constexpr int kReadSize = 2047;
} // namespace

bool CTcpTester::Test(std::string host, int port, std::string label)
{
    StartRecord(host, port, label, "plain");
    const bool passed = RunTest(host, port, label);
    FinishRecord(passed, [&](CHistoryOwner* silent, const std::string& address) {
        CTcpTester other(silent);
        other.PinAddress(address);
        other.Test(host, port, label);
    });
    return passed;
}

bool CTcpTester::RunTest(const std::string& host, int port, const std::string& label)
{
    m_label = label;
    AddToHistory(m_pOwner, "Attempting %s", m_label.c_str());

    if (!Connect(host, port, kConnectTimeoutMs))
    {
        AddToHistory(m_pOwner, "** FAILED to Connect to %s! ** \r\n %s", m_label.c_str(),
                     GetLastErrorText().c_str());
        AddToHistory(m_pOwner, " TEST FAILED. ");
        return false;
    }

    AddToHistory(m_pOwner, "Connected to Server Successfully ");
    ReportSourceAddress();

    const double greetingStart = Now();
    StepOutcome greeting = AwaitGreeting(kGreetingTimeoutMs);
    greeting.ms = Now() - greetingStart;
    Record(greeting);
    if (greeting.Failed())
        AddToHistory(m_pOwner, " TEST FAILED. ");
    AddToHistory(m_pOwner, "Closing connection... ");
    StepOutcome shutdown{TestStep::Shutdown};
    const double closeStart = Now();
    Close();
    shutdown.ms = Now() - closeStart;
    Record(shutdown);
    AddToHistory(m_pOwner, greeting.Failed() ? "Connection Closed -- TEST FAILED. "
                                             : "Connection Closed -- TEST SUCCESSFUL. ");
    return !greeting.Failed();
}

bool CTcpTester::WaitForConnected(DWORD timeoutMs) { return !AwaitGreeting(timeoutMs).Failed(); }

StepOutcome CTcpTester::AwaitGreeting(DWORD timeoutMs)
{
    CGreetingReader reader;
    char buffer[kReadSize + 1];

    const DWORD start = Ticks();
    if (IsConnected())
    {
        for (;;)
        {
            if (ElapsedSince(start, Ticks()) >= timeoutMs)
                break;
            WaitForData(start, timeoutMs);
            if (HasPendingData())
            {
                const int n = Receive(buffer, kReadSize);
                if (n > 0 && reader.Take(buffer, static_cast<size_t>(n)))
                {
                    AddToHistory(m_pOwner, "Received 'CONNECTED' From %s", m_label.c_str());
                    return StepOutcome(TestStep::Greeting);
                }
            }
            if (!IsConnected())
                break;
        }
    }

    StepOutcome failed;
    if (ElapsedSince(start, Ticks()) >= timeoutMs)
    {
        failed = Failure(TestStep::Greeting, Cause::GreetingTimedOut, 0,
                         "Timeout waiting for 'CONNECTED' From " + m_label);
        m_lastError = "LOGIN_FAILED";
    }
    else if (IsConnected())
        return StepOutcome(TestStep::Greeting);
    else
    {
        failed = Failure(TestStep::Greeting, Cause::ConnectionLost, 0, "Connection Lost To " + m_label);
        m_lastError = "CONNECTION LOST";
    }
    AddToHistory(m_pOwner, "%s", failed.detail.c_str());
    return failed;
}
