// Owners of what OpenSSL hands the certificate services: each frees its
// object when it goes, so no way out of a caller forgets a release.
#pragma once

#include <openssl/crypto.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

template <auto Free> struct OpenSslFree
{
    template <typename T> void operator()(T* object) const { Free(object); }
};

struct OpenSslBytesFree
{
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

// A certificate stack holds a reference to each certificate in it.
struct X509StackFree
{
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

struct KeyUsagesFree
{
    void operator()(EXTENDED_KEY_USAGE* usages) const { sk_ASN1_OBJECT_pop_free(usages, ASN1_OBJECT_free); }
};

using X509Owner = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using X509StackOwner = std::unique_ptr<STACK_OF(X509), X509StackFree>;
using X509StoreCtxOwner = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
using X509NameOwner = std::unique_ptr<X509_NAME, OpenSslFree<X509_NAME_free>>;
using GeneralNamesOwner = std::unique_ptr<GENERAL_NAMES, OpenSslFree<GENERAL_NAMES_free>>;
using InfoAccessOwner = std::unique_ptr<AUTHORITY_INFO_ACCESS, OpenSslFree<AUTHORITY_INFO_ACCESS_free>>;
using KeyUsagesOwner = std::unique_ptr<EXTENDED_KEY_USAGE, KeyUsagesFree>;
using Pkcs7Owner = std::unique_ptr<PKCS7, OpenSslFree<PKCS7_free>>;
// What i2d_* and ASN1_STRING_to_UTF8 allocate.
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslBytesFree>;

// A further reference to a certificate already held.
inline X509Owner Referenced(X509* certificate)
{
    if (certificate != nullptr)
        X509_up_ref(certificate);
    return X509Owner(certificate);
}
