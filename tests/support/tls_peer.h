// A loopback TLS server for tests, on OpenSSL memory BIOs so that the bytes
// reach the socket in the cuts a test chooses.
#pragma once

#include "loopback.h"

#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support
{

struct TlsPeerOptions
{
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    std::vector<X509*> chain;
    int minVersion = TLS1_VERSION;
    int maxVersion = TLS1_3_VERSION;
    std::string cipherList; // TLS 1.2 and below; empty: OpenSSL's default
    bool securityLevel0 = false;
    bool requestClientCert = false;
    std::string appDataAfterHandshake; // written in the same send as the server's last flight
    size_t cut = 0;                    // bytes per send; 0 sends each flight in one write
    int cutPauseUs = 0;
    int connections = 1;
    int lifetimeMs = 20000;
    ListenAddress listenAt;
};

struct TlsPeerResult
{
    bool handshakeDone = false;
    bool closeNotify = false;
    bool clientSentCertificate = false;
    std::string serverName; // SNI as received
    std::string cipher;
};

class TlsPeer
{
public:
    explicit TlsPeer(TlsPeerOptions options);
    ~TlsPeer();
    int Port() const { return m_server->Port(); }
    void Join() { m_server->Join(); }
    // After Join: what the last connection saw.
    TlsPeerResult Result();

private:
    void Serve(int fd);

    TlsPeerOptions m_options;
    SSL_CTX* m_ctx = nullptr;
    std::mutex m_mutex;
    TlsPeerResult m_result;
    std::unique_ptr<ScriptedServer> m_server;
};

} // namespace testing_support
