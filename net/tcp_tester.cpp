#include "tcp_tester.h"


#include <cctype>
#include <cstring>

namespace
{
constexpr char kEtx = 0x03;
constexpr int kReadSize = 2047;

// Upper-casing and the search stop at the first NUL of the message.
bool ContainsConnected(const std::string& message)
{
    std::string upper(message.c_str());
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper.find("CONNECTED") != std::string::npos;
}

void AppendBounded(std::string& to, const char* data, size_t size)
{
    const size_t room = CTcpTester::kMaxPendingBytes - std::min(to.size(), CTcpTester::kMaxPendingBytes);
    to.append(data, std::min(size, room));
}
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
        AddToHistory(m_pOwner, "** FAILED to Connect to %s! ** \r\n %s", m_label.c_str(), GetLastErrorText().c_str());
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
    AddToHistory(m_pOwner, greeted ? "Connection Closed -- TEST SUCCESSFUL. " : "Connection Closed -- TEST FAILED. ");
    return greeted;
}

bool CTcpTester::WaitForConnected(DWORD timeoutMs)
{
    std::string pending;
    std::string message;
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
                if (n > 0)
                {
                    const void* etx = std::memchr(buffer, kEtx, static_cast<size_t>(n));
                    if (etx == nullptr)
                        AppendBounded(pending, buffer, static_cast<size_t>(n));
                    else
                    {
                        // Only the first message of a read is examined; what follows its terminator is dropped.
                        message = pending;
                        AppendBounded(message, buffer, static_cast<size_t>(static_cast<const char*>(etx) - buffer));
                        pending.clear();
                        if (ContainsConnected(message))
                        {
                            AddToHistory(m_pOwner, "Received 'CONNECTED' From %s", m_label.c_str());
                            return true;
                        }
                        message.clear();
                    }
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
