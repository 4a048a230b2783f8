#include "tcp_tester.h"

#include "greeting_reader.h"
#include "wintime.h"

namespace
{
constexpr int kReadSize = 2047;
} // namespace

bool CTcpTester::Test(std::string host, int port, std::string label)
{
    m_label = label;
    AddToHistory(m_pOwner, "Attempting %s", m_label.c_str());

    if (!Connect(host, port, 10000))
    {
        AddToHistory(m_pOwner, "** FAILED to Connect to %s! ** \r\n %s", m_label.c_str(), GetLastErrorText().c_str());
        AddToHistory(m_pOwner, " TEST FAILED. ");
        return false;
    }

    AddToHistory(m_pOwner, "Connected to Server Successfully ");
    ReportSourceAddress();

    if (WaitForConnected(10000))
    {
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        AddToHistory(m_pOwner, "Connection Closed -- TEST SUCCESSFUL. ");
        return true;
    }
    AddToHistory(m_pOwner, " TEST FAILED. ");
    AddToHistory(m_pOwner, "Closing connection... ");
    Close();
    AddToHistory(m_pOwner, "Connection Closed -- TEST FAILED. ");
    return false;
}

bool CTcpTester::WaitForConnected(DWORD timeoutMs)
{
    CGreetingReader reader;
    char buffer[kReadSize + 1];

    const DWORD start = GetTickCount();
    if (IsConnected())
    {
        for (;;)
        {
            if (ElapsedSince(start, GetTickCount()) >= timeoutMs)
                break;
            PauseForData(1);
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

    if (ElapsedSince(start, GetTickCount()) >= timeoutMs)
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
