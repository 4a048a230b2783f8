#include "cli.h"

#include "app_flags.h"
#include "catalogue.h"
#include "catalogue_list.h"
#include "console_owner.h"
#include "cryptnet.h"
#include "hints.h"
#include "ip_helper.h"
#include "nova_api.h"
#include "press_runner.h"
#include "proxy_option.h"
#include "proxy_settings.h"
#include "report.h"
#include "report_command.h"
#include "results.h"
#include "run_facts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iterator>

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
    "                         run ends (a new file beside it renamed over it); its folder\n"
    "                         is checked before the first test, and a FILE that is there\n"
    "                         must be a regular file\n"
    "  --metrics DETAIL       with --format prometheus: full (the default), every series;\n"
    "                         summary, for large fleets: the run's counts, the failures\n"
    "                         and the certificate that expires first\n"
    "  --quiet, -q            no history lines; with --format prometheus one line that\n"
    "                         sums up the run instead\n"
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
    "  --no-fetch-issuers     never fetch an issuer a server left out from the URL its\n"
    "                         certificate names (as KESTAVANE_FETCH_ISSUERS=no does)\n"
    "\n"
    "After a press's history, each failed target gets a HINT line keyed to its cause.\n"
    "\n"
    "options of list and run:\n"
    "  --hosts FILE           the site's host names from FILE instead of\n"
    "                         " KV_SITE_CONFIG_DIR "/hosts.conf; a faulty file is named, with\n"
    "                         its line and fault, and nothing runs (exit status 2)\n"
    "\n"
    "exit status: 0 when every target tested passed, 1 when one failed, 2 on a usage\n"
    "error or a faulty hosts file, 3 when the output (the --output file or standard\n"
    "output) could not be written, 4 when every target passed but --warn-days found a\n"
    "certificate near its end.\n";

int Usage(FILE* err, const std::string& reason)
{
    std::fprintf(err, "kestavane-cli: %s\nTry 'kestavane-cli --help' for more information.\n",
                 reason.c_str());
    return kExitUsage;
}

// The command's standard output, through a stream that remembers why a
// write failed: the C library keeps only a flag, and drops what it could not
// write.
class COutputWatch
{
public:
    explicit COutputWatch(FILE* out) : m_out(out)
    {
        cookie_io_functions_t io{};
        io.write = &COutputWatch::Write;
        m_stream = ::fopencookie(this, "w", io);
    }
    ~COutputWatch()
    {
        if (m_stream != nullptr)
            std::fclose(m_stream);
    }
    COutputWatch(const COutputWatch&) = delete;
    COutputWatch& operator=(const COutputWatch&) = delete;

    FILE* Stream() const { return m_stream != nullptr ? m_stream : m_out; }

    // Why output was lost, or empty; what is still buffered is written first.
    std::string Failure()
    {
        if (m_stream != nullptr)
            std::fflush(m_stream);
        Note(std::fflush(m_out) != 0 || std::ferror(m_out));
        if (m_error == 0)
            return std::string();
        return std::string("cannot write standard output: ") + std::strerror(m_error);
    }

private:
    static ssize_t Write(void* self, const char* data, size_t size)
    {
        auto* watch = static_cast<COutputWatch*>(self);
        errno = 0;
        const bool failed =
            std::fwrite(data, 1, size, watch->m_out) != size || std::fflush(watch->m_out) != 0;
        watch->Note(failed);
        return failed ? -1 : static_cast<ssize_t>(size);
    }
    void Note(bool failed)
    {
        if (failed && m_error == 0)
            m_error = errno != 0 ? errno : EIO;
    }

