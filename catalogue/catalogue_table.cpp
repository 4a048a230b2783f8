#include "catalogue_table.h"

#include <algorithm>

namespace
{
using enum TesterKind;
using enum SequenceKind;

// Roles: a control id, with .n for the n-th host of a button; W, D1, D2,
// S1-S3 and X for hosts that several buttons share.
// One button a row, as the dialog's table reads.
// clang-format off
const EntryDeclaration kTable[] = {
    {1001, "TSYS-VITAL TNS", Tls, Single, {{"VITAL TNS", "1001", 5003}}},
    {1003, "PAYMENTECH\rNETCONNECT", Tls, Chain, {{"PAYMENTECH NETCONNECT Primary", "1003.1", 443},
                                                  {"PAYMENTECH NETCONNECT Secondary", "1003.2", 443}}},
    {1004, "ELAVON-NOVA\r(Host)", Tls, Single, {{"NOVA VIACONEX", "1004", 443}}},
    {1006, "WORLDPAY-LYNK", Tls, Single, {{"WORLDPAY LYNK SYSTEMS", "W", 6660}}},
    {1007, "VANTIV-5th3rd", Tls, Single, {{"VANTIV FIFTH THIRD", "1007", 443}}},
    {1008, "CARDNET-BUYPASS\rNASHVILLE", Tls, Chain, {{"CARDNET-BUYPASS-NASHVILLE DATAWIRE Primary", "D1", 443},
                                                      {"CARDNET-BUYPASS-NASHVILLE DATAWIRE Secondary", "D2", 443}}},
    {1009, "CONCORD EFSNET", Tls, Single, {{"CONCORD EFSNET", "1009", 443}}},
    {1011, "MERCURY LOMBRIX", Plain, Chain, {{"MERCURY LOMBRIX Primary", "1011.1", 9000},
                                             {"MERCURY LOMBRIX Secondary", "1011.2", 9000}}},
    {1012, "MERCURY GIFT", Plain, Chain, {{"MERCURY CARVELLO Primary", "1012.1", 9100},
                                          {"MERCURY CARVELLO Secondary", "1012.2", 9100}}},
    {1013, "STERLING LOMBRIX", Plain, Chain, {{"STERLING LOMBRIX Primary", "S1", 9000},
                                              {"STERLING LOMBRIX Secondary", "S2", 9000},
                                              {"STERLING LOMBRIX Tertiary", "S3", 9000}}},
    {1014, "STERLING GIFT", Plain, Chain, {{"STERLING CARVELLO Primary", "S1", 9100},
                                           {"STERLING CARVELLO Secondary", "S2", 9100},
                                           {"STERLING CARVELLO Tertiary", "S3", 9100}}},
    {1015, "GLOBAL ADVANTAGE", Tls, Chain, {{"GLOBAL ADVANTAGE Primary", "1015.1", 443},
                                            {"GLOBAL ADVANTAGE Secondary", "1015.2", 443}}},
    {1016, "HEARTLAND EXCHANGE", Tls, Chain, {{"HEARTLAND EXCHANGE (Authorization Port)", "X", 22345},
                                              {"HEARTLAND EXCHANGE (Settlement Port)", "X", 22346}}},
    {1017, "MONERIS", Tls, Single, {{"MONERIS ** IPGATE **", "1017", 443}}},
    {1022, "ALLIANCE DATA", Tls, Single, {{"ALLIANCE DATA", "X", 54411}}},
    {1023, "SVS GIFT TNS", Tls, Single, {{"SVS GIFT", "1023", 5190}}},
    {1025, "HEARTLAND PORTICO", Tls, SingleNumbered, {{"HEARTLAND PORTICO ***", "1025", 443}}},
    {1026, "CHOCKSTONE\rHEARTLAND GIFT", Tls, Single, {{"CHOCKSTONE-HEARTLANT GIFT", "1026", 443}}},
    {1028, "EPI GIFT", Tls, Single, {{"EPI GIFT", "1028", 443}}},
    {1030, "PROFIT POINT GIFT", Tls, Single, {{"PROFIT POINT GIFT", "1030", 8417}}},
    {1031, "UNIPERK GIFT", Tls, Single, {{"UNIPERK GIFT", "1031", 443}}},
    {1032, "CARDDOG GIFT", Tls, Single, {{"CARDDOG GIFT", "1032", 47010}}},
    {1033, "SPARKBASE GIFT", Tls, Single, {{"SPARKBASE GIFT", "1033", 50300}}},
    {1034, "STS GIFT", Tls, Single, {{"STS GIFT", "1034", 443}}},
    {1035, "WORLD GIFT", Tls, Single, {{"WORLD GIFT", "1035", 443}}},
    {1036, "OPTICARD GIFT", Tls, Single, {{"OPTICARD GIFT", "1036", 443}}},
    {1037, "GIVEX GIFT", Tls, Single, {{"GIVEX GIFT", "1037", 50020}}},
    {1038, "SECUREPAY GIFT", Tls, Single, {{"SECUREPAY GIFT", "1038", 443}}},
    {1039, "WORLDPAY-LYNK GIFT", Tls, Single, {{"WORLDPAY LYNK SYSTEMS GIFT", "W", 6660}}},
    {1040, "VALUELINK GIFT", Tls, Chain, {{"VALUELINK DATAWIRE Primary", "D1", 443},
                                          {"VALUELINK DATAWIRE Secondary", "D2", 443}}},
    {1041, "VALUTEC-MELLENIA GIFT", Tls, Pair, {{"VALUTEC GIFT", "1041.1", 443},
                                                {"MELLENNIA GIFT", "1041.2", 443}}},
    {1042, "TORVAL Connect Test", Tls, SingleNumbered, {{"TORVAL WEBSITE", "1042", 443}}},
    {1043, "FDMS RAPIDCONNECT", Tls, SingleNumbered, {{"FDMS RAPID ***", "1043", 443}}},
};
// clang-format on
} // namespace

std::span<const EntryDeclaration> CatalogueTable() { return kTable; }

const std::vector<std::string>& CatalogueRoles()
{
    static const std::vector<std::string> roles = [] {
        std::vector<std::string> list;
        for (const EntryDeclaration& entry : kTable)
            for (const TargetDeclaration& target : entry.targets)
                if (target.label != nullptr && std::find(list.begin(), list.end(), target.role) == list.end())
                    list.emplace_back(target.role);
        return list;
    }();
    return roles;
}
