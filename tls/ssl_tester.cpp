#include "ssl_tester.h"

#include "app_flags.h"

#include <cstdarg>
#include <cstdio>

CSslTester::CSslTester(CHistoryOwner* owner)
    : CSocketClient(owner), m_bCredentialsValid(false),
      m_pSecurityFunctions(nullptr), m_hCredentials{0, 0}, m_hContext{0, 0}, m_bContextValid(false)
{}

CSslTester::~CSslTester() { ReleaseSecurity(); }

bool CSslTester::Test(std::string host, int port, std::string label)
{
    StartRecord(host, port, label, "tls");
    const bool passed = RunTest(host, port, label);
    FinishRecord(passed);
    return passed;
}

void CSslTester::FailLine(TestStep step, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    AddToHistory(m_pOwner, "%s", text);
    FailStep(step, text);
}

bool CSslTester::RunTest(const std::string& host, int port, const std::string& label)
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
        {
            // The credentials step wrote its own line, if any.
            if (m_record.failedStep == TestStep::None)
                FailStep(TestStep::Handshake, "");
            return false;
        }
        AddToHistory(m_pOwner, "Credentials created.");
    }

    if (!Connect(host, port, kConnectTimeoutMs))
    {
        AddToHistory(m_pOwner, "** FAILED to Connect to %s! ** %s", m_label.c_str(),
                     GetLastErrorText().c_str());
        AddToHistory(m_pOwner, " TEST FAILED. ");
        return false;
    }
    AddToHistory(m_pOwner, "Connected to Server Successfully ");
    ReportSourceAddress();

    double closeStart = 0;
    auto closeConnection = [&](bool passed) {
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        m_record.times.shutdownMs = Now() - closeStart;
        AddToHistory(m_pOwner, passed ? "Connection Closed -- TEST SUCCESSFUL. "
                                      : "Connection Closed -- TEST FAILED. ");
        return passed;
    };

    if (IsWin9x)
    {
        AddToHistory(m_pOwner, "*** WIN9X *** SSL Handshake SKIPPED");
        closeStart = Now();
        return closeConnection(true);
    }

    AddToHistory(m_pOwner, "Attempting SSL Handshake... ");
    const double handshakeStart = Now();
    const bool shaken = PerformHandshake();
    m_record.times.handshakeMs = Now() - handshakeStart;
    if (!shaken)
    {
        AddToHistory(m_pOwner, "** FAILED to Handshake with %s! **  %s", m_label.c_str(),
                     GetLastErrorText().c_str());
        FailStep(TestStep::Handshake, m_lastError);
        closeStart = Now();
        return closeConnection(false);
    }
    AddToHistory(m_pOwner, "SSL Handshake was successful. ");
    m_record.tls.emplace();
    ReportConnectionInfo();

    const double verifyStart = Now();
    const bool verified = VerifyServerCertificate();
    m_record.times.verifyMs = Now() - verifyStart;
    closeStart = Now();
    if (!verified)
        return closeConnection(false);

    AddToHistory(m_pOwner, "Sending SSL Shutdown... ");
    SendSslShutdown();
    return closeConnection(true);
}
