#include "test_pki.h"

#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace testing_support
{

Key MakeEcKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

Key MakeRsaKey(int bits)
{
    return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

namespace
{
void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr)
        throw std::runtime_error("extension " + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509_NAME* ParseName(const std::string& text)
{
    X509_NAME* name = X509_NAME_new();
    size_t at = 0;
    while (at < text.size())
    {
        const size_t next = text.find('/', at + 1);
        const std::string part =
            text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        const size_t eq = part.find('=');
        if (eq != std::string::npos)
            X509_NAME_add_entry_by_txt(name, part.substr(0, eq).c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(part.c_str() + eq + 1), -1, -1,
                                       0);
        if (next == std::string::npos)
            break;
        at = next;
    }
    return name;
}
} // namespace

Cert MakeCert(const CertRecipe& request, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey)
{
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), request.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(request.notBeforeDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(request.notAfterDays) * 86400 +
                                                        static_cast<long>(request.notAfterHours) * 3600);
    X509_NAME* name = ParseName(request.subject);
    X509_set_subject_name(cert.get(), name);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_NAME_free(name);
    X509_set_pubkey(cert.get(), subjectKey);
    AddExtension(cert.get(), issuer, NID_basic_constraints,
                 request.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(cert.get(), issuer, NID_key_usage,
                 request.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    if (issuer)
        AddExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid");
    if (!request.san.empty())
    {
        std::string san;
        for (const auto& s : request.san)
            san += (san.empty() ? "" : ",") + s;
        AddExtension(cert.get(), issuer, NID_subject_alt_name, san);
    }
    if (!request.extendedKeyUsage.empty())
        AddExtension(cert.get(), issuer, NID_ext_key_usage, request.extendedKeyUsage);
    if (!request.caIssuersUrl.empty())
        AddExtension(cert.get(), issuer, NID_info_access, "caIssuers;URI:" + request.caIssuersUrl);
    if (!request.nameConstraints.empty())
        AddExtension(cert.get(), issuer, NID_name_constraints, "critical," + request.nameConstraints);
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0)
        throw std::runtime_error("sign");
    return cert;
}

std::string UsDate(const ASN1_TIME* time)
{
    tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    return std::to_string(parts.tm_mon + 1) + "/" + std::to_string(parts.tm_mday) + "/" +
           std::to_string(parts.tm_year + 1900);
}

std::string ToPem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(n));
    BIO_free(bio);
    return text;
}

std::string ToPem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(n));
    BIO_free(bio);
    return text;
}

std::string ToDer(X509* cert)
{
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(n, 0)));
    OPENSSL_free(der);
    return bytes;
}

std::string CertsOnly(const std::vector<X509*>& certs)
{
    PKCS7* bundle = PKCS7_new();
    PKCS7_set_type(bundle, NID_pkcs7_signed);
    PKCS7_content_new(bundle, NID_pkcs7_data);
    for (X509* cert : certs)
        PKCS7_add_certificate(bundle, cert);
    unsigned char* der = nullptr;
    const int n = i2d_PKCS7(bundle, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(n, 0)));
    OPENSSL_free(der);
    PKCS7_free(bundle);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

TestPki::TestPki()
{
    char name[] = "/tmp/kvpkiXXXXXX";
    dir = ::mkdtemp(name);
    rootKey = MakeEcKey();
    interKey = MakeEcKey();
    root = MakeCert({"/C=US/O=Kestavane Test/CN=Kestavane Test Root", {}, true, -10, 3650, 0x1001},
                    rootKey.get(), nullptr, rootKey.get());
    inter = MakeCert({"/C=US/O=Kestavane Test/CN=Kestavane Test Intermediate", {}, true, -10, 3650, 0x1002},
                     interKey.get(), root.get(), rootKey.get());
    WriteFile(dir + "/root.pem", ToPem(root.get()));
    std::filesystem::create_directories(dir + "/certs");
    // Trust comes from the system store's paths, pointed at our root.
    ::setenv("SSL_CERT_FILE", (dir + "/root.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", (dir + "/certs").c_str(), 1);
}

TestPki& TestPki::Get()
{
    static TestPki pki;
    return pki;
}

Identity TestPki::Leaf(const CertRecipe& request, bool rsa) const
{
    Identity id;
    id.key = rsa ? MakeRsaKey() : MakeEcKey();
    id.cert = MakeCert(request, id.key.get(), inter.get(), interKey.get());
    id.chain = {inter.get()};
    return id;
}

Identity TestPki::LeafUnder(const CertRecipe& intermediate, const CertRecipe& request) const
{
    Identity id;
    id.issuerKey = MakeEcKey();
    id.issuer = MakeCert(intermediate, id.issuerKey.get(), root.get(), rootKey.get());
    id.key = MakeEcKey();
    id.cert = MakeCert(request, id.key.get(), id.issuer.get(), id.issuerKey.get());
    id.chain = {id.issuer.get()};
    return id;
}

std::pair<std::string, std::string> TestPki::Files(const Identity& id, const std::string& name) const
{
    std::string chain = ToPem(id.cert.get());
    for (X509* c : id.chain)
        chain += ToPem(c);
    const std::string certPath = dir + "/" + name + ".pem";
    const std::string keyPath = dir + "/" + name + ".key";
    WriteFile(certPath, chain);
    WriteFile(keyPath, ToPem(id.key.get()));
    return {certPath, keyPath};
}

} // namespace testing_support
