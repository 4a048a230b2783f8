#include "ssl_tester.h"

#include "app_flags.h"

CSslTester::CSslTester(CHistoryOwner* owner)
    : CSocketClient(owner), m_bCredentialsValid(false), m_hSecurityLib(nullptr), m_pSecurityFunctions(nullptr),
      m_hCredentials{0, 0}, m_hContext{0, 0}, m_bContextValid(false)
{
}

CSslTester::~CSslTester() { ReleaseSecurity(); }

bool CSslTester::Test(std::string host, int port, std::string label)
{
    m_host = host;
    m_label = label;
    AddToHistory(m_pOwner, "Attempting %s", m_label.c_str());

    if (IsWin9x)
        AddToHistory(m_pOwner, "*** WIN9X *** Creating SChannel Credentials SKIPPED");
    else
    {
        AddToHistory(m_pOwner, "Creating Client Credentials....");
        if (!CreateClientCredentials())
            return false;
        AddToHistory(m_pOwner, "Credentials created.");
    }

    if (!Connect(host, port, 10000))
    {
        AddToHistory(m_pOwner, "** FAILED to Connect to %s! ** %s", m_label.c_str(), GetLastErrorText().c_str());
        AddToHistory(m_pOwner, " TEST FAILED. ");
        return false;
    }
    AddToHistory(m_pOwner, "Connected to Server Successfully ");
    ReportSourceAddress();

    if (IsWin9x)
    {
        AddToHistory(m_pOwner, "*** WIN9X *** SSL Handshake SKIPPED");
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        AddToHistory(m_pOwner, "Connection Closed -- TEST SUCCESSFUL. ");
        return true;
    }

    AddToHistory(m_pOwner, "Attempting SSL Handshake... ");
    if (!PerformHandshake())
    {
        AddToHistory(m_pOwner, "** FAILED to Handshake with %s! **  %s", m_label.c_str(), GetLastErrorText().c_str());
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        AddToHistory(m_pOwner, "Connection Closed -- TEST FAILED. ");
        return false;
    }
    AddToHistory(m_pOwner, "SSL Handshake was successful. ");
    ReportConnectionInfo();

    if (!VerifyServerCertificate())
    {
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        AddToHistory(m_pOwner, "Connection Closed -- TEST FAILED. ");
        return false;
    }

    AddToHistory(m_pOwner, "Sending SSL Shutdown... ");
    SendSslShutdown();
    AddToHistory(m_pOwner, "Closing connection... ");
    Close();
    AddToHistory(m_pOwner, "Connection Closed -- TEST SUCCESSFUL. ");
    return true;
}
