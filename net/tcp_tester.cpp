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
    FinishRecord(passed);
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
    const bool greeted = WaitForConnected(kGreetingTimeoutMs);
    m_record.times.greetingMs = Now() - greetingStart;
    if (!greeted)
    {
        // The reason is the line the wait wrote.
        FailStep(TestStep::Greeting, (m_lastError == "LOGIN_FAILED" ? "Timeout waiting for 'CONNECTED' From "
                                                                    : "Connection Lost To ") +
                                         m_label);
        AddToHistory(m_pOwner, " TEST FAILED. ");
    }
    AddToHistory(m_pOwner, "Closing connection... ");
    const double closeStart = Now();
    Close();
    m_record.times.shutdownMs = Now() - closeStart;
    AddToHistory(m_pOwner,
                 greeted ? "Connection Closed -- TEST SUCCESSFUL. " : "Connection Closed -- TEST FAILED. ");
    return greeted;
}

bool CTcpTester::WaitForConnected(DWORD timeoutMs)
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
                    return true;
                }
            }
            if (!IsConnected())
                break;
        }
    }

    if (ElapsedSince(start, Ticks()) >= timeoutMs)
    {
        AddToHistory(m_pOwner, "Timeout waiting for 'CONNECTED' From %s", m_label.c_str());
        m_lastError = "LOGIN_FAILED";
        return false;
    }
    if (IsConnected())
        return true;
    AddToHistory(m_pOwner, "Connection Lost To %s", m_label.c_str());
    m_lastError = "CONNECTION LOST";
    return false;
}
