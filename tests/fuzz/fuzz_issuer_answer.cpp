// libFuzzer target: what a certificate's "CA Issuers" URL answers, as the
// chain engine reads it: one DER certificate or a certs-only PKCS#7, nothing
// else, and the URLs the certificates it holds point at in turn.
//
// Input: the answer's bytes, whole.
#include "issuer_fetch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
void Check(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "issuer answer: %s\n", what);
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<X509Owner> certificates = platform::ParseIssuerAnswer(data, size);
    Check(certificates.size() <= static_cast<size_t>(platform::kMaxIssuerAnswerCertificates), "too many");
    Check(certificates.empty() || size <= platform::kMaxIssuerAnswer, "an answer over the bound was read");
    for (const X509Owner& certificate : certificates)
    {
        Check(certificate != nullptr, "an empty certificate");
        unsigned char* der = nullptr;
        const int n = i2d_X509(certificate.get(), &der);
        OPENSSL_free(der);
        Check(n > 0, "a certificate that cannot be encoded again");
        for (const std::string& url : platform::CaIssuerUrls(certificate.get()))
        {
            Check(url.size() > 7 && ::strncasecmp(url.c_str(), "http://", 7) == 0, "a URL that is not http");
            for (unsigned char c : url)
                Check(c > 0x20 && c < 0x7F, "a URL with a blank or control character");
        }
    }
    return 0;
}
