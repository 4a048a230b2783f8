#include "cli.h"

#include "app_flags.h"
#include "catalogue.h"
#include "console_owner.h"
#include "ip_helper.h"
#include "nova_api.h"
#include "ws2.h"

#include <algorithm>
#include <cctype>

namespace
{
constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: kestavane-cli COMMAND [ARGUMENTS]\n"
    "\n"
    "Tests whether this PC reaches the hosts of the payment and gift-card processors.\n"
    "Every history line is printed as it is written; message boxes show as lines\n"
    "marked [MESSAGE BOX].\n"
    "\n"
    "commands:\n"
    "  list                   one line per catalogue target, fields separated by a TAB:\n"
    "                         id, caption (carriage return as \\r), tester (Tls or Plain),\n"
    "                         sequence (Single, SingleNumbered, Chain or Pair),\n"
    "                         position (1-3), label, host, port\n"
    "  run ID-OR-CAPTION...   presses those processor buttons in turn; a caption matches\n"
    "                         case-insensitively, its carriage return written as \\r or\n"
    "                         as one blank (\"PAYMENTECH NETCONNECT\", 1003)\n"
    "  run --all              presses all 33 processor buttons in the dialog's order\n"
    "  manual SERVER PORT     the TLS test of a typed server and port (\"Run TEST\")\n"
    "  plain SERVER PORT      the plain greeting test of a typed server and port\n"
    "  nova                   the terminal API library test (\"ELAVON-NOVA (Term)\")\n"
    "  this-pc                this PC's Ethernet adapters (\"THIS PC\")\n"
    "  check-dns              are DNS servers configured? (\"Check DNS\")\n"
    "  check-dhcp             does an Ethernet adapter use DHCP? (\"Check DHCP\")\n"
    "  --help                 this text\n"
    "\n"
    "exit status: 0 when every target tested passed, 1 when one failed, 2 on a usage error.\n";

int Usage(FILE* err, const std::string& reason)
{
    std::fprintf(err, "kestavane-cli: %s\n\n%s", reason.c_str(), kUsage);
    return kExitUsage;
}

std::string Folded(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The caption with its carriage return as one blank, lower case.
std::string CaptionKey(const std::string& caption)
{
    std::string key;
    for (size_t i = 0; i < caption.size(); ++i)
    {
        if (caption[i] == '\r')
            key += ' ';
        else if (caption.compare(i, 2, "\\r") == 0)
        {
            key += ' ';
            ++i;
        }
        else
            key += caption[i];
    }
    return Folded(key);
}

const ProcessorEntry* FindEntry(const std::string& text)
{
    if (!text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return text.size() <= 6 ? FindProcessorEntry(std::stoi(text)) : nullptr;
    const std::string key = CaptionKey(text);
    for (const auto& entry : ProcessorCatalogue())
        if (CaptionKey(entry.caption) == key)
            return &entry;
    return nullptr;
}

std::string OneLineCaption(const char* caption)
{
    std::string text = caption;
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

int List(FILE* out)
{
    for (const auto& entry : ProcessorCatalogue())
        for (int n = 0; n < entry.targetCount; ++n)
        {
            const GatewayTarget& t = entry.targets[n];
            std::fprintf(out, "%d\t%s\t%s\t%s\t%d\t%s\t%s\t%d\n", entry.id, EscapedCaption(entry.caption).c_str(),
                         TesterKindName(entry.tester), SequenceKindName(entry.sequence), n + 1, t.label, t.host,
                         t.port);
        }
    return kExitPassed;
}

int Run(const std::vector<std::string>& names, FILE* out, FILE* err)
{
    std::vector<const ProcessorEntry*> entries;
    if (names.size() == 1 && names[0] == "--all")
        for (const auto& entry : ProcessorCatalogue())
            entries.push_back(&entry);
    else
        for (const auto& name : names)
        {
            const ProcessorEntry* entry = FindEntry(name);
            if (entry == nullptr)
                return Usage(err, "no catalogue button '" + name + "'; 'kestavane-cli list' shows them");
            entries.push_back(entry);
        }
    if (entries.empty())
        return Usage(err, "run needs one or more ids or captions, or --all");

    CConsoleHistoryOwner owner(out);
    std::vector<bool> results;
    for (const ProcessorEntry* entry : entries)
        results.push_back(RunProcessorEntry(&owner, *entry));

    if (entries.size() > 1)
    {
        std::fprintf(out, "\nSUMMARY\n");
        for (size_t i = 0; i < entries.size(); ++i)
            std::fprintf(out, "%s  %s\n", results[i] ? "PASS" : "FAIL", OneLineCaption(entries[i]->caption).c_str());
    }
    std::fflush(out);
    return std::all_of(results.begin(), results.end(), [](bool b) { return b; }) ? kExitPassed : kExitFailed;
}
} // namespace

std::string EscapedCaption(const char* caption)
{
    std::string text;
    for (const char* p = caption; *p; ++p)
        text += *p == '\r' ? std::string("\\r") : std::string(1, *p);
    return text;
}

int RunCli(const std::vector<std::string>& args, FILE* out, FILE* err)
{
    if (args.empty())
        return Usage(err, "no command given");
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help")
    {
        std::fputs(kUsage, out);
        return kExitPassed;
    }

    InitPlatformFlags();
    if (command == "list")
        return rest.empty() ? List(out) : Usage(err, "list takes no arguments");
    if (command == "run")
        return Run(rest, out, err);
    if (command == "manual" || command == "plain")
    {
        if (rest.size() != 2)
            return Usage(err, command + " needs SERVER and PORT");
        CConsoleHistoryOwner owner(out);
        const bool passed = command == "manual" ? RunManualTest(&owner, rest[0], rest[1])
                                                : RunManualPlainTest(&owner, rest[0], rest[1]);
        return passed ? kExitPassed : kExitFailed;
    }
    if (command == "this-pc" || command == "check-dns" || command == "check-dhcp")
    {
        if (!rest.empty())
            return Usage(err, command + " takes no arguments");
        CConsoleHistoryOwner owner(out);
        if (command == "this-pc")
        {
            RunThisPc(&owner);
            return kExitPassed;
        }
        const bool passed = command == "check-dns" ? RunCheckDns(&owner) : RunCheckDhcp(&owner);
        return passed ? kExitPassed : kExitFailed;
    }
    if (command == "nova")
    {
        if (!rest.empty())
            return Usage(err, "nova takes no arguments");
        CConsoleHistoryOwner owner(out);
        return RunNovaApiTest(&owner) ? kExitPassed : kExitFailed;
    }
    return Usage(err, "unknown command '" + command + "'");
}
