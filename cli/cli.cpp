#include "cli.h"

#include "app_flags.h"
#include "catalogue.h"
#include "catalogue_list.h"
#include "console_owner.h"
#include "hints.h"
#include "ip_helper.h"
#include "nova_api.h"
#include "press_runner.h"
#include "proxy_option.h"
#include "proxy_settings.h"
#include "report.h"
#include "report_command.h"
#include "results.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <iterator>
#include <sys/stat.h>

namespace
{
constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutput = 3;
constexpr int kExitWarned = 4;
constexpr int kMaxWarnDays = 3650;

const char* const kUsage =
    "usage: kestavane-cli COMMAND [ARGUMENTS] [OPTIONS]\n"
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
    "                         --format json: one JSON object a line; --format csv: a\n"
    "                         header and one line a target; both with id, caption,\n"
    "                         label, role, host, port and tester (tls or plain)\n"
    "                         --resolve: also the IPv4 addresses each host has now\n"
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
    "  report                 one report for the help desk: this PC's facts, the adapter\n"
    "                         report and checks, then every button pressed (all at once\n"
    "                         unless --jobs N) with its history, cause, hint and times;\n"
    "                         each failed press is tried again through the proxy found\n"
    "                         (--via-proxy URL: that one; none: not again). --format\n"
    "                         text (the default) or html; --output FILE: written there\n"
    "  --help                 this text\n"
    "  --version              the program's name and version\n"
    "\n"
    "options of run, manual and plain:\n"
    "  --format FORMAT        text (the default): the history lines;\n"
    "                         json: one JSON object a line on standard output for each\n"
    "                         target and each press, in order, then a summary; the\n"
    "                         history lines go to standard error;\n"
    "                         prometheus: the history lines, and the node exporter's\n"
    "                         textfile format written to the --output file\n"
    "  --output FILE          with --format prometheus: the file, replaced whole when the\n"
    "                         run ends (a new file beside it renamed over it)\n"
    "  --quiet, -q            no history lines\n"
    "  --jobs N, -j N         run only: up to N presses at once (1-64, default 1); the\n"
    "                         output keeps the order of the presses, each press whole\n"
    "  --via-proxy [URL|auto] the same tests through an HTTP proxy's CONNECT: the URL\n"
    "                         (http://[user:password@]host:port), or auto (also the\n"
    "                         default): the proxy this PC is set up to use for each\n"
    "                         host; without it, tests connect directly and use this\n"
    "                         PC's DNS, as the window's buttons always do\n"
    "  --warn-days N          a certificate of a tested chain that ends within N days\n"
    "                         (0-3650) gives a WARNING line after the press's history\n"
    "                         and exit status 4 when nothing failed\n"
    "  --all-addresses        also tests every further address of each name, without\n"
    "                         history lines; an ADDRESSES line after the press's history\n"
    "                         says how many passed\n"
    "\n"
    "After a press's history, each failed target gets a HINT line keyed to its cause.\n"
    "\n"
    "options of list and run:\n"
    "  --hosts FILE           the site's host names from FILE instead of\n"
    "                         " KV_SITE_CONFIG_DIR "/hosts.conf; a faulty file is named, with\n"
    "                         its line and fault, and nothing runs (exit status 2)\n"
    "\n"
    "exit status: 0 when every target tested passed, 1 when one failed, 2 on a usage\n"
    "error or a faulty hosts file, 3 when the --output file could not be written, 4 when\n"
    "every target passed but --warn-days found a certificate near its end.\n";

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

const ProcessorEntry* FindEntry(const std::string& text, const CCatalogue& catalogue)
{
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return text.size() <= 6 ? catalogue.Find(std::stoi(text)) : nullptr;
    const std::string key = CaptionKey(text);
    for (const auto& entry : catalogue.Entries())
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

// --hosts FILE and --resolve, taken out of args wherever they stand.
struct SiteOptions
{
    std::string hostsFile;
    bool hostsGiven = false;
    bool resolve = false;
};

std::string TakeSiteOptions(const std::vector<std::string>& args, SiteOptions* site,
                            std::vector<std::string>* rest)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (arg == "--resolve")
            site->resolve = true;
        else if (arg == "--hosts" || arg.rfind("--hosts=", 0) == 0)
        {
            if (arg == "--hosts" && i + 1 == args.size())
                return "--hosts needs a value";
            site->hostsFile = arg == "--hosts" ? args[++i] : arg.substr(8);
            if (site->hostsFile.empty())
                return "--hosts needs a file name";
            site->hostsGiven = true;
        }
        else
            rest->push_back(arg);
    }
    return std::string();
}

