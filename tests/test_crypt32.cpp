// Certificate services: names, issuer lookup, chain building and the SSL
// policy in the platform's order of errors.
#include "issuer_fetch.h"
#include "support/test_pki.h"
#include "wincrypt.h"

#include <gtest/gtest.h>

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <string>
#include <vector>

using namespace testing_support;

namespace
{
// A memory store holding the given certificates; contexts[0] is the first.
struct StoreOf
{
    HCERTSTORE store;
    std::vector<PCCERT_CONTEXT> contexts;
    explicit StoreOf(const std::vector<X509*>& certs)
    {
        store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        for (X509* c : certs)
        {
            unsigned char* der = nullptr;
            const int n = i2d_X509(c, &der);
            PCCERT_CONTEXT added = nullptr;
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(n),
                                             CERT_STORE_ADD_ALWAYS, &added);
            OPENSSL_free(der);
            contexts.push_back(added);
        }
    }
    ~StoreOf()
    {
        for (auto c : contexts)
            CertFreeCertificateContext(c);
        CertCloseStore(store, 0);
    }
};

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Server authentication and the two server-gated cryptography usages, any one
// of which suffices: what the TLS test asks for.
const std::vector<std::string> kServerUsages = {"1.3.6.1.5.5.7.3.1", "1.3.6.1.4.1.311.10.3.3",
                                                "2.16.840.1.113730.4.1"};

// The chain of a leaf sent with the given certificates, for the requested usages.
PCCERT_CHAIN_CONTEXT BuildChain(X509* leaf, const std::vector<X509*>& sent,
                                const std::vector<std::string>& usages = kServerUsages,
                                DWORD matchType = USAGE_MATCH_TYPE_OR)
{
    std::vector<X509*> all{leaf};
    all.insert(all.end(), sent.begin(), sent.end());
    StoreOf store(all);
    std::vector<char*> oids;
    for (const auto& u : usages)
        oids.push_back(const_cast<char*>(u.c_str()));
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage = {matchType, {static_cast<DWORD>(oids.size()), oids.data()}};
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    EXPECT_TRUE(
        CertGetCertificateChain(nullptr, store.contexts[0], nullptr, store.store, &para, 0, nullptr, &chain));
    return chain;
}

// The policy error for a leaf sent with the given chain, checked for a name.
DWORD PolicyError(X509* leaf, const std::vector<X509*>& sent, const std::string& host, DWORD ignore = 0)
{
    PCCERT_CHAIN_CONTEXT chain = BuildChain(leaf, sent);
    std::u16string name = Wide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, AUTHTYPE_SERVER, ignore,
                                         reinterpret_cast<WCHAR*>(name.data())};
    CERT_CHAIN_POLICY_PARA policy{sizeof policy, 0, &ssl};
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
    CertFreeCertificateChain(chain);
    return status.dwError;
}

class Policy : public ::testing::Test
{
protected:
    TestPki& pki = TestPki::Get();
    Cert Leaf(CertRecipe request)
    {
        return MakeCert(request, key.get(), pki.inter.get(), pki.interKey.get());
    }
    Key key = MakeEcKey();
};

TEST_F(Policy, AValidChainPassesForItsNames)
{
    Cert leaf = Leaf({"/CN=gw.test", {"DNS:gw.test", "DNS:*.wild.test", "IP:127.0.0.1"}});
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "gw.test"), 0u);
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "GW.TEST"), 0u);
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "a.wild.test"), 0u);
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "127.0.0.1"), 0u);
}

TEST_F(Policy, NamesThatDoNotMatch)
{
    Cert leaf = Leaf({"/CN=gw.test", {"DNS:gw.test", "DNS:*.wild.test"}});
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "other.test"), CERT_E_CN_NO_MATCH);
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "a.b.wild.test"),
              CERT_E_CN_NO_MATCH); // one label only
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "127.0.0.1"), CERT_E_CN_NO_MATCH);
    Cert partial = Leaf({"/CN=x", {"DNS:f*.wild.test"}});
    EXPECT_EQ(PolicyError(partial.get(), {pki.inter.get()}, "foo.wild.test"), CERT_E_CN_NO_MATCH);
}

