// The security provider module, driven over an in-memory wire against an
// OpenSSL server, the way a caller's read/answer loop drives it.
#include "module.h"
#include "sspi.h"
#include "support/test_pki.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace testing_support;

namespace
{
constexpr ULONG kReq = 0xC11C;

class Provider : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module = LoadLibraryA("Secur32.dll");
        ASSERT_NE(m_module, nullptr) << GetLastError();
        auto init =
            reinterpret_cast<INIT_SECURITY_INTERFACE_A>(GetProcAddress(m_module, "InitSecurityInterfaceA"));
        ASSERT_NE(init, nullptr);
        m_table = init();
        ASSERT_NE(m_table, nullptr);
    }
    void TearDown() override
    {
        if (m_module)
            FreeLibrary(m_module);
    }

    SECURITY_STATUS Acquire(CredHandle* cred, DWORD protocols = 0xFF0, const char* package = UNISP_NAME_A)
    {
        SCHANNEL_CRED sc{};
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        sc.grbitEnabledProtocols = protocols;
        sc.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
        TimeStamp expiry;
        return m_table->AcquireCredentialsHandleA(nullptr, const_cast<char*>(package), SECPKG_CRED_OUTBOUND,
                                                  nullptr, &sc, nullptr, nullptr, cred, &expiry);
    }

    // The first call: a context and its ClientHello, which is dropped here.
    SECURITY_STATUS Start(CredHandle* cred, CtxtHandle* context, const char* target)
    {
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        ULONG attrs = 0;
        const SECURITY_STATUS status = m_table->InitializeSecurityContextA(
            cred, nullptr, const_cast<char*>(target), kReq, 0, SECURITY_NATIVE_DREP, nullptr, 0, context,
            &outDesc, &attrs, nullptr);
        if (out.pvBuffer)
            m_table->FreeContextBuffer(out.pvBuffer);
        return status;
    }

    // The shutdown control, then the call that yields the close-notify token.
    SECURITY_STATUS Shutdown(CredHandle* cred, CtxtHandle* context, std::string* token)
    {
        DWORD control = SCHANNEL_SHUTDOWN;
        SecBuffer controlBuffer{sizeof control, SECBUFFER_TOKEN, &control};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &controlBuffer};
        const SECURITY_STATUS applied = m_table->ApplyControlToken(context, &controlDesc);
        if (applied != SEC_E_OK)
            return applied;
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        ULONG attrs = 0;
        const SECURITY_STATUS status =
            m_table->InitializeSecurityContextA(cred, context, nullptr, kReq, 0, SECURITY_NATIVE_DREP,
                                                nullptr, 0, nullptr, &outDesc, &attrs, nullptr);
        token->assign(static_cast<char*>(out.pvBuffer), out.cbBuffer);
        if (out.pvBuffer)
            m_table->FreeContextBuffer(out.pvBuffer);
        return status;
    }

    HMODULE m_module = nullptr;
    SecurityFunctionTableA* m_table = nullptr;
};

struct ServerSetup
{
    Identity id;
    int maxVersion = TLS1_3_VERSION;
    std::string ciphers;
    bool requestCert = false;
    std::string appData;
    bool level0 = false;
    int minVersion = TLS1_VERSION;
};