// The catalogue of list and run: the built-in one with the site's host names
// (--hosts FILE, else the site hosts file when there is one). A faulty file
// is one line on standard error and nothing runs.
CatalogueRef LoadCatalogue(const SiteOptions& site, const std::string& siteHostsFile, FILE* err)
{
    if (!site.hostsGiven && siteHostsFile.empty())
        return CCatalogue::BuiltIn();
    const SiteCatalogue loaded =
        LoadSiteCatalogue(site.hostsGiven ? site.hostsFile : siteHostsFile, !site.hostsGiven);
    if (!loaded.problem.empty())
    {
        std::fprintf(err, "kestavane-cli: %s\n", loaded.problem.c_str());
        return nullptr;
    }
    return loaded.catalogue;
}

enum class Format
{
    Text,
    Json,
    Csv, // list only
    Prometheus
};

struct Options
{
    Format format = Format::Text;
    bool formatGiven = false;
    std::string output;
    bool outputGiven = false;
    bool quiet = false;
    int jobs = 1;
    bool jobsGiven = false;
    int warnDays = -1; // none asked for
    bool allAddresses = false;
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Takes the options out of args wherever they stand; what is left are the
// command and its arguments. An empty result means the options were sound.
std::string ParseOptions(const std::vector<std::string>& args, Options* options,
                         std::vector<std::string>* rest)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        std::string name, value;
        bool hasValue = false;
        for (const char* option : {"--jobs", "--format", "--output", "--warn-days"})
            if (arg == option || StartsWith(arg, (std::string(option) + "=").c_str()))
            {
                name = option;
                hasValue = arg.size() > name.size();
                value = hasValue ? arg.substr(name.size() + 1) : std::string();
            }
        if (arg == "-j" || (StartsWith(arg, "-j") && arg.size() > 2))
        {
            name = "--jobs";
            hasValue = arg.size() > 2;
            value = hasValue ? arg.substr(2) : std::string();
        }
        if (arg == "--quiet" || arg == "-q")
        {
            options->quiet = true;
            continue;
        }
        if (arg == "--all-addresses")
        {
            options->allAddresses = true;
            continue;
        }
        if (name.empty())
        {
            rest->push_back(arg);
            continue;
        }
        if (!hasValue)
        {
            if (i + 1 == args.size())
                return name + " needs a value";
            value = args[++i];
        }
        if (name == "--jobs")
        {
            const bool digits =
                !value.empty() && value.size() <= 3 &&
                std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
            const int jobs = digits ? std::stoi(value) : 0;
            if (jobs < kMinJobs || jobs > kMaxJobs)
                return "--jobs takes a number from 1 to 64, not '" + value + "'";
            options->jobs = jobs;
            options->jobsGiven = true;
        }
        else if (name == "--warn-days")
        {
            const bool digits =
                !value.empty() && value.size() <= 4 &&
                std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
            const int days = digits ? std::stoi(value) : -1;
            if (days < 0 || days > kMaxWarnDays)
                return "--warn-days takes a number of days from 0 to 3650, not '" + value + "'";
            options->warnDays = days;
        }
        else if (name == "--format")
        {
            if (value == "text")
                options->format = Format::Text;
            else if (value == "json")
                options->format = Format::Json;
            else if (value == "csv")
                options->format = Format::Csv;
            else if (value == "prometheus")
                options->format = Format::Prometheus;
            else
                return "unknown --format '" + value + "'; it is text, json, csv or prometheus";
            options->formatGiven = true;
        }
        else
        {
            if (value.empty())
                return "--output needs a file name";
            options->output = value;
            options->outputGiven = true;
        }
    }
    if (options->format == Format::Prometheus && !options->outputGiven)
        return "--format prometheus needs --output FILE";
    if (options->outputGiven && options->format != Format::Prometheus)
        return "--output goes with --format prometheus";
    return std::string();
}

