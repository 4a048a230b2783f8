#include "issuer_fetch.h"

#include "wintime.h"

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <strings.h>

namespace
{
std::atomic<const CRYPTNET_WAIT*> g_wait{nullptr};
std::atomic<bool> g_enabled{true};

DWORD SystemTicks(void*) { return GetTickCount(); }

void SystemWait(void*, int socket, BOOL connecting, DWORD ms)
{
    pollfd p{socket, static_cast<short>(connecting ? POLLOUT : POLLIN), 0};
    ::poll(&p, socket >= 0 ? 1 : 0, static_cast<int>(std::min<DWORD>(ms, 24u * 3600u * 1000u)));
}

const CRYPTNET_WAIT kSystemWait{nullptr, SystemTicks, SystemWait};

const CRYPTNET_WAIT& Wait()
{
    const CRYPTNET_WAIT* wait = g_wait.load();
    return wait ? *wait : kSystemWait;
}

constexpr size_t kMaxUrl = 2048;
constexpr size_t kMaxKeptUrls = 256;

bool IsPlainHttpUrl(const std::string& url)
{
    return url.size() > 7 && url.size() <= kMaxUrl && ::strncasecmp(url.c_str(), "http://", 7) == 0 &&
           std::all_of(url.begin(), url.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; });
}

std::vector<X509Owner> Copies(const std::vector<X509Owner>& certificates)
{
    std::vector<X509Owner> out;
    for (const auto& c : certificates)
        out.push_back(Referenced(c.get()));
    return out;
}

// Every URL's answer for the life of the process, a failure (no
// certificate) too. A URL another chain is fetching is waited for, not
// fetched twice. Never destroyed: it holds certificates OpenSSL frees at exit.
class CIssuerAnswers
{
public:
    static CIssuerAnswers& Get()
    {
        static CIssuerAnswers* answers = new CIssuerAnswers;
        return *answers;
    }

    template <typename Retrieve> std::vector<X509Owner> Answer(const std::string& url, Retrieve retrieve)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (const auto found = m_answers.find(url); found != m_answers.end())
        {
            const std::shared_ptr<Entry> entry = found->second;
            m_done.wait(lock, [&] { return entry->bDone; });
            return Copies(entry->certificates);
        }
        const auto entry = std::make_shared<Entry>();
        const bool kept = m_answers.size() < kMaxKeptUrls;
        if (kept)
            m_answers.emplace(url, entry);
        lock.unlock();

        // On every way out the answer moves into the entry, marked done, after
        // the caller's copies are made; an answer not tried is not kept.
        std::optional<std::vector<X509Owner>> answer;
        struct CFinish
        {
            CIssuerAnswers& answers;
            const std::string& url;
            Entry& entry;
            std::optional<std::vector<X509Owner>>& answer;
            bool kept;
            ~CFinish()
            {
                std::lock_guard<std::mutex> lock(answers.m_mutex);
                if (answer)
                    entry.certificates = std::move(*answer);
                else if (kept)
                    answers.m_answers.erase(url);
                entry.bDone = true;
                answers.m_done.notify_all();
            }
        } finish{*this, url, *entry, answer, kept};
        answer = retrieve();
        return answer ? Copies(*answer) : std::vector<X509Owner>{};
    }

private:
    CIssuerAnswers() = default;

    struct Entry
    {
        bool bDone = false;
        std::vector<X509Owner> certificates;
    };

    std::mutex m_mutex;
    std::condition_variable m_done;
    std::map<std::string, std::shared_ptr<Entry>> m_answers;
};
} // namespace

void platform::SetIssuerFetchWait(const CRYPTNET_WAIT* wait) { g_wait.store(wait); }

void platform::SetIssuerFetching(bool enabled) { g_enabled.store(enabled); }

bool platform::IssuerFetchingEnabled()
{
    if (!g_enabled.load())
        return false;
    const char* setting = std::getenv("KESTAVANE_FETCH_ISSUERS");
    if (setting == nullptr)
        return true;
    for (const char* off : {"no", "0", "off", "false"})
        if (::strcasecmp(setting, off) == 0)
            return false;
    return true;
}

std::vector<X509Owner> platform::ParseIssuerAnswer(const BYTE* data, size_t size)
{
    std::vector<X509Owner> certificates;
    if (data == nullptr || size == 0 || size > kMaxIssuerAnswer)
        return certificates;
    const unsigned char* const end = data + size;
    const unsigned char* p = data;
    if (X509Owner one{d2i_X509(nullptr, &p, static_cast<long>(size))}; one && p == end)
    {
        certificates.push_back(std::move(one));
        return certificates;
    }
    p = data;
    const Pkcs7Owner bundle(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
    ERR_clear_error();
    // Signed-data with certificates and nothing signed: "certs-only".
    if (bundle == nullptr || p != end || !PKCS7_type_is_signed(bundle.get()) || bundle->d.sign == nullptr ||
        sk_PKCS7_SIGNER_INFO_num(bundle->d.sign->signer_info) > 0)
        return certificates;
    const STACK_OF(X509)* inside = bundle->d.sign->cert;
    const int count = sk_X509_num(inside);
    if (count <= 0 || count > kMaxIssuerAnswerCertificates)
        return certificates;
    for (int i = 0; i < count; ++i)
        certificates.push_back(Referenced(sk_X509_value(inside, i)));
    return certificates;
}

std::vector<std::string> platform::CaIssuerUrls(X509* certificate)
{
    std::vector<std::string> urls;
    const InfoAccessOwner access(static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(certificate, NID_info_access, nullptr, nullptr)));
    for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access.get()); ++i)
    {
        const ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access.get(), i);
        if (OBJ_obj2nid(description->method) != NID_ad_ca_issuers || description->location->type != GEN_URI)
            continue;
        const ASN1_IA5STRING* uri = description->location->d.uniformResourceIdentifier;
        std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                        static_cast<size_t>(ASN1_STRING_length(uri)));
        if (IsPlainHttpUrl(url))
            urls.push_back(std::move(url));
    }
    ERR_clear_error();
    return urls;
}

std::vector<X509Owner> platform::CIssuerFetch::Candidates(const std::string& url)
{
    return CIssuerAnswers::Get().Answer(url, [&] { return Retrieve(url); });
}

std::optional<std::vector<X509Owner>> platform::CIssuerFetch::Retrieve(const std::string& url)
{
    const CRYPTNET_WAIT& wait = Wait();
    const DWORD now = wait.pfnTicks(wait.pvContext);
    if (!m_bStarted)
    {
        m_startTicks = now;
        m_bStarted = true;
    }
    const DWORD elapsed = now - m_startTicks;
    if (elapsed >= kIssuerFetchMs)
        return std::nullopt;
    if (!m_bLoadTried)
    {
        m_bLoadTried = true;
        if (m_module.Load(CRYPTNET_MODULE_NAME))
            m_pfnRetrieve = m_module.Proc<PFN_CRYPTNET_RETRIEVE_URL>(CRYPTNET_RETRIEVE_URL_NAME);
    }
    if (m_pfnRetrieve == nullptr)
        return std::nullopt;
    std::vector<BYTE> buffer(kMaxIssuerAnswer);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (m_pfnRetrieve(url.c_str(), kIssuerFetchMs - elapsed, &wait, buffer.data(), &size) != ERROR_SUCCESS)
        return std::vector<X509Owner>{};
    return ParseIssuerAnswer(buffer.data(), std::min<size_t>(size, buffer.size()));
}
