// The TLS connection test of one target, through the security provider
// module and the certificate services.
#pragma once

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

    // Binding and credentials
    bool CreateClientCredentials();
    bool LoadSecurityLibrary();
    bool AcquireSchannelCredentials();

    // Handshake and shutdown
    bool PerformHandshake();
    SECURITY_STATUS HandshakeLoop(SecBuffer* extra, bool doInitialRead);
    int ReceiveWithTimeout(char* buffer, int length, DWORD timeoutMs);
    bool SendSslShutdown();

    // Verification and report
    bool VerifyServerCertificate();
    static std::string GetCertErrorText(DWORD error);
    void ReportConnectionInfo();
    void ReportCertChain(PCCERT_CONTEXT certificate);
    static std::string FormatCertDate(const FILETIME* time);

    // How many issuers the report walks at most; what a server sends is never this long.
    static constexpr int kMaxIssuerWalk = 16;

    bool m_bCredentialsValid;
    HMODULE m_hSecurityLib;
    SecurityFunctionTableA* m_pSecurityFunctions;
    CredHandle m_hCredentials;
    CtxtHandle m_hContext;
    bool m_bContextValid;

private:
    // Context, then credentials, then library.
    void ReleaseSecurity();
};