TEST_F(Policy, CommonNameCountsOnlyWithoutSubjectAltNames)
{
    Cert cnOnly = Leaf({"/CN=cn.test"});
    EXPECT_EQ(PolicyError(cnOnly.get(), {pki.inter.get()}, "cn.test"), 0u);
    Cert ipSan = Leaf({"/CN=cn.test", {"IP:127.0.0.1"}});
    EXPECT_EQ(PolicyError(ipSan.get(), {pki.inter.get()}, "cn.test"), CERT_E_CN_NO_MATCH);
    Cert ipCn = Leaf({"/CN=127.0.0.1"});
    EXPECT_EQ(PolicyError(ipCn.get(), {pki.inter.get()}, "127.0.0.1"), 0u);
}

TEST_F(Policy, ErrorsComeInThePlatformOrder)
{
    Cert expired = Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -3, -1});
    EXPECT_EQ(PolicyError(expired.get(), {pki.inter.get()}, "gw.test"), CERT_E_EXPIRED);
    EXPECT_EQ(PolicyError(expired.get(), {pki.inter.get()}, "other.test"),
              CERT_E_EXPIRED); // expiry before name

    Key selfKey = MakeEcKey();
    Cert self = MakeCert({"/CN=gw.test", {"DNS:gw.test"}}, selfKey.get(), nullptr, selfKey.get());
    EXPECT_EQ(PolicyError(self.get(), {}, "gw.test"), CERT_E_UNTRUSTEDROOT);
    Cert selfExpired =
        MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -3, -1}, selfKey.get(), nullptr, selfKey.get());
    EXPECT_EQ(PolicyError(selfExpired.get(), {}, "other.test"), CERT_E_UNTRUSTEDROOT); // root before expiry

    Cert leaf = Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    EXPECT_EQ(PolicyError(leaf.get(), {}, "gw.test"), CERT_E_UNTRUSTEDROOT); // intermediate not sent

    Cert clientOnly = Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 7, "clientAuth"});
    EXPECT_EQ(PolicyError(clientOnly.get(), {pki.inter.get()}, "gw.test"), CERT_E_WRONG_USAGE);
    Cert serverAuth = Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 8, "serverAuth,clientAuth"});
    EXPECT_EQ(PolicyError(serverAuth.get(), {pki.inter.get()}, "gw.test"), 0u);
}

// An intermediate under the test root whose extended key usage is as given
// ("" for none), and leaves it issues.
class ChainUsage : public Policy
{
protected:
    Cert Intermediate(const std::string& usage)
    {
        return MakeCert({"/CN=Restricted Intermediate", {}, true, -10, 3650, 0x2002, usage}, interKey.get(),
                        pki.root.get(), pki.rootKey.get());
    }
    Cert LeafUnder(X509* issuer, const std::string& usage, int notAfterDays = 30)
    {
        return MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -3, notAfterDays, 0x0B, usage}, key.get(),
                        issuer, interKey.get());
    }
    Key interKey = MakeEcKey();
};

struct UsageCase
{
    const char* intermediate;
    const char* leaf;
    DWORD expected;
};

class ChainUsageCases : public ChainUsage, public ::testing::WithParamInterface<UsageCase>
{};