    FILE* m_out;
    FILE* m_stream = nullptr;
    int m_error = 0; // the first write's that failed
};

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
    bool noFetchIssuers = false;
    MetricsDetail metrics = MetricsDetail::Full;
    bool metricsGiven = false;
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
        for (const char* option : {"--jobs", "--format", "--output", "--warn-days", "--metrics"})
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
        if (arg == "--no-fetch-issuers")
        {
            options->noFetchIssuers = true;
            continue;
        }
        if (name.empty())
        {
            // What looks like an option and is none is a mistake, not a button.
            if (arg.size() > 1 && arg[0] == '-' && arg != "--all" && arg != "--help" && arg != "-h" &&
                arg != "--version")
                return "unknown option " + arg;
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
        else if (name == "--metrics")
        {
            if (value == "full")
                options->metrics = MetricsDetail::Full;
            else if (value == "summary")
                options->metrics = MetricsDetail::Summary;
            else
                return "unknown --metrics '" + value + "'; it is full or summary";
            options->metricsGiven = true;
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
    if (options->metricsGiven && options->format != Format::Prometheus)
        return "--metrics goes with --format prometheus";
    return std::string();
}

// The --output file's place, checked before the first test: a run can take
// minutes, and its results must not be lost at the end of it.
// Whether this PC is set up to send any of the targets through a proxy, as
// the environment and /etc/environment say. The desktop's settings stay
// unread: a scheduled run has no desktop, and asking could mean a proxy
// auto-discovery on the network.
bool ProxyConfigured(const TargetList& targets)
{
    ProxySources sources;
    sources.desktop = false;
    CProxyFinder finder(sources);
    return std::any_of(targets.begin(), targets.end(), [&](const auto& target) {
        return !finder.For(target.first, target.second).shown.empty();
    });
}

// The route of --via-proxy when it was given (none otherwise); what is
// wrong with it, empty when nothing is.
std::string RouteIfAsked(const ProxyOption& proxy, const TargetList& targets,
                         std::unique_ptr<CProxyRoute>* route)
{
    if (!proxy.given)
        return std::string();
    CProxyFinder finder;
    std::string problem;
    *route = MakeRoute(proxy, targets, finder, &problem);
    return problem;
}

bool OutputPathUsable(const Options& options, FILE* err)
{
    if (!options.outputGiven)
        return true;
    const std::string problem = OutputPathProblem(options.output);
    if (problem.empty())
        return true;
    std::fprintf(err, "kestavane-cli: --output '%s': %s\n", options.output.c_str(), problem.c_str());
    return false;
}

// The port of manual and plain: what the command line accepts is exactly
// what gets tested and recorded.
bool IsPort(const std::string& text)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535;
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
          m_started(std::chrono::steady_clock::now()), m_runId(NewRunId())
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

    // The catalogue a run tests, for the fleet's build series.
    void SetCatalogue(const std::string& label) { m_catalogueLabel = label; }
    // The hosts and ports it tests, for the fleet's proxy series.
    void SetTargets(TargetList targets) { m_targets = std::move(targets); }

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
                const std::string line = JsonLine(record, std::time(nullptr), Stamp()) + "\n";
                std::fwrite(line.data(), 1, line.size(), m_out);
            }
            std::fflush(m_out);
        }
        if (m_options.format != Format::Text)
            std::move(records.begin(), records.end(), std::back_inserter(m_records));
    }

    // False once standard output has failed where it carries the run's own
    // output (the history or the records): going on would test for nobody.
    // The textfile run goes on, its file is the output.
    bool OutputHolds() const { return m_options.format == Format::Prometheus || !std::ferror(m_out); }

    // The summary or the file; the exit status.
    int Finish(bool passed)
    {
        int status = passed ? (m_warned ? kExitWarned : kExitPassed) : kExitFailed;
        const double durationMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_started).count();
        if (m_options.format == Format::Json)
        {
            m_summary.passed = passed;
            m_summary.exitStatus = status;
            m_summary.startedAt = m_startedAt;
            m_summary.durationMs = durationMs;
            const std::string line = JsonSummaryLine(m_summary, m_records, Stamp()) + "\n";
            std::fwrite(line.data(), 1, line.size(), m_out);
            std::fflush(m_out);
        }
        else if (m_options.format == Format::Prometheus)
        {
            RunFacts facts;
            facts.version = KV_VERSION;
            facts.catalogue = m_catalogueLabel;
            facts.durationSeconds = durationMs / 1000;
            facts.clockSynchronised = ClockSynchronised();
            facts.proxyConfigured = ProxyConfigured(m_targets);
            std::string error;
            if (!ReplaceFile(m_options.output,
                             PrometheusText(m_records, std::time(nullptr), facts, m_options.metrics), &error))
            {
                std::fprintf(m_err, "kestavane-cli: %s\n", error.c_str());
                status = kExitOutput;
            }
            else if (m_options.quiet)
                std::fprintf(m_out, "%s\n", SummaryLine(durationMs).c_str());
        }
        return status;
    }