// The folder of the --output file must be there before a long run starts.
std::string CheckOutputFolder(const std::string& path)
{
    const std::string dir = FolderOf(path);
    struct stat st
    {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "--output '" + path + "': no folder '" + dir + "'";
    return std::string();
}

// What list, --resolve, --hosts and --format csv go with.
std::string CheckListOptions(const std::string& command, const Options& options, const SiteOptions& site)
{
    if (command == "list")
        return options.outputGiven || options.quiet || options.jobsGiven ||
                       options.format == Format::Prometheus
                   ? "list takes only --format text, json or csv, --resolve and --hosts"
                   : std::string();
    if (options.format == Format::Csv)
        return "--format csv goes with list";
    if (site.resolve)
        return "--resolve goes with list";
    if (site.hostsGiven && command != "run")
        return "--hosts goes with list and run";
    return std::string();
}

// Where a run's history lines and records go, by --format and --quiet.
class CRunReport
{
public:
    CRunReport(const Options& options, const std::string& command, FILE* out, FILE* err)
        : m_options(options), m_out(out), m_err(err), m_startedAt(std::time(nullptr)),
          m_started(std::chrono::steady_clock::now())
    {
        m_summary.command = command;
        m_summary.jobs = options.jobs;
    }

    // Standard output, or standard error when the records own standard output.
    FILE* History() const
    {
        if (m_options.quiet)
            return nullptr;
        return m_options.format == Format::Json ? m_err : m_out;
    }

    void Press(bool passed) { ++m_summary.presses, m_summary.pressesFailed += passed ? 0 : 1; }

    // Records as they come, with their hints and warnings, which are also
    // written after the press's history; JSON lines are written at once.
    void Add(std::vector<ResultRecord>&& records)
    {
        for (auto& record : records)
            if (auto* target = std::get_if<TargetRecord>(&record))
            {
                Annotate(*target, m_options.warnDays, std::time(nullptr));
                m_warned = m_warned || !target->warnings.empty();
                WriteNotes(History(), *target);
            }
        if (FILE* history = History())
            std::fflush(history);
        if (m_options.format == Format::Json)
        {
            for (const auto& record : records)
            {
                const std::string line = JsonLine(record, std::time(nullptr)) + "\n";
                std::fwrite(line.data(), 1, line.size(), m_out);
            }
            std::fflush(m_out);
        }
        if (m_options.format != Format::Text)
            std::move(records.begin(), records.end(), std::back_inserter(m_records));
    }

    // The summary or the file; the exit status.
    int Finish(bool passed)
    {
        int status = passed ? (m_warned ? kExitWarned : kExitPassed) : kExitFailed;
        if (m_options.format == Format::Json)
        {
            m_summary.passed = passed;
            m_summary.exitStatus = status;
            m_summary.startedAt = m_startedAt;
            m_summary.durationMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_started)
                    .count();
            const std::string line = JsonSummaryLine(m_summary, m_records) + "\n";
            std::fwrite(line.data(), 1, line.size(), m_out);
            std::fflush(m_out);
        }
        else if (m_options.format == Format::Prometheus)
        {
            std::string error;
            if (!ReplaceFile(m_options.output, PrometheusText(m_records, std::time(nullptr)), &error))
            {
                std::fprintf(m_err, "kestavane-cli: %s\n", error.c_str());
                status = kExitOutput;
            }
        }
        return status;
    }

private:
    const Options& m_options;
    FILE* m_out;
    FILE* m_err;
    std::time_t m_startedAt;
    std::chrono::steady_clock::time_point m_started;
    RunSummary m_summary;
    std::vector<ResultRecord> m_records; // the whole run's, for the summary or the file
    bool m_warned = false;
};

int Run(const std::vector<std::string>& names, const Options& options, const ProxyOption& proxy,
        const CCatalogue& catalogue, FILE* out, FILE* err)
{
    std::vector<const ProcessorEntry*> entries;
    if (names.size() == 1 && names[0] == "--all")
        for (const auto& entry : catalogue.Entries())
            entries.push_back(&entry);
    else
        for (const auto& name : names)
        {
            const ProcessorEntry* entry = FindEntry(name, catalogue);
            if (entry == nullptr)
                return Usage(err, "no catalogue button '" + name + "'; 'kestavane-cli list' shows them");
            entries.push_back(entry);
        }
    if (entries.empty())
        return Usage(err, "run needs one or more ids or captions, or --all");
    std::unique_ptr<CProxyRoute> route;
    if (proxy.given)
    {
        CProxyFinder finder;
        std::string problem;
        route = MakeRoute(proxy, TargetsOf(entries), finder, &problem);
        if (!problem.empty())
            return Usage(err, problem);
    }

    CRunReport report(options, "run", out, err);
    FILE* history = report.History();
    std::vector<bool> results(entries.size());
    RunPresses(
        entries, options.jobs, history,
        [&](size_t i, PressOutcome& outcome) {
            results[i] = outcome.passed;
            report.Press(outcome.passed);
            report.Add(std::move(outcome.records));
        },
        options.allAddresses, route.get());

    if (entries.size() > 1 && history != nullptr)
    {
        std::fprintf(history, "\nSUMMARY\n");
        for (size_t i = 0; i < entries.size(); ++i)
            std::fprintf(history, "%s  %s\n", results[i] ? "PASS" : "FAIL",
                         OneLineCaption(entries[i]->caption).c_str());
        std::fflush(history);
    }
    return report.Finish(std::all_of(results.begin(), results.end(), [](bool b) { return b; }));
}