TEST_P(ChainUsageCases, EveryCertificateThatRestrictsUsageMustAllowIt)
{
    Cert inter = Intermediate(GetParam().intermediate);
    Cert leaf = LeafUnder(inter.get(), GetParam().leaf);
    EXPECT_EQ(PolicyError(leaf.get(), {inter.get()}, "gw.test"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Usages, ChainUsageCases,
                         ::testing::Values(UsageCase{"clientAuth", "serverAuth", CERT_E_WRONG_USAGE},
                                           UsageCase{"clientAuth", "", CERT_E_WRONG_USAGE},
                                           UsageCase{"", "clientAuth", CERT_E_WRONG_USAGE},
                                           UsageCase{"serverAuth,clientAuth", "serverAuth", 0},
                                           UsageCase{"", "serverAuth", 0},
                                           UsageCase{"anyExtendedKeyUsage", "serverAuth", 0},
                                           UsageCase{"clientAuth", "anyExtendedKeyUsage", CERT_E_WRONG_USAGE},
                                           // each allows one usage that was asked for, but not the same one
                                           UsageCase{"msSGC", "serverAuth", CERT_E_WRONG_USAGE},
                                           UsageCase{"msSGC,clientAuth", "serverAuth,msSGC", 0},
                                           UsageCase{"nsSGC", "", 0}));

TEST_F(ChainUsage, ComesAfterRootAndTimeAndBeforeTheName)
{
    Cert clientOnly = Intermediate("clientAuth");
    Cert leaf = LeafUnder(clientOnly.get(), "serverAuth");
    EXPECT_EQ(PolicyError(leaf.get(), {clientOnly.get()}, "other.test"), CERT_E_WRONG_USAGE);
    EXPECT_EQ(PolicyError(leaf.get(), {clientOnly.get()}, "gw.test", SECURITY_FLAG_IGNORE_WRONG_USAGE), 0u);
    EXPECT_EQ(PolicyError(leaf.get(), {clientOnly.get()}, "other.test", SECURITY_FLAG_IGNORE_WRONG_USAGE),
              CERT_E_CN_NO_MATCH);

    Cert expired = LeafUnder(clientOnly.get(), "serverAuth", -1);
    EXPECT_EQ(PolicyError(expired.get(), {clientOnly.get()}, "gw.test"), CERT_E_EXPIRED);

    Key strangerKey = MakeEcKey();
    Cert stranger = MakeCert({"/CN=Stranger Root", {}, true, -10, 3650, 0x3003}, strangerKey.get(), nullptr,
                             strangerKey.get());
    Cert unrooted = MakeCert({"/CN=Restricted Intermediate", {}, true, -10, 3650, 0x2002, "clientAuth"},
                             interKey.get(), stranger.get(), strangerKey.get());
    Cert leafUnrooted = LeafUnder(unrooted.get(), "serverAuth");
    EXPECT_EQ(PolicyError(leafUnrooted.get(), {unrooted.get()}, "gw.test"),
              CERT_E_UNTRUSTEDROOT); // root not sent
}

TEST_F(ChainUsage, MarksTheElementThatCannotServe)
{
    auto usageBits = [](PCCERT_CHAIN_CONTEXT chain) {
        std::vector<bool> bits;
        for (DWORD i = 0; i < chain->rgpChain[0]->cElement; ++i)
            bits.push_back(chain->rgpChain[0]->rgpElement[i]->TrustStatus.dwErrorStatus &
                           CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
        const bool whole = chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        CertFreeCertificateChain(chain);
        return std::make_pair(whole, bits);
    };
    Cert clientOnly = Intermediate("clientAuth");
    Cert leaf = LeafUnder(clientOnly.get(), "serverAuth");
    EXPECT_EQ(usageBits(BuildChain(leaf.get(), {clientOnly.get()})),
              std::make_pair(true, std::vector<bool>{false, true, false}));
    Cert sgcOnly = Intermediate("msSGC");
    Cert crossed = LeafUnder(sgcOnly.get(), "serverAuth");
    EXPECT_EQ(usageBits(BuildChain(crossed.get(), {sgcOnly.get()})),
              std::make_pair(true, std::vector<bool>{true, false, false}));

    // Every usage asked for must hold when they are asked for together.
    Cert both = Intermediate("serverAuth,clientAuth");
    Cert leafBoth = LeafUnder(both.get(), "serverAuth,clientAuth");
    const std::vector<std::string> serverAndClient = {"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.2"};
    EXPECT_EQ(
        usageBits(BuildChain(leafBoth.get(), {both.get()}, serverAndClient, USAGE_MATCH_TYPE_AND)).first,
        false);
    Cert leafServer = LeafUnder(both.get(), "serverAuth");
    EXPECT_EQ(usageBits(BuildChain(leafServer.get(), {both.get()}, serverAndClient, USAGE_MATCH_TYPE_AND)),
              std::make_pair(true, std::vector<bool>{true, false, false}));
    EXPECT_EQ(
        usageBits(BuildChain(leafServer.get(), {both.get()}, serverAndClient, USAGE_MATCH_TYPE_OR)).first,
        false);
}

TEST_F(Policy, ACertificateThatIsNoCaCannotIssue)
{
    Key midKey = MakeEcKey();
    Cert notCa = Leaf({"/CN=not a ca", {"DNS:x.test"}});
    Cert leaf = MakeCert({"/CN=gw.test", {"DNS:gw.test"}}, key.get(), notCa.get(), key.get());
    EXPECT_NE(PolicyError(leaf.get(), {notCa.get(), pki.inter.get()}, "gw.test"), 0u);
}

TEST(CertNames, X500StringsInDerOrderWithThePlatformKeysAndQuoting)
{
    Key key = MakeEcKey();
    Cert cert = MakeCert({"/C=US/ST=Ohio/O=Example Org/OU=a+b/CN= padded /emailAddress=ops@example.test/"
                          "businessCategory=Shop"},
                         key.get(), nullptr, key.get());
    StoreOf store({cert.get()});
    char text[1000];
    const DWORD n = CertNameToStrA(X509_ASN_ENCODING, &store.contexts[0]->pCertInfo->Subject,
                                   CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, text, sizeof text);
    const std::string expected =
        "C=US, S=Ohio, O=Example Org, OU=\"a+b\", CN=\" padded \", E=ops@example.test, OID.2.5.4.15=Shop";
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(n, expected.size() + 1);
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &store.contexts[0]->pCertInfo->Subject, CERT_X500_NAME_STR,
                             nullptr, 0),
              expected.size() + 1);
    char small[8];
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &store.contexts[0]->pCertInfo->Subject, CERT_X500_NAME_STR,
                             small, sizeof small),
              8u);
    EXPECT_STREQ(small, "C=US, S");
    CERT_NAME_BLOB broken{3, reinterpret_cast<BYTE*>(const_cast<char*>("abc"))};
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &broken, CERT_X500_NAME_STR, text, sizeof text), 0u);
}