private:
    LineStamp Stamp() const { return {m_runId, UtcMilliseconds(std::chrono::system_clock::now())}; }

    // The run in one line, for a journal that keeps no history:
    // "33 presses, 2 failed (1004 1008); 45 targets, 3 failed; FILE written in 52.3 s".
    std::string SummaryLine(double durationMs) const
    {
        int targets = 0, targetsFailed = 0;
        std::string failedPresses;
        for (const auto& record : m_records)
            if (const auto* target = std::get_if<TargetRecord>(&record))
                ++targets, targetsFailed += target->passed ? 0 : 1;
            else if (const auto& press = std::get<PressRecord>(record); !press.passed)
                failedPresses += (failedPresses.empty() ? "" : " ") + std::to_string(press.buttonId);
        std::string line;
        if (m_summary.presses > 0)
            line = std::to_string(m_summary.presses) + " presses, " +
                   std::to_string(m_summary.pressesFailed) + " failed" +
                   (failedPresses.empty() ? "" : " (" + failedPresses + ")") + "; ";
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", durationMs / 1000);
        return line + std::to_string(targets) + (targets == 1 ? " target, " : " targets, ") +
               std::to_string(targetsFailed) + " failed; " + m_options.output + " written in " + seconds +
               " s";
    }

    const Options& m_options;
    FILE* m_out;
    FILE* m_err;
    std::time_t m_startedAt;
    std::chrono::steady_clock::time_point m_started;
    std::string m_runId;
    std::string m_catalogueLabel;
    TargetList m_targets;
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
    if (!OutputPathUsable(options, err))
        return kExitOutput;
    const TargetList targets = TargetsOf(entries);
    std::unique_ptr<CProxyRoute> route;
    if (const std::string problem = RouteIfAsked(proxy, targets, &route); !problem.empty())
        return Usage(err, problem);

    CRunReport report(options, "run", out, err);
    report.SetCatalogue(catalogue.Label());
    report.SetTargets(targets);
    FILE* history = report.History();
    std::vector<bool> results(entries.size());
    size_t pressed = 0;
    RunPresses(
        entries, options.jobs, history,
        [&](size_t i, PressOutcome& outcome) {
            results[i] = outcome.passed;
            pressed = i + 1;
            report.Press(outcome.passed);
            report.Add(std::move(outcome.records));
            return report.OutputHolds();
        },
        options.allAddresses, route.get());
    if (pressed < entries.size())
        return kExitOutput; // standard output failed; RunCli says why

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
    if (!IsPort(rest[1]))
        return Usage(err, "PORT is a whole number from 1 to 65535, not '" + rest[1] + "'");
    if (!OutputPathUsable(options, err))
        return kExitOutput;
    const TargetList targets = {{rest[0], PortFromText(rest[1])}};
    std::unique_ptr<CProxyRoute> route;
    if (const std::string problem = RouteIfAsked(proxy, targets, &route); !problem.empty())
        return Usage(err, problem);
    CRunReport report(options, command, out, err);
    report.SetTargets(targets);
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

namespace
{
int RunCommand(const std::vector<std::string>& args, FILE* out, FILE* err, const std::string& siteHostsFile)
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
        return Usage(err, "--format, --output, --metrics, --quiet and --jobs go with run, manual and plain");
    if (!reports && (options.warnDays >= 0 || options.allAddresses))
        return Usage(err, "--warn-days and --all-addresses go with run, manual and plain");
    if (options.jobsGiven && command != "run")
        return Usage(err, "--jobs goes with run");
    if (proxy.given && !reports)
        return Usage(err, "--via-proxy goes with run, manual, plain and report");

    InitPlatformFlags();
    if (options.noFetchIssuers)
        platform::SetIssuerFetching(false);
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
} // namespace

int RunCli(const std::vector<std::string>& args, FILE* out, FILE* err, const std::string& siteHostsFile)
{
    COutputWatch watch(out);
    const int status = RunCommand(args, watch.Stream(), err, siteHostsFile);
    if (const std::string failure = watch.Failure(); !failure.empty())
    {
        std::fprintf(err, "kestavane-cli: %s\n", failure.c_str());
        return kExitOutput;
    }
    return status;
}

int CloseOutput(int status, FILE* out, FILE* err)
{
    // What is still buffered is written at the close, and can fail there.
    const bool closed = std::fclose(out) == 0;
    if (!closed && status != kExitOutput)
    {
        std::fprintf(err, "kestavane-cli: cannot write standard output: %s\n", std::strerror(errno));
        return kExitOutput;
    }
    return closed ? status : kExitOutput;
}