int Typed(const std::string& command, const std::vector<std::string>& rest, const Options& options,
          const ProxyOption& proxy, FILE* out, FILE* err)
{
    if (rest.size() != 2)
        return Usage(err, command + " needs SERVER and PORT");
    std::unique_ptr<CProxyRoute> route;
    if (proxy.given)
    {
        CProxyFinder finder;
        std::string problem;
        route = MakeRoute(proxy, {{rest[0], PortFromText(rest[1])}}, finder, &problem);
        if (!problem.empty())
            return Usage(err, problem);
    }
    CRunReport report(options, command, out, err);
    CConsoleHistoryOwner owner(report.History());
    owner.SetProxyRoute(route.get());
    CCollectingSink sink;
    sink.everyAddress = options.allAddresses;
    owner.SetResultSink(&sink);
    const bool passed = command == "manual" ? RunManualTest(&owner, rest[0], rest[1])
                                            : RunManualPlainTest(&owner, rest[0], rest[1]);
    owner.SetResultSink(nullptr);
    report.Add(sink.Take());
    return report.Finish(passed);
}
} // namespace

std::string EscapedCaption(const char* caption)
{
    std::string text;
    for (const char* p = caption; *p; ++p)
        text += *p == '\r' ? std::string("\\r") : std::string(1, *p);
    return text;
}

int RunCli(const std::vector<std::string>& args, FILE* out, FILE* err, const std::string& siteHostsFile)
{
    if (IsReportCommand(args))
        return RunReportCommand(args, out, err, siteHostsFile);
    ProxyOption proxy;
    std::vector<std::string> unproxied;
    if (const std::string problem = TakeProxyOption(args, &proxy, &unproxied); !problem.empty())
        return Usage(err, problem);
    SiteOptions site;
    std::vector<std::string> others;
    if (const std::string problem = TakeSiteOptions(unproxied, &site, &others); !problem.empty())
        return Usage(err, problem);
    Options options;
    std::vector<std::string> words;
    if (const std::string problem = ParseOptions(others, &options, &words); !problem.empty())
        return Usage(err, problem);
    if (words.empty())
        return Usage(err, "no command given");
    const std::string& command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (command == "--help" || command == "-h" || command == "help")
    {
        std::fputs(kUsage, out);
        return kExitPassed;
    }
    if (command == "--version")
    {
        std::fprintf(out, "kestavane-cli %s\n", KV_VERSION);
        return kExitPassed;
    }

    const bool reports = command == "run" || command == "manual" || command == "plain";
    if (const std::string problem = CheckListOptions(command, options, site); !problem.empty())
        return Usage(err, problem);
    if (!reports && command != "list" &&
        (options.formatGiven || options.outputGiven || options.quiet || options.jobsGiven))
        return Usage(err, "--format, --output, --quiet and --jobs go with run, manual and plain");
    if (!reports && (options.warnDays >= 0 || options.allAddresses))
        return Usage(err, "--warn-days and --all-addresses go with run, manual and plain");
    if (options.jobsGiven && command != "run")
        return Usage(err, "--jobs goes with run");
    if (proxy.given && !reports)
        return Usage(err, "--via-proxy goes with run, manual, plain and report");
    if (options.outputGiven)
        if (const std::string problem = CheckOutputFolder(options.output); !problem.empty())
            return Usage(err, problem);

    InitPlatformFlags();
    if (command == "list" || command == "run")
    {
        if (command == "list" && !rest.empty())
            return Usage(err, "list takes no arguments");
        const CatalogueRef catalogue = LoadCatalogue(site, siteHostsFile, err);
        if (!catalogue)
            return kExitUsage;
        if (command == "run")
            return Run(rest, options, proxy, *catalogue, out, err);
        WriteCatalogueList(*catalogue,
                           options.format == Format::Json  ? ListFormat::Json
                           : options.format == Format::Csv ? ListFormat::Csv
                                                           : ListFormat::Text,
                           site.resolve, out);
        return kExitPassed;
    }
    if (command == "manual" || command == "plain")
        return Typed(command, rest, options, proxy, out, err);
    if (command == "this-pc" || command == "check-dns" || command == "check-dhcp")
    {
        if (!rest.empty())
            return Usage(err, command + " takes no arguments");
        CConsoleHistoryOwner owner(out);
        if (command == "this-pc")
        {
            RunThisPc(&owner);
            // After the report's own lines: the proxy found for the catalogue in effect.
            const SiteCatalogue site = LoadSiteCatalogue(siteHostsFile, true);
            CProxyFinder finder;
            std::fprintf(out, "PROXY  %s\n", ProxySummary(finder, *site.catalogue).c_str());
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
