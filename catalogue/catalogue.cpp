#include "catalogue.h"

#include "catalogue_hosts.h"
#include "sequence.h"
#include "ssl_tester.h"
#include "tcp_tester.h"

#include <cctype>
#include <climits>

const char* const kUserDefinedLabel = "USER DEFINED GATEWAY AND PORT";

namespace
{
using enum TesterKind;
using enum SequenceKind;

// clang-format off: one button a row, as the dialog's table reads
const std::vector<ProcessorEntry> kCatalogue = {
    {1001, "TSYS-VITAL TNS", Tls, Single, 1, {{"VITAL TNS", hosts::k1001, 5003}}},
    {1003,
     "PAYMENTECH\rNETCONNECT",
     Tls,
     Chain,
     2,
     {{"PAYMENTECH NETCONNECT Primary", hosts::k1003_1, 443},
      {"PAYMENTECH NETCONNECT Secondary", hosts::k1003_2, 443}}},
    {1004, "ELAVON-NOVA\r(Host)", Tls, Single, 1, {{"NOVA VIACONEX", hosts::k1004, 443}}},
    {1006, "WORLDPAY-LYNK", Tls, Single, 1, {{"WORLDPAY LYNK SYSTEMS", hosts::kW, 6660}}},
    {1007, "VANTIV-5th3rd", Tls, Single, 1, {{"VANTIV FIFTH THIRD", hosts::k1007, 443}}},
    {1008,
     "CARDNET-BUYPASS\rNASHVILLE",
     Tls,
     Chain,
     2,
     {{"CARDNET-BUYPASS-NASHVILLE DATAWIRE Primary", hosts::kD1, 443},
      {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Secondary", hosts::kD2, 443}}},
    {1009, "CONCORD EFSNET", Tls, Single, 1, {{"CONCORD EFSNET", hosts::k1009, 443}}},
    {1011,
     "MERCURY LOMBRIX",
     Plain,
     Chain,
     2,
     {{"MERCURY LOMBRIX Primary", hosts::k1011_1, 9000},
      {"MERCURY LOMBRIX Secondary", hosts::k1011_2, 9000}}},
    {1012,
     "MERCURY GIFT",
     Plain,
     Chain,
     2,
     {{"MERCURY CARVELLO Primary", hosts::k1012_1, 9100},
      {"MERCURY CARVELLO Secondary", hosts::k1012_2, 9100}}},
    {1013,
     "STERLING LOMBRIX",
     Plain,
     Chain,
     3,
     {{"STERLING LOMBRIX Primary", hosts::kS1, 9000},
      {"STERLING LOMBRIX Secondary", hosts::kS2, 9000},
      {"STERLING LOMBRIX Tertiary", hosts::kS3, 9000}}},
    {1014,
     "STERLING GIFT",
     Plain,
     Chain,
     3,
     {{"STERLING CARVELLO Primary", hosts::kS1, 9100},
      {"STERLING CARVELLO Secondary", hosts::kS2, 9100},
      {"STERLING CARVELLO Tertiary", hosts::kS3, 9100}}},
    {1015,
     "GLOBAL ADVANTAGE",
     Tls,
     Chain,
     2,
     {{"GLOBAL ADVANTAGE Primary", hosts::k1015_1, 443},
      {"GLOBAL ADVANTAGE Secondary", hosts::k1015_2, 443}}},
    {1016,
     "HEARTLAND EXCHANGE",
     Tls,
     Chain,
     2,
     {{"HEARTLAND EXCHANGE (Authorization Port)", hosts::kX, 22345},
      {"HEARTLAND EXCHANGE (Settlement Port)", hosts::kX, 22346}}},
    {1017, "MONERIS", Tls, Single, 1, {{"MONERIS ** IPGATE **", hosts::k1017, 443}}},
    {1022, "ALLIANCE DATA", Tls, Single, 1, {{"ALLIANCE DATA", hosts::kX, 54411}}},
    {1023, "SVS GIFT TNS", Tls, Single, 1, {{"SVS GIFT", hosts::k1023, 5190}}},
    {1025, "HEARTLAND PORTICO", Tls, SingleNumbered, 1, {{"HEARTLAND PORTICO ***", hosts::k1025, 443}}},
    {1026, "CHOCKSTONE\rHEARTLAND GIFT", Tls, Single, 1, {{"CHOCKSTONE-HEARTLANT GIFT", hosts::k1026, 443}}},
    {1028, "EPI GIFT", Tls, Single, 1, {{"EPI GIFT", hosts::k1028, 443}}},
    {1030, "PROFIT POINT GIFT", Tls, Single, 1, {{"PROFIT POINT GIFT", hosts::k1030, 8417}}},
    {1031, "UNIPERK GIFT", Tls, Single, 1, {{"UNIPERK GIFT", hosts::k1031, 443}}},
    {1032, "CARDDOG GIFT", Tls, Single, 1, {{"CARDDOG GIFT", hosts::k1032, 47010}}},
    {1033, "SPARKBASE GIFT", Tls, Single, 1, {{"SPARKBASE GIFT", hosts::k1033, 50300}}},
    {1034, "STS GIFT", Tls, Single, 1, {{"STS GIFT", hosts::k1034, 443}}},
    {1035, "WORLD GIFT", Tls, Single, 1, {{"WORLD GIFT", hosts::k1035, 443}}},
    {1036, "OPTICARD GIFT", Tls, Single, 1, {{"OPTICARD GIFT", hosts::k1036, 443}}},
    {1037, "GIVEX GIFT", Tls, Single, 1, {{"GIVEX GIFT", hosts::k1037, 50020}}},
    {1038, "SECUREPAY GIFT", Tls, Single, 1, {{"SECUREPAY GIFT", hosts::k1038, 443}}},
    {1039, "WORLDPAY-LYNK GIFT", Tls, Single, 1, {{"WORLDPAY LYNK SYSTEMS GIFT", hosts::kW, 6660}}},
    {1040,
     "VALUELINK GIFT",
     Tls,
     Chain,
     2,
     {{"VALUELINK DATAWIRE Primary", hosts::kD1, 443}, {"VALUELINK DATAWIRE Secondary", hosts::kD2, 443}}},
    {1041,
     "VALUTEC-MELLENIA GIFT",
     Tls,
     Pair,
     2,
     {{"VALUTEC GIFT", hosts::k1041_1, 443}, {"MELLENNIA GIFT", hosts::k1041_2, 443}}},
    {1042, "TORVAL Connect Test", Tls, SingleNumbered, 1, {{"TORVAL WEBSITE", hosts::k1042, 443}}},
    {1043, "FDMS RAPIDCONNECT", Tls, SingleNumbered, 1, {{"FDMS RAPID ***", hosts::k1043, 443}}},
};
// clang-format on
} // namespace

const std::vector<ProcessorEntry>& ProcessorCatalogue() { return kCatalogue; }

const ProcessorEntry* FindProcessorEntry(int id)
{
    for (const auto& entry : kCatalogue)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

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
