// The system trust store as the certificate services see it: SSL_CERT_FILE
// and SSL_CERT_DIR, the system folder searched by subject hash when a chain
// needs a root, and one store per process. The store is built once, from
// the environment of the moment, so every case runs in a fresh process.
#include "support/temp_folder.h"
#include "support/test_pki.h"
#include "wincrypt.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace
{
// A root and a leaf it issued.
struct Issuer
{
    Key rootKey = MakeEcKey(), leafKey = MakeEcKey();
    Cert root, leaf;
    explicit Issuer(const std::string& name)
    {
        root = MakeCert({.subject = "/O=Kestavane Trust/CN=" + name + " Root", .ca = true, .serial = 1},
                        rootKey.get(), nullptr, rootKey.get());
        leaf = MakeCert({.subject = "/CN=" + name + ".test", .san = {"DNS:" + name + ".test"}, .serial = 2},
                        leafKey.get(), root.get(), rootKey.get());
    }
    // Puts the root into a hashed certificate folder, as the system's are.
    void Hash(const fs::path& folder) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(root.get()));
        WriteFile((folder / name).string(), ToPem(root.get()));
    }
};

// Whether the chain of a certificate sent alone ends in a trusted root.
bool Trusted(X509* cert)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PCCERT_CONTEXT context = nullptr;
    platform::CertAddX509ToStore(store, cert, &context);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool trusted = false;
    if (context && CertGetCertificateChain(nullptr, context, nullptr, store, nullptr, 0, nullptr, &chain))
    {
        trusted = (chain->TrustStatus.dwErrorStatus &
                   (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) == 0;
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(context);
    CertCloseStore(store, 0);
    return trusted;
}

// A root from the system folder, valid today; null when there is none.
Cert SystemRoot()
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(X509_get_default_cert_dir(), error))
    {
        const std::string name = entry.path().filename().string();
        if (name.size() != 10 || name.substr(8) != ".0")
            continue;
        FILE* file = std::fopen(entry.path().c_str(), "r");
        if (file == nullptr)
            continue;
        Cert cert(PEM_read_X509(file, nullptr, nullptr, nullptr));
        std::fclose(file);
        if (cert && X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0 &&
            X509_cmp_current_time(X509_get0_notAfter(cert.get())) > 0 &&
            X509_check_issued(cert.get(), cert.get()) == X509_V_OK)
            return cert;
    }
    return nullptr;
}

void SetTrustEnvironment(const char* file, const char* dir)
{
    if (file)
        ::setenv("SSL_CERT_FILE", file, 1);
    else
        ::unsetenv("SSL_CERT_FILE");
    if (dir)
        ::setenv("SSL_CERT_DIR", dir, 1);
    else
        ::unsetenv("SSL_CERT_DIR");
}

// Ends the process that ran the checks: status 0 when every one came out as
// expected, else 1, with what came out on the error output.
[[noreturn]] void Finish(std::initializer_list<std::pair<const char*, bool>> checks)
{
    bool ok = true;
    for (const auto& [what, passed] : checks)
        if (!passed)
        {
            std::fprintf(stderr, "failed: %s\n", what);
            ok = false;
        }
    std::fflush(stderr);
    std::_Exit(ok ? 0 : 1);
}

// The cases, each run in a process of its own.
[[noreturn]] void PinnedFileReadOnce()
{
    TempFolder folder;
    Issuer pinned("pinned"), other("other");
    const std::string file = (folder.path / "root.pem").string();
    WriteFile(file, ToPem(pinned.root.get()));
    SetTrustEnvironment(file.c_str(), folder.path.c_str());
    const bool first = Trusted(pinned.leaf.get());
    const bool stranger = Trusted(other.leaf.get());
    // What the store read stays; the file is not read again.
    WriteFile(file, ToPem(other.root.get()));
    const bool again = Trusted(pinned.leaf.get());
    const bool newcomer = Trusted(other.leaf.get());
    Finish({{"the pinned root is trusted", first},
            {"a root outside the file is not", !stranger},
            {"the pinned root is still trusted after the file changed", again},
            {"the file's new root is not read", !newcomer}});
}

