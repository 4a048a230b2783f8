// One report for the help desk: this PC's facts, then every press with its
// history as it was written, its causes, hints and times, and the records
// for tools; as text or as one self-contained HTML page. The command line's
// `report` and the window's "Save report…" write it with the same calls.
#pragma once

#include "catalogue.h"
#include "results.h"

#include <ctime>
#include <string>
#include <vector>

class CProxyFinder;

// What the report says of this PC, gathered when it is written.
struct ReportFacts
{
    std::time_t generatedAt = 0;
    std::string hostName;
    std::string osRelease;       // PRETTY_NAME of os-release
    std::string kernel;          // "Linux 6.1.0-18-amd64 x86_64"
    std::string version;         // the program's
    std::string catalogueSource; // the site hosts file in effect; "built-in" without one
    std::string catalogueLabel;  // CCatalogue::Label()
    std::string clock;           // "synchronised", "not synchronised" or "unknown"
    std::string proxy;           // ProxySummary()
    // The adapter report and the two checks, as the command line prints
    // them (message boxes as [MESSAGE BOX] lines).
    std::string thisPc;
    std::string checkDns;
    std::string checkDhcp;
};

// One press as the report shows it.
struct ReportPress
{
    int buttonId = 0;                  // 0: a typed server
    std::string caption;               // the button's caption (carriage return and all), or what was typed
    std::string history;               // the press's lines as written, LF line ends
    std::vector<ResultRecord> records; // its targets' records and its press record, as the sink had them
    bool passed = false;
    // "proxy": the same press made again through a proxy (proxy: its URL);
    // the report shows it beside the direct press of the same button.
    std::string path = "direct";
    std::string proxy;
};

// The one line on the proxy this PC is set up to use for the catalogue's
// targets: "none found (...)", or each proxy with where it was found and
// for how many targets.
std::string ProxySummary(CProxyFinder& finder, const CCatalogue& catalogue);

// This PC's facts now: runs the adapter report and the DNS and DHCP checks
// silently (no box is shown), reads the host, system and clock. proxyLine:
// ProxySummary's, when the caller has one; empty: found here.
ReportFacts CollectReportFacts(const CCatalogue& catalogue, const std::string& proxyLine = std::string());

// The report. Histories, certificate names, proxy answers and host names
// are shown as text, never as markup.
std::string ReportText(const ReportFacts& facts, const std::vector<ReportPress>& presses);
std::string ReportHtml(const ReportFacts& facts, const std::vector<ReportPress>& presses);

// "kestavane-<host>-<yyyymmdd-hhmm>.html", local time of generation.
std::string DefaultReportFileName(const ReportFacts& facts);

// True when every direct press passed.
bool AllDirectPassed(const std::vector<ReportPress>& presses);