// The server side of the wire.
struct Server
{
    SSL_CTX* ctx;
    SSL* ssl;
    BIO* in;
    BIO* out;
    explicit Server(const ServerSetup& s)
    {
        ctx = SSL_CTX_new(TLS_server_method());
        if (s.level0)
            SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_min_proto_version(ctx, s.minVersion);
        SSL_CTX_set_max_proto_version(ctx, s.maxVersion);
        if (!s.ciphers.empty())
            SSL_CTX_set_cipher_list(ctx, s.ciphers.c_str());
        SSL_CTX_use_certificate(ctx, s.id.cert.get());
        SSL_CTX_use_PrivateKey(ctx, s.id.key.get());
        for (X509* c : s.id.chain)
            SSL_CTX_add1_chain_cert(ctx, c);
        SSL_CTX_set_dh_auto(ctx, 1);
        SSL_CTX_set_num_tickets(ctx, 0);
        SSL_CTX_set_options(ctx, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
        if (s.requestCert)
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
        ssl = SSL_new(ctx);
        in = BIO_new(BIO_s_mem());
        out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in, -1);
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
    }
    ~Server()
    {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    // Takes the client's bytes, runs, and returns what the server writes.
    std::string Step(const std::string& fromClient, bool* done, const std::string& appData = "")
    {
        if (!fromClient.empty())
            BIO_write(in, fromClient.data(), static_cast<int>(fromClient.size()));
        ERR_clear_error();
        if (!*done && SSL_do_handshake(ssl) == 1)
        {
            *done = true;
            if (!appData.empty())
                SSL_write(ssl, appData.data(), static_cast<int>(appData.size()));
        }
        ERR_clear_error();
        std::string bytes;
        char buffer[4096];
        for (int n; (n = BIO_read(out, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
};

struct DriveResult
{
    SECURITY_STATUS status = 0;
    std::string extra;
    int incompleteCredentials = 0;
    int incompleteMessages = 0;
    bool serverDone = false;
};

// A caller's loop: read in chunks, answer tokens, keep what was not
// consumed, call again on the same bytes after incomplete credentials.
DriveResult Drive(SecurityFunctionTableA* table, CredHandle* cred, CtxtHandle* context, Server& server,
                  size_t chunk, const std::string& appData = "", const char* target = "localhost")
{
    DriveResult r;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attrs = 0;
    SECURITY_STATUS status = table->InitializeSecurityContextA(cred, nullptr, const_cast<char*>(target), kReq,
                                                               0, SECURITY_NATIVE_DREP, nullptr, 0, context,
                                                               &outDesc, &attrs, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED)
    {
        r.status = status;
        return r;
    }
    std::string toServer(static_cast<char*>(out.pvBuffer), out.cbBuffer);
    table->FreeContextBuffer(out.pvBuffer);
    std::string wire;    // server bytes not yet read by the client
    std::string pending; // bytes read, not consumed
    bool needRead = true;
    for (int pass = 0; pass < 100000; ++pass)
    {
        wire += server.Step(toServer, &r.serverDone, appData);
        toServer.clear();
        if (needRead || pending.empty())
        {
            if (wire.empty())
            {
                r.status = SEC_E_INTERNAL_ERROR; // would wait forever
                return r;
            }
            const size_t take = std::min(chunk, wire.size());
            pending += wire.substr(0, take);
            wire.erase(0, take);
        }
        SecBuffer in[2] = {{static_cast<ULONG>(pending.size()), SECBUFFER_TOKEN, pending.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        out = {0, SECBUFFER_TOKEN, nullptr};
        attrs = 0;
        status = table->InitializeSecurityContextA(cred, context, nullptr, kReq, 0, SECURITY_NATIVE_DREP,
                                                   &inDesc, 0, nullptr, &outDesc, &attrs, nullptr);
        if (out.pvBuffer)
        {
            toServer.assign(static_cast<char*>(out.pvBuffer), out.cbBuffer);
            table->FreeContextBuffer(out.pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE)
        {
            ++r.incompleteMessages;
            needRead = true;
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        {
            ++r.incompleteCredentials;
            needRead = false;
            continue;
        }
        const size_t extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        if (status == SEC_E_OK)
        {
            r.extra = pending.substr(pending.size() - extra) + wire;
            server.Step(toServer, &r.serverDone);
            r.status = status;
            return r;
        }
        if (status != SEC_I_CONTINUE_NEEDED)
        {
            r.status = status;
            return r;
        }
        pending = pending.substr(pending.size() - extra);
        needRead = pending.empty();
    }
    r.status = SEC_E_INTERNAL_ERROR;
    return r;
}

Identity& EcLeaf()
{
    static Identity id = TestPki::Get().Leaf({"/CN=localhost", {"DNS:localhost"}, false, -1, 30, 0x0A});
    return id;
}

Identity& RsaLeaf()
{
    static Identity id = TestPki::Get().Leaf({"/CN=localhost", {"DNS:localhost"}, false, -1, 30, 0x0B}, true);
    return id;
}

ServerSetup ServerFor(Identity& id)
{
    ServerSetup s;
    s.id.cert.reset(X509_dup(id.cert.get()));
    s.id.key.reset(id.key.get());
    EVP_PKEY_up_ref(id.key.get());
    s.id.chain = id.chain;
    return s;
}

TEST_F(Provider, RefusesWhatItCannotOffer)
{
    CredHandle cred{};
    EXPECT_EQ(Acquire(&cred, 0xFF0, "Kerberos"), SEC_E_SECPKG_NOT_FOUND);
    TimeStamp expiry;
    SCHANNEL_CRED sc{};
    sc.dwVersion = 3;
    EXPECT_EQ(m_table->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                                 SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr, nullptr, &cred,
                                                 &expiry),
              SEC_E_UNKNOWN_CREDENTIALS);
    EXPECT_EQ(m_table->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                                 SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, &expiry),
              SEC_E_INVALID_HANDLE);
    CredHandle forged{0x1234, 0x4B564352};
    EXPECT_EQ(m_table->FreeCredentialsHandle(&forged), SEC_E_INVALID_HANDLE);
    CtxtHandle forgedContext{0x1234, 0x4B564358};
    EXPECT_EQ(m_table->DeleteSecurityContext(&forgedContext), SEC_E_INVALID_HANDLE);
}

// The server's bytes reach the provider in reads of one size, for each
// protocol version, with and without a client certificate request.
class ProviderWire : public Provider, public ::testing::WithParamInterface<size_t>
{};

TEST_P(ProviderWire, HandshakeCompletesWhateverTheCuts)
{
    const size_t chunk = GetParam();
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION})
        for (bool requestCert : {false, true})
        {
            SCOPED_TRACE(std::to_string(version) + (requestCert ? " with a certificate request" : ""));
            ServerSetup setup = ServerFor(EcLeaf());
            setup.maxVersion = version;
            setup.requestCert = requestCert;
            Server server(setup);
            CredHandle cred{};
            ASSERT_EQ(Acquire(&cred, version == TLS1_3_VERSION ? 0x3FF0 : 0xFF0), SEC_E_OK);
            CtxtHandle context{};
            const DriveResult r = Drive(m_table, &cred, &context, server, chunk);
            EXPECT_EQ(r.status, SEC_E_OK);
            EXPECT_TRUE(r.serverDone);
            EXPECT_EQ(r.extra, "");
            EXPECT_EQ(r.incompleteCredentials, requestCert ? 1 : 0);
            if (chunk < 5)
            {
                EXPECT_GT(r.incompleteMessages, 0);
            }
            const char* sni = SSL_get_servername(server.ssl, TLSEXT_NAMETYPE_host_name);
            EXPECT_STREQ(sni ? sni : "", "localhost");
            EXPECT_EQ(SSL_get0_peer_certificate(server.ssl), nullptr); // no client certificate offered
            m_table->DeleteSecurityContext(&context);
            m_table->FreeCredentialsHandle(&cred);
        }
}

INSTANTIATE_TEST_SUITE_P(Cuts, ProviderWire,
                         ::testing::Values(size_t{1}, size_t{4}, size_t{5}, size_t{13}, size_t{100},
                                           size_t{517}, size_t{700}, size_t{1} << 20),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return info.param == size_t{1} << 20 ? std::string("WholeFlight")
                                                                  : "Chunk" + std::to_string(info.param);
                         });

TEST_F(Provider, BytesAfterTheHandshakeComeBackAsExtra)
{
    ServerSetup setup = ServerFor(EcLeaf());
    setup.maxVersion = TLS1_2_VERSION;
    Server server(setup);
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred), SEC_E_OK);
    CtxtHandle context{};
    // The server's Finished and "hello" reach the client in one read.
    const DriveResult r = Drive(m_table, &cred, &context, server, 1 << 20, "hello");
    EXPECT_EQ(r.status, SEC_E_OK);
    EXPECT_EQ(r.extra.size(), 5u + 8u + 5u + 16u);          // one AES-GCM record: header, nonce, data, tag
    EXPECT_EQ(static_cast<unsigned char>(r.extra[0]), 23u); // application data
    // A handle is live until it is given back, and never after.
    EXPECT_EQ(m_table->DeleteSecurityContext(&context), SEC_E_OK);
    EXPECT_EQ(m_table->DeleteSecurityContext(&context), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(m_table->FreeCredentialsHandle(&cred), SEC_E_OK);
    EXPECT_EQ(m_table->FreeCredentialsHandle(&cred), SEC_E_INVALID_HANDLE);
}

TEST_F(Provider, ShutdownYieldsACloseNotifyTheServerReads)
{
    ServerSetup setup = ServerFor(EcLeaf());
    Server server(setup);
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred), SEC_E_OK);
    CtxtHandle context{};
    ASSERT_EQ(Drive(m_table, &cred, &context, server, 1 << 20).status, SEC_E_OK);
    std::string token;
    ASSERT_EQ(Shutdown(&cred, &context, &token), SEC_E_OK);
    ASSERT_GT(token.size(), 0u);
    BIO_write(server.in, token.data(), static_cast<int>(token.size()));
    char buffer[16];
    const int n = SSL_read(server.ssl, buffer, sizeof buffer);
    EXPECT_EQ(SSL_get_error(server.ssl, n), SSL_ERROR_ZERO_RETURN);
    m_table->DeleteSecurityContext(&context);
    m_table->FreeCredentialsHandle(&cred);
}

TEST_F(Provider, ShutdownBeforeTheHandshakeGivesNoToken)
{
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred), SEC_E_OK);
    CtxtHandle context{};
    ASSERT_EQ(Start(&cred, &context, "127.0.0.1"), SEC_I_CONTINUE_NEEDED);
    std::string token = "unset";
    EXPECT_EQ(Shutdown(&cred, &context, &token), SEC_E_OK);
    EXPECT_EQ(token, "");
    m_table->DeleteSecurityContext(&context);
    m_table->FreeCredentialsHandle(&cred);
}