[[noreturn]] void FolderSearchedWhenNeeded()
{
    TempFolder folder, certs;
    Issuer unrelated("unrelated"), late("late");
    const std::string file = (folder.path / "root.pem").string();
    WriteFile(file, ToPem(unrelated.root.get()));
    SetTrustEnvironment(file.c_str(), certs.path.c_str());
    const bool before = Trusted(late.leaf.get()); // builds the store
    late.Hash(certs.path);
    const bool after = Trusted(late.leaf.get());
    Finish({{"a root not yet in the folder is not trusted", !before},
            {"a root hashed into the folder later is found", after}});
}

[[noreturn]] void SystemRootsBesideOwnFolder()
{
    TempFolder certs;
    Issuer own("own"), stranger("stranger");
    own.Hash(certs.path);
    SetTrustEnvironment(nullptr, certs.path.c_str());
    Cert system = SystemRoot();
    Finish({{"a root in SSL_CERT_DIR is trusted", Trusted(own.leaf.get())},
            {"a system root is trusted", Trusted(system.get())},
            {"a root in neither is not", !Trusted(stranger.leaf.get())}});
}

[[noreturn]] void SystemFolderByDefault()
{
    Issuer stranger("stranger");
    SetTrustEnvironment(nullptr, nullptr);
    Cert system = SystemRoot();
    Finish({{"a system root is trusted", Trusted(system.get())},
            {"a root outside the system store is not", !Trusted(stranger.leaf.get())}});
}

[[noreturn]] void PinnedFileKeepsSystemFolder()
{
    TempFolder folder;
    Issuer pinned("pinned");
    const std::string file = (folder.path / "root.pem").string();
    WriteFile(file, ToPem(pinned.root.get()));
    SetTrustEnvironment(file.c_str(), nullptr);
    Cert system = SystemRoot();
    Finish({{"the pinned root is trusted", Trusted(pinned.leaf.get())},
            {"a system root is trusted", Trusted(system.get())}});
}

class TrustStore : public ::testing::Test
{
protected:
    // A fresh process for each case, whatever ran before in this one.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    static bool HaveSystemRoots() { return SystemRoot() != nullptr; }
};

TEST_F(TrustStore, ThePinnedFileIsReadOnceForTheProcess)
{
    EXPECT_EXIT(PinnedFileReadOnce(), ::testing::ExitedWithCode(0), "");
}

TEST_F(TrustStore, TheHashedFolderIsSearchedWhenAChainNeedsIt)
{
    EXPECT_EXIT(FolderSearchedWhenNeeded(), ::testing::ExitedWithCode(0), "");
}

TEST_F(TrustStore, TheSystemRootsStayBesideAFolderOfOnesOwn)
{
    if (!HaveSystemRoots())
        GTEST_SKIP() << "no system roots in " << X509_get_default_cert_dir();
    EXPECT_EXIT(SystemRootsBesideOwnFolder(), ::testing::ExitedWithCode(0), "");
}

TEST_F(TrustStore, WithoutTheVariablesTheSystemFolderDecides)
{
    if (!HaveSystemRoots())
        GTEST_SKIP() << "no system roots in " << X509_get_default_cert_dir();
    EXPECT_EXIT(SystemFolderByDefault(), ::testing::ExitedWithCode(0), "");
}

TEST_F(TrustStore, ThePinnedFileKeepsTheSystemFolder)
{
    if (!HaveSystemRoots())
        GTEST_SKIP() << "no system roots in " << X509_get_default_cert_dir();
    EXPECT_EXIT(PinnedFileKeepsSystemFolder(), ::testing::ExitedWithCode(0), "");
}
} // namespace
