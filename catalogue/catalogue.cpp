#include "catalogue.h"

#include "catalogue_hosts.h"
#include "sequence.h"
#include "ssl_tester.h"
#include "tcp_tester.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <iterator>

const char* const kUserDefinedLabel = "USER DEFINED GATEWAY AND PORT";
const char* const kSiteHostsFile = KV_SITE_CONFIG_DIR "/hosts.conf";
const char* const kSitePageFile = KV_SITE_CONFIG_DIR "/Kestavane.rtf";

namespace
{
constexpr const char* kBuiltInLabel = "built-in";
static_assert(std::size(kBuiltInHosts) > 0);

std::string ShortSha256(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return "unhashed";
    std::string hex;
    for (unsigned int i = 0; i < 6 && i < size; ++i)
    {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}
} // namespace

CCatalogue::CCatalogue(std::vector<std::string> roleHosts, std::string source, std::string label)
    : m_roleHosts(std::move(roleHosts)), m_source(std::move(source)), m_label(std::move(label))
{
    for (const EntryDeclaration& d : CatalogueTable())
    {
        ProcessorEntry entry{d.id, d.caption, d.tester, d.sequence, 0, {}};
        for (const TargetDeclaration& t : d.targets)
            if (t.label != nullptr)
                entry.targets[entry.targetCount++] = {t.label, HostOf(t.role).c_str(), t.port, t.role};
        m_entries.push_back(entry);
    }
}

CatalogueRef CCatalogue::BuiltIn()
{
    static const CatalogueRef builtIn(new CCatalogue(
        std::vector<std::string>(std::begin(kBuiltInHosts), std::end(kBuiltInHosts)), "", kBuiltInLabel));
    return builtIn;
}

CatalogueRef CCatalogue::WithSiteHosts(const std::vector<HostLine>& hosts, const std::string& source)
{
    const std::vector<std::string>& roles = CatalogueRoles();
    std::vector<std::string> roleHosts(std::begin(kBuiltInHosts), std::end(kBuiltInHosts));
    std::string overrides;
    for (size_t i = 0; i < roles.size(); ++i)
        for (const HostLine& h : hosts)
            if (h.role == roles[i])
            {
                roleHosts[i] = h.host;
                overrides += roles[i] + " " + h.host + "\n";
            }
    if (overrides.empty())
        return BuiltIn();
    return CatalogueRef(new CCatalogue(std::move(roleHosts), source, ShortSha256(overrides)));
}

const ProcessorEntry* CCatalogue::Find(int id) const
{
    for (const auto& entry : m_entries)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

const std::string& CCatalogue::HostOf(const std::string& role) const
{
    const std::vector<std::string>& roles = CatalogueRoles();
    const auto at = std::find(roles.begin(), roles.end(), role);
    if (at == roles.end())
    {
        static const std::string none;
        return none;
    }
    return m_roleHosts[static_cast<size_t>(at - roles.begin())];
}

SiteCatalogue LoadSiteCatalogue(const std::string& path, bool absentIsBuiltIn)
{
    std::vector<HostLine> hosts;
    HostsProblem problem;
    switch (ReadHostsFile(path, &hosts, &problem))
    {
    case HostsFileState::Read: return {CCatalogue::WithSiteHosts(hosts, path), std::string()};
    case HostsFileState::Absent:
        if (absentIsBuiltIn)
            return {CCatalogue::BuiltIn(), std::string()};
        break;
    case HostsFileState::Faulty: break;
    }
    return {CCatalogue::BuiltIn(), HostsProblemText(path, problem)};
}

const std::vector<ProcessorEntry>& ProcessorCatalogue() { return CCatalogue::BuiltIn()->Entries(); }

const ProcessorEntry* FindProcessorEntry(int id) { return CCatalogue::BuiltIn()->Find(id); }

const char* TesterKindName(TesterKind kind) { return kind == TesterKind::Tls ? "Tls" : "Plain"; }

const char* SequenceKindName(SequenceKind kind)
{
    switch (kind)
    {
    case SequenceKind::Single: return "Single";
    case SequenceKind::SingleNumbered: return "SingleNumbered";
    case SequenceKind::Chain: return "Chain";
    case SequenceKind::Pair: return "Pair";
    }
    return "";
}

CPressRecorder::CPressRecorder(CHistoryOwner* owner, const ProcessorEntry& entry)
    : m_pOwner(owner), m_pSink(owner->ResultSink())
{
    if (m_pSink == nullptr)
        return;
    m_record.buttonId = entry.id;
    m_record.caption = entry.caption;
    m_record.sequence = SequenceKindName(entry.sequence);
    m_record.path = owner->ProxyRoute() != nullptr ? "proxy" : "direct";
    m_pSink->BeginPress(m_record.buttonId, m_record.caption);
    m_pOwner->SetResultSink(this);
}

CPressRecorder::~CPressRecorder()
{
    if (m_pSink == nullptr)
        return;
    m_pOwner->SetResultSink(m_pSink);
    if (m_bFinished)
        m_pSink->Press(m_record);
}

void CPressRecorder::Tested(const GatewayTarget& target) { m_record.tested.emplace_back(target.label); }

void CPressRecorder::Skipped(const GatewayTarget& target) { m_record.skipped.emplace_back(target.label); }

void CPressRecorder::Finished(bool passed)
{
    m_record.passed = passed;
    m_bFinished = true;
}

void CPressRecorder::BeginPress(int buttonId, const std::string& caption)
{
    m_pSink->BeginPress(buttonId, caption);
}

void CPressRecorder::Target(const TargetRecord& record)
{
    TargetRecord stamped = record;
    stamped.buttonId = m_record.buttonId;
    stamped.caption = m_record.caption;
    m_pSink->Target(stamped);
}

void CPressRecorder::Press(const PressRecord& record) { m_pSink->Press(record); }

bool RunProcessorEntry(CHistoryOwner* owner, const ProcessorEntry& entry)
{
    return entry.tester == TesterKind::Tls ? RunSequence<CSslTester>(owner, entry)
                                           : RunSequence<CTcpTester>(owner, entry);
}

int PortFromText(const std::string& text)
{
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    long long value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
    {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : -static_cast<int>(value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

namespace
{
template <typename Tester>
bool RunTyped(CHistoryOwner* owner, const std::string& serverText, const std::string& portText)
{
    // Both texts are read before anything is written.
    const std::string host = serverText;
    const int port = PortFromText(portText);
    CWaitCursor wait(owner);
    CTestFrame frame(owner);
    AddToHistory(owner, "%s", kPlainSeparator);
    Tester tester(owner);
    return tester.Test(host, port, kUserDefinedLabel);
}
} // namespace

bool RunManualTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText)
{
    return RunTyped<CSslTester>(owner, serverText, portText);
}

bool RunManualPlainTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText)
{
    return RunTyped<CTcpTester>(owner, serverText, portText);
}