TEST_F(Provider, GarbageIsAnInvalidToken)
{
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred), SEC_E_OK);
    CtxtHandle context{};
    ASSERT_EQ(Start(&cred, &context, "localhost"), SEC_I_CONTINUE_NEEDED);
    std::string reply = "HTTP/1.1 400 Bad Request\r\n\r\n";
    SecBuffer in[2] = {{static_cast<ULONG>(reply.size()), SECBUFFER_TOKEN, reply.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attrs = 0;
    EXPECT_EQ(m_table->InitializeSecurityContextA(&cred, &context, nullptr, kReq, 0, SECURITY_NATIVE_DREP,
                                                  &inDesc, 0, nullptr, &outDesc, &attrs, nullptr),
              SEC_E_INVALID_TOKEN);
    if (out.pvBuffer)
        m_table->FreeContextBuffer(out.pvBuffer);
    m_table->DeleteSecurityContext(&context);
    m_table->FreeCredentialsHandle(&cred);
}

struct SuiteCase
{
    const char* name;
    bool rsa;
    int version;
    const char* ciphers;
    DWORD protocol;
    ALG_ID cipher;
    DWORD cipherBits;
    ALG_ID hash;
    DWORD hashBits;
    ALG_ID exchange;
    DWORD exchangeBits;
    ULONG header;
    ULONG trailer;
};

class ProviderSuites : public Provider, public ::testing::WithParamInterface<SuiteCase>
{};

TEST_P(ProviderSuites, ReportsTheNegotiatedFacts)
{
    const SuiteCase c = GetParam();
    ServerSetup setup = ServerFor(c.rsa ? RsaLeaf() : EcLeaf());
    setup.maxVersion = c.version;
    setup.minVersion = c.version;
    setup.ciphers = c.ciphers;
    setup.level0 = c.version < TLS1_2_VERSION;
    Server server(setup);
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred), SEC_E_OK);
    CtxtHandle context{};
    ASSERT_EQ(Drive(m_table, &cred, &context, server, 1 << 20).status, SEC_E_OK);

    SecPkgContext_ConnectionInfo info{};
    ASSERT_EQ(m_table->QueryContextAttributesA(&context, SECPKG_ATTR_CONNECTION_INFO, &info), SEC_E_OK);
    EXPECT_EQ(info.dwProtocol, c.protocol);
    EXPECT_EQ(info.aiCipher, c.cipher);
    EXPECT_EQ(info.dwCipherStrength, c.cipherBits);
    EXPECT_EQ(info.aiHash, c.hash);
    EXPECT_EQ(info.dwHashStrength, c.hashBits);
    EXPECT_EQ(info.aiExch, c.exchange);
    EXPECT_EQ(info.dwExchStrength, c.exchangeBits);

    SecPkgContext_StreamSizes sizes{};
    ASSERT_EQ(m_table->QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
    EXPECT_EQ(sizes.cbHeader, c.header);
    EXPECT_EQ(sizes.cbTrailer, c.trailer);
    EXPECT_EQ(sizes.cbMaximumMessage, 16384u);

    // A real record of one byte fits the reported header and trailer.
    SSL_write(server.ssl, "x", 1);
    char buffer[256];
    const int n = BIO_read(server.out, buffer, sizeof buffer);
    EXPECT_LE(static_cast<ULONG>(n), sizes.cbHeader + 1 + sizes.cbTrailer);

    PCCERT_CONTEXT cert = nullptr;
    ASSERT_EQ(m_table->QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert), SEC_E_OK);
    int inStore = 0;
    for (PCCERT_CONTEXT c2 = nullptr; (c2 = CertEnumCertificatesInStore(cert->hCertStore, c2)) != nullptr;)
        ++inStore;
    EXPECT_EQ(inStore, 2); // exactly what the server sent: leaf and intermediate
    CertFreeCertificateContext(cert);
    m_table->DeleteSecurityContext(&context);
    m_table->FreeCredentialsHandle(&cred);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, ProviderSuites,
    ::testing::Values(
        SuiteCase{"EcdheRsaAes256GcmSha384", true, TLS1_2_VERSION, "ECDHE-RSA-AES256-GCM-SHA384",
                  SP_PROT_TLS1_2_CLIENT, CALG_AES_256, 256, CALG_SHA_384, 384, CALG_ECDH_EPHEM, 255, 13, 16},
        SuiteCase{"EcdheEcdsaAes128GcmSha256", false, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256",
                  SP_PROT_TLS1_2_CLIENT, CALG_AES_128, 128, CALG_SHA_256, 256, CALG_ECDH_EPHEM, 255, 13, 16},
        SuiteCase{"RsaAes256Sha", true, TLS1_2_VERSION, "AES256-SHA", SP_PROT_TLS1_2_CLIENT, CALG_AES_256,
                  256, CALG_SHA1, 160, CALG_RSA_KEYX, 2048, 21, 36},
        SuiteCase{"DheRsaAes256GcmSha384", true, TLS1_2_VERSION, "DHE-RSA-AES256-GCM-SHA384",
                  SP_PROT_TLS1_2_CLIENT, CALG_AES_256, 256, CALG_SHA_384, 384, CALG_DH_EPHEM, 2048, 13, 16},
        SuiteCase{"Tls10EcdheRsaAes128Sha", true, TLS1_VERSION, "ECDHE-RSA-AES128-SHA:@SECLEVEL=0",
                  SP_PROT_TLS1_CLIENT, CALG_AES_128, 128, CALG_SHA1, 160, CALG_ECDH_EPHEM, 255, 5, 36},
        SuiteCase{"Tls11RsaAes128Sha", true, TLS1_1_VERSION, "AES128-SHA:@SECLEVEL=0", SP_PROT_TLS1_1_CLIENT,
                  CALG_AES_128, 128, CALG_SHA1, 160, CALG_RSA_KEYX, 2048, 21, 36}),
    [](const ::testing::TestParamInfo<SuiteCase>& info) { return std::string(info.param.name); });

