// Certificate services: names, issuer lookup, chain building and the SSL
// policy in the platform's order of errors.
#include "support/test_pki.h"
#include "wincrypt.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

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

// The policy error for a leaf sent with the given chain, checked for a name.
DWORD PolicyError(X509* leaf, const std::vector<X509*>& sent, const std::string& host)
{
    std::vector<X509*> all{leaf};
    all.insert(all.end(), sent.begin(), sent.end());
    StoreOf store(all);
    char* usages[] = {const_cast<char*>("1.3.6.1.5.5.7.3.1"), const_cast<char*>("1.3.6.1.4.1.311.10.3.3"),
                      const_cast<char*>("2.16.840.1.113730.4.1")};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage = {USAGE_MATCH_TYPE_OR, {3, usages}};
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    EXPECT_TRUE(CertGetCertificateChain(nullptr, store.contexts[0], nullptr, store.store, &para, 0, nullptr, &chain));
    std::u16string name = Wide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, AUTHTYPE_SERVER, 0, reinterpret_cast<WCHAR*>(name.data())};
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
    Cert Leaf(CertSpec request) { return MakeCert(request, key.get(), pki.inter.get(), pki.interKey.get()); }
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
    EXPECT_EQ(PolicyError(leaf.get(), {pki.inter.get()}, "a.b.wild.test"), CERT_E_CN_NO_MATCH); // one label only
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
    EXPECT_EQ(PolicyError(expired.get(), {pki.inter.get()}, "other.test"), CERT_E_EXPIRED); // expiry before name

    Key selfKey = MakeEcKey();
    Cert self = MakeCert({"/CN=gw.test", {"DNS:gw.test"}}, selfKey.get(), nullptr, selfKey.get());
    EXPECT_EQ(PolicyError(self.get(), {}, "gw.test"), CERT_E_UNTRUSTEDROOT);
    Cert selfExpired = MakeCert({"/CN=gw.test", {"DNS:gw.test"}, false, -3, -1}, selfKey.get(), nullptr, selfKey.get());
    EXPECT_EQ(PolicyError(selfExpired.get(), {}, "other.test"), CERT_E_UNTRUSTEDROOT); // root before expiry

    Cert leaf = Leaf({"/CN=gw.test", {"DNS:gw.test"}});
    EXPECT_EQ(PolicyError(leaf.get(), {}, "gw.test"), CERT_E_UNTRUSTEDROOT); // intermediate not sent

    Cert clientOnly = Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 7, "clientAuth"});
    EXPECT_EQ(PolicyError(clientOnly.get(), {pki.inter.get()}, "gw.test"), CERT_E_WRONG_USAGE);
    Cert serverAuth = Leaf({"/CN=gw.test", {"DNS:gw.test"}, false, -1, 30, 8, "serverAuth,clientAuth"});
    EXPECT_EQ(PolicyError(serverAuth.get(), {pki.inter.get()}, "gw.test"), 0u);
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
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &store.contexts[0]->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0),
              expected.size() + 1);
    char small[8];
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &store.contexts[0]->pCertInfo->Subject, CERT_X500_NAME_STR, small,
                             sizeof small),
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
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Say \"hi\""), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("one"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("two"), -1, -1, -1);
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(name, &der);
    CERT_NAME_BLOB blob{static_cast<DWORD>(n), der};
    char text[200];
    CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, text, sizeof text);
    EXPECT_STREQ(text, "O=\"Say \"\"hi\"\"\", CN=one OU=two");
    CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, sizeof text);
    EXPECT_STREQ(text, "O=\"Say \"\"hi\"\"\", CN=one + OU=two");
    OPENSSL_free(der);
    X509_NAME_free(name);
}

TEST(CertNames, SimpleDisplayNameFallsBackInTheirOrder)
{
    Key key = MakeEcKey();
    auto display = [&](const CertSpec& request) {
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
    PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(store.store, store.contexts[0], nullptr, &flags);
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