TEST(CertNames, MultiValuedRdnAndQuotesInside)
{
    Key key = MakeEcKey();
    Cert cert(X509_new());
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Say \"hi\""),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("one"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("two"), -1,
                               -1, -1);
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(name, &der);
    CERT_NAME_BLOB blob{static_cast<DWORD>(n), der};
    char text[200];
    CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, text,
                   sizeof text);
    EXPECT_STREQ(text, "O=\"Say \"\"hi\"\"\", CN=one OU=two");
    CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, sizeof text);
    EXPECT_STREQ(text, "O=\"Say \"\"hi\"\"\", CN=one + OU=two");
    OPENSSL_free(der);
    X509_NAME_free(name);
}

TEST(CertNames, SimpleDisplayNameFallsBackInTheirOrder)
{
    Key key = MakeEcKey();
    auto display = [&](const CertRecipe& request) {
        Cert cert = MakeCert(request, key.get(), nullptr, key.get());
        StoreOf store({cert.get()});
        char text[200];
        const DWORD n = CertGetNameStringA(store.contexts[0], CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text,
                                           sizeof text);
        return std::make_pair(n, std::string(text));
    };
    EXPECT_EQ(display({"/O=Org/OU=Unit/CN=Common"}).second, "Common");
    EXPECT_EQ(display({"/O=Org/OU=Unit"}).second, "Unit");
    EXPECT_EQ(display({"/C=US/O=Org"}).second, "Org");
    EXPECT_EQ(display({"/C=US", {"email:ops@example.test"}}).second, "ops@example.test");
    EXPECT_EQ(display({"/C=US"}), std::make_pair(DWORD{1}, std::string()));
}

