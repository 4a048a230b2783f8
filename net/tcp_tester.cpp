#include "tcp_tester.h"

#include "wintime.h"

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
    std::string pending;
    std::string message;
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
