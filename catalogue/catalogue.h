// The processor buttons, their targets and how a press tests them; the
// catalogue in effect, which is the built-in one with a site's own host
// names laid over it.
#pragma once

#include "catalogue_table.h"
#include "history.h"
#include "hosts_file.h"

#include <memory>
#include <string>
#include <vector>

struct GatewayTarget
{
    const char* label;
    const char* host;
    int port;
    const char* role = nullptr;
};

struct ProcessorEntry
{
    int id;
    const char* caption; // a multi-line caption holds one carriage return
    TesterKind tester;
    SequenceKind sequence;
    int targetCount;
    GatewayTarget targets[3];
};

// The site's own files, an administrator's deployment settings.
extern const char* const kSiteHostsFile; // host names laid over the built-in ones
extern const char* const kSitePageFile;  // the site's own gateway access page

class CCatalogue;
// The catalogue a press runs against: shared, never changed once made, so
// any thread may hold it for as long as its presses need the entries.
using CatalogueRef = std::shared_ptr<const CCatalogue>;

class CCatalogue
{
public:
    // The compiled-in catalogue.
    static CatalogueRef BuiltIn();
    // The built-in catalogue with each role the list names on that host;
    // source names the list's file.
    static CatalogueRef WithSiteHosts(const std::vector<HostLine>& hosts, const std::string& source);

    CCatalogue(const CCatalogue&) = delete;
    CCatalogue& operator=(const CCatalogue&) = delete;

    // The entries in the order of the main dialog's table.
    const std::vector<ProcessorEntry>& Entries() const { return m_entries; }
    const ProcessorEntry* Find(int id) const;
    // The host name in effect for a role of the catalogue.
    const std::string& HostOf(const std::string& role) const;
    // The site file whose host names are in effect; empty for the built-in ones.
    const std::string& Source() const { return m_source; }
    // "built-in" when no role is on a host of the site's, else the first 12
    // hex digits of the SHA-256 of the roles the site sets, one "ROLE HOST"
    // line each in the roles' order: the same hosts give the same label,
    // whatever comments or order the file has.
    const std::string& Label() const { return m_label; }

private:
    CCatalogue(std::vector<std::string> roleHosts, std::string source, std::string label);

    std::vector<std::string> m_roleHosts;  // in the order of CatalogueRoles()
    std::vector<ProcessorEntry> m_entries; // hosts point into m_roleHosts
    std::string m_source;
    std::string m_label;
};

// The catalogue in effect with the site hosts file at path, and what is
// wrong with the file (one line naming it, the line and the fault; empty
// when it is sound). A faulty file gives the built-in catalogue: nothing of
// it is used. An absent file is no fault when absentIsBuiltIn.
struct SiteCatalogue
{
    CatalogueRef catalogue;
    std::string problem;
};
SiteCatalogue LoadSiteCatalogue(const std::string& path, bool absentIsBuiltIn);

// The built-in catalogue's entries and lookup.
const std::vector<ProcessorEntry>& ProcessorCatalogue();
const ProcessorEntry* FindProcessorEntry(int id);

const char* TesterKindName(TesterKind kind);
const char* SequenceKindName(SequenceKind kind);

// The gateway access page (rich text) of a catalogue: every gateway's label,
// host and port, for a network administrator.
std::string GatewayPageRtf(const CCatalogue& catalogue);

// One button press: frame, separators, one tester for all targets, the
// Chain and Pair rules. True when every target tested passed.
bool RunProcessorEntry(CHistoryOwner* owner, const ProcessorEntry& entry);

// The "Run TEST" button with the texts of its Server and Port fields.
bool RunManualTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText);

// The plain greeting test of a typed server and port, framed as the manual test.
bool RunManualPlainTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText);

// The runtime library's atoi: leading white space, one sign, digits up to the
// first other character; no digits give 0. Out-of-range text gives the
// nearest int, as the platform's runtime does, never undefined behaviour.
int PortFromText(const std::string& text);

extern const char* const kUserDefinedLabel;
