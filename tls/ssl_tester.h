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
    // Writes one failure line and keeps it as the record's reason.
    void FailLine(TestStep step, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Binding and credentials
    bool CreateClientCredentials();
    bool LoadSecurityLibrary();
    bool AcquireSchannelCredentials();
    // Context, then credentials, then library.
    void ReleaseSecurity();

    // Handshake and shutdown
    bool PerformHandshake();
    // The read/answer loop; extraBytes tells how many bytes came after the
    // handshake's last message (application data this test never reads).
    SECURITY_STATUS HandshakeLoop(ULONG* extraBytes, bool doInitialRead);
    int ReceiveWithTimeout(char* buffer, int length, DWORD timeoutMs);
    bool SendSslShutdown();

    // Verification and report
    bool VerifyServerCertificate();
    void ReportConnectionInfo();
    void ReportCertChain(PCCERT_CONTEXT certificate);

    bool m_bCredentialsValid;
    CModuleHandle m_hSecurityLib;
    SecurityFunctionTableA* m_pSecurityFunctions;
    CredHandle m_hCredentials;
    CtxtHandle m_hContext;
    bool m_bContextValid;
};
