// The chain services the verification calls. The platform's never fail on
// what the verification hands them; tests put in their own to reach the
// lines written when they do. The first call points the platform's issuer
// fetching at the testers' wait clock.
#pragma once

#include "wincrypt.h"

struct CertChainServices
{
    decltype(&CertGetCertificateChain) getCertificateChain = CertGetCertificateChain;
    decltype(&CertVerifyCertificateChainPolicy) verifyCertificateChainPolicy =
        CertVerifyCertificateChainPolicy;
    decltype(&CertFreeCertificateChain) freeCertificateChain = CertFreeCertificateChain;
};

// The installed services, or the platform's.
const CertChainServices& ChainServices();
// Null puts the platform's back.
void SetChainServices(const CertChainServices* services);