TEST(CertStore, IssuerLookupStaysInTheStoreAndStopsAtSelfSigned)
{
    TestPki& pki = TestPki::Get();
    Key key = MakeEcKey();
    Cert leaf = MakeCert({"/CN=gw.test"}, key.get(), pki.inter.get(), pki.interKey.get());
    StoreOf store({leaf.get(), pki.inter.get(), pki.root.get()});
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    PCCERT_CONTEXT issuer =
        CertGetIssuerCertificateFromStore(store.store, store.contexts[0], nullptr, &flags);
    ASSERT_EQ(issuer, store.contexts[1]);
    EXPECT_EQ(flags, 0u); // signature and validity both checked out
    PCCERT_CONTEXT top = CertGetIssuerCertificateFromStore(store.store, issuer, nullptr, nullptr);
    EXPECT_EQ(top, store.contexts[2]);
    EXPECT_EQ(CertGetIssuerCertificateFromStore(store.store, top, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_SELF_SIGNED);
    CertFreeCertificateContext(top);
    CertFreeCertificateContext(issuer);

    StoreOf alone({leaf.get()});
    EXPECT_EQ(CertGetIssuerCertificateFromStore(alone.store, alone.contexts[0], nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
}

// The serial number as the certificate encodes it, least significant byte
// first: a positive number whose top bit is set keeps its leading 0x00.
struct SerialCase
{
    long serial;
    std::vector<BYTE> blob;
};

class SerialNumbers : public ::testing::TestWithParam<SerialCase>
{};

TEST_P(SerialNumbers, AreTheBytesOfTheEncoding)
{
    Key key = MakeEcKey();
    Cert cert = MakeCert({"/CN=serial", {}, false, -1, 30, GetParam().serial}, key.get(), nullptr, key.get());
    StoreOf store({cert.get()});
    const CRYPT_INTEGER_BLOB& blob = store.contexts[0]->pCertInfo->SerialNumber;
    EXPECT_EQ(std::vector<BYTE>(blob.pbData, blob.pbData + blob.cbData), GetParam().blob);
}

INSTANTIATE_TEST_SUITE_P(Serials, SerialNumbers,
                         ::testing::Values(SerialCase{0x0A, {0x0A}}, SerialCase{0x9F, {0x9F, 0x00}},
                                           SerialCase{0x7F, {0x7F}}, SerialCase{0x80, {0x80, 0x00}},
                                           SerialCase{0x0102, {0x02, 0x01}},
                                           SerialCase{0x00C0FFEE, {0xEE, 0xFF, 0xC0, 0x00}},
                                           SerialCase{-1, {0xFF}}, SerialCase{-129, {0x7F, 0xFF}}));

TEST(SerialNumber, OfAFirstVersionCertificateWithoutTheVersionField)
{
    Key key = MakeEcKey();
    Cert cert(X509_new());
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0xA5);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("v1"), -1,
                               -1, 0);
    X509_set_subject_name(cert.get(), name);
    X509_set_issuer_name(cert.get(), name);
    X509_NAME_free(name);
    X509_set_pubkey(cert.get(), key.get());
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
    StoreOf store({cert.get()});
    const CRYPT_INTEGER_BLOB& blob = store.contexts[0]->pCertInfo->SerialNumber;
    EXPECT_EQ(std::vector<BYTE>(blob.pbData, blob.pbData + blob.cbData), (std::vector<BYTE>{0xA5, 0x00}));
    EXPECT_EQ(store.contexts[0]->pCertInfo->dwVersion, 0u);
}

// Handles are checked against the live ones: a handle whose last reference
// went, or one the services never gave out, is refused, never read.
TEST(CertHandles, StaleAndForgedHandlesAreRefused)
{
    Key key = MakeEcKey();
    Cert cert = MakeCert({"/CN=gw.test"}, key.get(), nullptr, key.get());
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    StoreOf live({cert.get()});
    HCERTSTORE staleStore = nullptr;
    PCCERT_CONTEXT stale = nullptr;
    PCCERT_CHAIN_CONTEXT staleChain = nullptr;
    {
        StoreOf gone({cert.get()});
        staleStore = gone.store;
        stale = gone.contexts[0];
        staleChain = BuildChain(cert.get(), {});
        CertFreeCertificateChain(staleChain);
    }
    alignas(std::max_align_t) unsigned char forged[4096] = {};
    CERT_CHAIN_POLICY_PARA policy{sizeof policy, 0, nullptr};
    const std::pair<PCCERT_CONTEXT, HCERTSTORE> handles[] = {
        {stale, staleStore}, {reinterpret_cast<PCCERT_CONTEXT>(forged), static_cast<HCERTSTORE>(forged)}};
    for (const auto& [context, store] : handles)
    {
        SetLastError(0);
        EXPECT_EQ(CertDuplicateCertificateContext(context), nullptr);
        EXPECT_EQ(GetLastError(), E_INVALIDARG);
        EXPECT_FALSE(CertFreeCertificateContext(context));
        char text[100] = "unchanged";
        EXPECT_EQ(CertGetNameStringA(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, sizeof text),
                  1u);
        EXPECT_EQ(CertGetIssuerCertificateFromStore(live.store, context, nullptr, nullptr), nullptr);
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        EXPECT_FALSE(
            CertGetCertificateChain(nullptr, context, nullptr, live.store, nullptr, 0, nullptr, &chain));
        EXPECT_EQ(chain, nullptr);

        EXPECT_FALSE(CertCloseStore(store, 0));
        EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
        EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(size),
                                                      CERT_STORE_ADD_ALWAYS, nullptr));
        EXPECT_EQ(CertGetIssuerCertificateFromStore(store, live.contexts[0], nullptr, nullptr), nullptr);
    }
    CERT_CHAIN_POLICY_STATUS status{sizeof status};
    for (const void* handle : {static_cast<const void*>(staleChain), static_cast<const void*>(forged)})
    {
        auto chain = static_cast<PCCERT_CHAIN_CONTEXT>(handle);
        EXPECT_FALSE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
        CertFreeCertificateChain(chain); // refused quietly
    }
    OPENSSL_free(der);
    // The live ones still work after all that.
    char text[100];
    EXPECT_EQ(
        CertGetNameStringA(live.contexts[0], CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, sizeof text),
        8u);
}

