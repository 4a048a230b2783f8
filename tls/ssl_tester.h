// The TLS connection test of one target, through the security provider
// module and the certificate services.
#pragma once

#include "module_handle.h"
#include "socket_client.h"
#include "sspi.h"
#include "wincrypt.h"

#include <string>

class CSslTester : public CSocketClient
{
public:
    explicit CSslTester(CHistoryOwner* owner);
    ~CSslTester() override;

    bool Test(std::string host, int port, std::string label);

    static std::string GetCertErrorText(DWORD error);
    // The platform's name of a chain policy error ("CERT_E_EXPIRED"); 0 is "ERROR_SUCCESS".
    static std::string GetCertErrorName(DWORD error);
    static std::string FormatCertDate(const FILETIME* time);

    // How many issuers the report walks at most; what a server sends is never this long.
    static constexpr int kMaxIssuerWalk = 16;
    static constexpr DWORD kConnectTimeoutMs = 10000;
    // The bound of each read of the handshake.
    static constexpr DWORD kReadTimeoutMs = 10000;

private:
    // The certificate fuzz target drives the verification alone.
    friend class CSslVerifyProbe;

    bool RunTest(const std::string& host, int port, const std::string& label);
    // A failure that is its own history line: writes the line, and returns
    // the outcome whose detail it is, for the record.
    StepOutcome FailLine(TestStep step, Cause cause, int32_t code, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // Binding and credentials
    bool CreateClientCredentials();
    bool LoadSecurityLibrary();
    bool AcquireSchannelCredentials();
    // Context, then credentials, then library.
    void ReleaseSecurity();

    // Handshake and shutdown
    StepOutcome PerformHandshake();
    // The read/answer loop; extraBytes tells how many bytes came after the
    // handshake's last message (application data this test never reads).
    // A failure's cause goes to failure, its text to m_lastError.
    SECURITY_STATUS HandshakeLoop(ULONG* extraBytes, bool doInitialRead, StepOutcome* failure);
    // timedOut (when given) tells a read that waited its whole bound from
    // one that found the peer gone.
    int ReceiveWithTimeout(char* buffer, int length, DWORD timeoutMs, bool* timedOut = nullptr);
    bool SendSslShutdown();
    // Why the provider failed the handshake: the server's alert when the
    // provider tells it, else what the status says.
    StepOutcome ProviderFailure(SECURITY_STATUS status);

    // Verification and report
    StepOutcome VerifyServerCertificate();
    void ReportConnectionInfo();
    void ReportCertChain(PCCERT_CONTEXT certificate);
    // The facts of a certificate for the record; nothing is written.
    static CertificateFacts FactsOf(PCCERT_CONTEXT certificate);

    bool m_bCredentialsValid;
    CModuleHandle m_hSecurityLib;
    SecurityFunctionTableA* m_pSecurityFunctions;
    CredHandle m_hCredentials;
    CtxtHandle m_hContext;
    bool m_bContextValid;
};
