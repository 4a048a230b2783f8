// Certificates made at test time: keys, CA and leaf certificates with the
// extensions a test asks for, written to PEM files when a peer needs them.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace testing_support
{

struct KeyDeleter
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter
{
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Cert = std::unique_ptr<X509, CertDeleter>;

Key MakeEcKey();
Key MakeRsaKey(int bits = 2048);

struct CertRecipe
{
    std::string subject;          // "/C=US/O=Example Org/CN=host.example"
    std::vector<std::string> san; // "DNS:localhost", "IP:127.0.0.1"
    bool ca = false;
    int notBeforeDays = -1;
    int notAfterDays = 30;
    long serial = 1;
    std::string extendedKeyUsage; // "serverAuth", "clientAuth", or empty for none
    int notAfterHours = 0;        // added to notAfterDays
    std::string caIssuersUrl;     // where the issuer is fetched from, or empty
    std::string nameConstraints;  // "permitted;DNS:allowed.test", or empty
};

// Signs with issuerKey; a null issuer makes the certificate self-issued.
Cert MakeCert(const CertRecipe& request, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey);

// A validity date as the report prints it in the US short form: 12/7/2026.
std::string UsDate(const ASN1_TIME* time);

std::string ToPem(X509* cert);
std::string ToPem(EVP_PKEY* key);
std::string ToDer(X509* cert);
// A DER PKCS#7 signed-data holding the certificates and nothing signed.
std::string CertsOnly(const std::vector<X509*>& certs);
void WriteFile(const std::string& path, const std::string& text);

struct Identity
{
    Key key;
    Cert cert;
    std::vector<X509*> chain; // sent after the certificate, not owned
    Key issuerKey;            // an intermediate of the identity's own, when it has one
    Cert issuer;
};

// The trust of one test process: a root, an intermediate under it, and the
// files SSL_CERT_FILE and SSL_CERT_DIR point at.
struct TestPki
{
    std::string dir;
    Key rootKey, interKey;
    Cert root, inter;
    static TestPki& Get();
    // A leaf issued by the intermediate.
    Identity Leaf(const CertRecipe& request, bool rsa = false) const;
    // A leaf under an intermediate of its own, which the root issued.
    Identity LeafUnder(const CertRecipe& intermediate, const CertRecipe& request) const;
    // Writes the identity's certificate chain and key as PEM files; returns their paths.
    std::pair<std::string, std::string> Files(const Identity& id, const std::string& name) const;

private:
    TestPki();
};

} // namespace testing_support
