// The chain engine's side of fetching a missing issuer (see cryptnet.h).
#pragma once

#include "cryptnet.h"
#include "module_handle.h"
#include "x509_owners.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform
{
// The certificates of an answer: one DER certificate, or a DER PKCS#7
// signed-data that holds certificates only. Anything else is refused: none.
std::vector<X509Owner> ParseIssuerAnswer(const BYTE* data, size_t size);
// The certificate's "CA Issuers" URLs that are plain http, in their order.
std::vector<std::string> CaIssuerUrls(X509* certificate);

// The fetches of one chain: the retrieval module, loaded at the first URL
// the process has no answer for yet, and one deadline for them all.
class CIssuerFetch
{
public:
    CIssuerFetch() = default;
    CIssuerFetch(const CIssuerFetch&) = delete;
    CIssuerFetch& operator=(const CIssuerFetch&) = delete;

    // The candidate issuers the URL answers; none when it failed.
    std::vector<X509Owner> Candidates(const std::string& url);

private:
    // Nothing when the URL was not tried (the time was up, or no module).
    std::optional<std::vector<X509Owner>> Retrieve(const std::string& url);

    CModuleHandle m_module;
    PFN_CRYPTNET_RETRIEVE_URL m_pfnRetrieve = nullptr;
    bool m_bLoadTried = false;
    bool m_bStarted = false;
    DWORD m_startTicks = 0;
};
} // namespace platform