TEST_F(Provider, NoTls13IsOfferedUnderThePlatformProtocolBits)
{
    ServerSetup setup = ServerFor(EcLeaf());
    setup.minVersion = TLS1_3_VERSION;
    Server server(setup);
    CredHandle cred{};
    ASSERT_EQ(Acquire(&cred, 0xFF0), SEC_E_OK);
    CtxtHandle context{};
    const DriveResult r = Drive(m_table, &cred, &context, server, 1 << 20);
    EXPECT_LT(r.status, 0);
    m_table->DeleteSecurityContext(&context);
    m_table->FreeCredentialsHandle(&cred);
}

// A process whose first use of OpenSSL is the provider's credentials: no
// clean-up runs at exit (threads may still hold the shared contexts), and
// OpenSSL's error texts, which nothing here prints, are not loaded.
[[noreturn]] void FirstUseIsTheProvider(SecurityFunctionTableA* table)
{
    CredHandle cred{};
    SCHANNEL_CRED sc{};
    sc.dwVersion = SCHANNEL_CRED_VERSION;
    if (table->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                         nullptr, &sc, nullptr, nullptr, &cred, nullptr) != SEC_E_OK)
        std::_Exit(2);
    const bool texts =
        ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_WRONG_VERSION_NUMBER)) != nullptr ||
        ERR_reason_error_string(ERR_PACK(ERR_LIB_X509, 0, X509_R_CERT_ALREADY_IN_HASH_TABLE)) != nullptr;
    OPENSSL_atexit([] { std::_Exit(3); });
    std::exit(texts ? 4 : 0);
}

TEST_F(Provider, SetsUpOpenSslWithoutCleanUpAtExitOrErrorTexts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process
    EXPECT_EXIT(FirstUseIsTheProvider(m_table), ::testing::ExitedWithCode(0), "");
}
} // namespace
