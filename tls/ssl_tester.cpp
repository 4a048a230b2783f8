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
    FinishRecord(passed, [&](CHistoryOwner* silent, const std::string& address) {
        CSslTester other(silent);
        other.PinAddress(address);
        other.Test(host, port, label);
    });
    return passed;
}

StepOutcome CSslTester::FailLine(TestStep step, Cause cause, int32_t code, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    StepOutcome outcome = Failure(step, cause, code, text);
    AddToHistory(m_pOwner, "%s", outcome.detail.c_str());
    return outcome;
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
                Record(Failure(TestStep::Handshake, Cause::ProviderMissing, 0, ""));
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

    auto closeConnection = [&](bool passed) {
        StepOutcome shutdown{TestStep::Shutdown};
        const double closeStart = Now();
        if (passed && !IsWin9x)
        {
            AddToHistory(m_pOwner, "Sending SSL Shutdown... ");
            SendSslShutdown(); // its result is not looked at
        }
        AddToHistory(m_pOwner, "Closing connection... ");
        Close();
        shutdown.ms = Now() - closeStart;
        Record(shutdown);
        AddToHistory(m_pOwner, passed ? "Connection Closed -- TEST SUCCESSFUL. "
                                      : "Connection Closed -- TEST FAILED. ");
        return passed;
    };

    if (IsWin9x)
    {
        AddToHistory(m_pOwner, "*** WIN9X *** SSL Handshake SKIPPED");
        return closeConnection(true);
    }

    AddToHistory(m_pOwner, "Attempting SSL Handshake... ");
    const double handshakeStart = Now();
    StepOutcome handshake = PerformHandshake();
    handshake.ms = Now() - handshakeStart;
    Record(handshake);
    if (handshake.Failed())
    {
        AddToHistory(m_pOwner, "** FAILED to Handshake with %s! **  %s", m_label.c_str(),
                     handshake.detail.c_str());
        return closeConnection(false);
    }
    AddToHistory(m_pOwner, "SSL Handshake was successful. ");
    m_record.tls.emplace();
    ReportConnectionInfo();

    const double verifyStart = Now();
    StepOutcome verification = VerifyServerCertificate();
    verification.ms = Now() - verifyStart;
    Record(verification);
    return closeConnection(!verification.Failed());
}
