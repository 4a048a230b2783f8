// The TLS test of one loopback target against a bare OpenSSL client
// handshake to the same server: wall time and this thread's CPU time.
#include "ssl_tester.h"
#include "support/fake_resolver.h"
#include "support/recording_owner.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;

namespace
{
CertRecipe LocalhostRecipe()
{
    CertRecipe recipe;
    recipe.subject = "/CN=localhost";
    recipe.san = {"DNS:localhost"};
    return recipe;
}

struct Target
{
    Identity id = TestPki::Get().Leaf(LocalhostRecipe());
    std::unique_ptr<TlsPeer> peer;
    Target()
    {
        TlsPeerOptions options;
        options.cert = id.cert.get();
        options.key = id.key.get();
        options.chain = id.chain;
        options.connections = 1000000;
        options.lifetimeMs = 600000;
        peer = std::make_unique<TlsPeer>(options);
    }
    static Target& Get()
    {
        static Target target;
        return target;
    }
};

void BM_TlsTestOfOneTarget(benchmark::State& state)
{
    Target& target = Target::Get();
    FakeResolver resolver;
    CRecordingOwner owner;
    for (auto _ : state)
    {
        owner.ClearHistory();
        CSslTester tester(&owner);
        if (!tester.Test("localhost", target.peer->Port(), "BENCH"))
        {
            state.SkipWithError("the TLS test failed");
            break;
        }
    }
}

void BM_BareOpenSslHandshake(benchmark::State& state)
{
    Target& target = Target::Get();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(target.peer->Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        {
            state.SkipWithError("connect failed");
            ::close(fd);
            break;
        }
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        const bool ok = SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK;
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ::close(fd);
        if (!ok)
        {
            state.SkipWithError("bare handshake failed");
            break;
        }
    }
    SSL_CTX_free(ctx);
}

BENCHMARK(BM_TlsTestOfOneTarget)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareOpenSslHandshake)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
} // namespace

int main(int argc, char** argv)
{
    TestPki::Get(); // points the trust store at the test root before anything loads it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