// What a "CA Issuers" URL may answer: one DER certificate or a certs-only
// PKCS#7, each whole; anything else gives no candidate.
TEST(IssuerAnswers, OneCertificateOrACertsOnlyBundleAndNothingElse)
{
    TestPki& pki = TestPki::Get();
    X509* inter = pki.inter.get();
    const std::string der = ToDer(inter);
    BIO* content = BIO_new_mem_buf("signed", 6);
    PKCS7* signedData = PKCS7_sign(inter, pki.interKey.get(), nullptr, content, PKCS7_BINARY);
    unsigned char* signedDer = nullptr;
    const int signedSize = i2d_PKCS7(signedData, &signedDer);
    const std::string withSigner(reinterpret_cast<char*>(signedDer), static_cast<size_t>(signedSize));
    OPENSSL_free(signedDer);
    PKCS7_free(signedData);
    BIO_free(content);
    const std::vector<std::pair<std::string, std::vector<X509*>>> answers = {
        {der, {inter}},
        {CertsOnly({inter, pki.root.get()}), {inter, pki.root.get()}},
        {der + std::string(1, '\0'), {}},              // bytes after the certificate
        {der.substr(0, der.size() - 1), {}},           // cut short
        {ToPem(inter), {}},                            // text, not DER
        {withSigner, {}},                              // signed content, not certificates only
        {CertsOnly(std::vector<X509*>(9, inter)), {}}, // more than an issuer's few
        {CertsOnly({}), {}},
    };
    for (size_t i = 0; i < answers.size(); ++i)
    {
        const std::string& bytes = answers[i].first;
        const std::vector<X509Owner> got =
            platform::ParseIssuerAnswer(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
        std::vector<X509*> certs;
        for (const auto& c : got)
            certs.push_back(c.get());
        ASSERT_EQ(certs.size(), answers[i].second.size()) << "answer " << i;
        for (size_t k = 0; k < certs.size(); ++k)
            EXPECT_EQ(X509_cmp(certs[k], answers[i].second[k]), 0) << "answer " << i;
    }
}

TEST(CertStore, ContextsOutliveTheirClosedStore)
{
    Key key = MakeEcKey();
    Cert cert = MakeCert({"/CN=kept", {}, false, -1, 30, 0x0A}, key.get(), nullptr, key.get());
    PCCERT_CONTEXT kept;
    {
        StoreOf store({cert.get()});
        kept = CertDuplicateCertificateContext(store.contexts[0]);
    }
    ASSERT_EQ(kept->pCertInfo->SerialNumber.cbData, 1u);
    EXPECT_EQ(kept->pCertInfo->SerialNumber.pbData[0], 0x0A);
    CertFreeCertificateContext(kept);
}
} // namespace
