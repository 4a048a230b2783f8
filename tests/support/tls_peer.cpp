#include "tls_peer.h"

#include <openssl/err.h>

#include <chrono>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support
{
namespace
{
int AcceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }
} // namespace

TlsPeer::TlsPeer(TlsPeerOptions options) : m_options(std::move(options))
{
    m_ctx = SSL_CTX_new(TLS_server_method());
    if (m_options.securityLevel0)
        SSL_CTX_set_security_level(m_ctx, 0);
    SSL_CTX_set_min_proto_version(m_ctx, m_options.minVersion);
    SSL_CTX_set_max_proto_version(m_ctx, m_options.maxVersion);
    if (!m_options.cipherList.empty() && SSL_CTX_set_cipher_list(m_ctx, m_options.cipherList.c_str()) != 1)
        throw std::runtime_error("cipher list " + m_options.cipherList);
    if (m_options.cert && (SSL_CTX_use_certificate(m_ctx, m_options.cert) != 1 ||
                           SSL_CTX_use_PrivateKey(m_ctx, m_options.key) != 1))
        throw std::runtime_error("server identity");
    for (X509* c : m_options.chain)
        SSL_CTX_add1_chain_cert(m_ctx, c);
    SSL_CTX_set_dh_auto(m_ctx, 1);
    if (m_options.requestClientCert)
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, AcceptAnyCertificate);
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(m_ctx, 0);
    m_server =
        std::make_unique<ScriptedServer>([this](int fd) { Serve(fd); }, m_options.connections,
                                         std::chrono::milliseconds(m_options.lifetimeMs), m_options.listenAt);
}

TlsPeer::~TlsPeer()
{
    m_server.reset();
    SSL_CTX_free(m_ctx);
}

TlsPeerResult TlsPeer::Result()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_result;
}

void TlsPeer::Serve(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.lifetimeMs);
    auto timeLeft = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count());
    };
    SSL* ssl = SSL_new(m_ctx);
    BIO* rbio = BIO_new(BIO_s_mem());
    BIO* wbio = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(rbio, -1);
    SSL_set_bio(ssl, rbio, wbio);
    SSL_set_accept_state(ssl);

    auto pump = [&] {
        char buffer[16384];
        for (int n; (n = BIO_read(wbio, buffer, sizeof buffer)) > 0;)
        {
            const size_t cut = m_options.cut ? m_options.cut : static_cast<size_t>(n);
            for (size_t at = 0; at < static_cast<size_t>(n); at += cut)
            {
                if (!SendAll(fd, std::string(buffer + at, std::min(cut, static_cast<size_t>(n) - at))))
                    return false;
                if (m_options.cutPauseUs)
                    ::usleep(static_cast<useconds_t>(m_options.cutPauseUs));
            }
        }
        return true;
    };
    auto receive = [&]() -> int {
        pollfd p{fd, POLLIN, 0};
        const int left = timeLeft();
        if (left <= 0 || ::poll(&p, 1, std::min(left, 100)) < 0)
            return -1;
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
            return 1; // nothing yet
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return -1;
        BIO_write(rbio, buffer, static_cast<int>(n));
        return 1;
    };

    TlsPeerResult result;
    bool done = false;
    for (;;)
    {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl);
        if (r == 1)
        {
            done = true;
            if (!m_options.appDataAfterHandshake.empty())
                SSL_write(ssl, m_options.appDataAfterHandshake.data(),
                          static_cast<int>(m_options.appDataAfterHandshake.size()));
            pump();
            break;
        }
        const int error = SSL_get_error(ssl, r);
        if (!pump() || error != SSL_ERROR_WANT_READ || receive() < 0)
            break;
    }
    if (done)
    {
        result.handshakeDone = true;
        result.clientSentCertificate = SSL_get0_peer_certificate(ssl) != nullptr;
        if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))
            result.serverName = name;
        result.cipher = SSL_get_cipher_name(ssl);
        char buffer[1024];
        for (;;)
        {
            ERR_clear_error();
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0)
                continue;
            const int error = SSL_get_error(ssl, n);
            if (error == SSL_ERROR_ZERO_RETURN)
            {
                result.closeNotify = true;
                break;
            }
            if (error != SSL_ERROR_WANT_READ || receive() < 0)
                break;
        }
    }
    ERR_clear_error();
    SSL_free(ssl);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
}

} // namespace testing_support
