#include "report_command.h"

#include "app_flags.h"
#include "press_runner.h"
#include "proxy_option.h"
#include "proxy_settings.h"
#include "report.h"
#include "results.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <thread>

namespace
{
constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutput = 3;

const char* const kValueOptions[] = {"--output", "--format", "--jobs", "-j", "--hosts", "--warn-days"};

struct ReportOptions
{
    std::string output;
    bool html = false;
    int jobs = 0; // 0: every press at once
    std::string hostsFile;
    bool hostsGiven = false;
};

int Usage(FILE* err, const std::string& reason)
{
    std::fprintf(err, "kestavane-cli: %s\nTry 'kestavane-cli --help' for more information.\n",
                 reason.c_str());
    return kExitUsage;
}

std::string Parse(const std::vector<std::string>& args, ReportOptions* options)
{
    bool seenCommand = false;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        std::string name = arg, value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos)
        {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        else if (arg.rfind("-j", 0) == 0 && arg.size() > 2)
        {
            name = "-j";
            value = arg.substr(2);
            hasValue = true;
        }
        if (name == "report" && !seenCommand)
        {
            seenCommand = true;
            continue;
        }
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) == std::end(kValueOptions) ||
            name == "--warn-days")
            return "report does not take '" + arg + "'";
        if (!hasValue)
        {
            if (i + 1 == args.size())
                return name + " needs a value";
            value = args[++i];
        }
        if (name == "--output")
        {
            if (value.empty())
                return "--output needs a file name";
            options->output = value;
        }
        else if (name == "--format")
        {
            if (value != "text" && value != "html")
                return "report's --format is text or html, not '" + value + "'";
            options->html = value == "html";
        }
        else if (name == "--hosts")
        {
            if (value.empty())
                return "--hosts needs a file name";
            options->hostsFile = value;
            options->hostsGiven = true;
        }
        else
        {
            const bool digits =
                !value.empty() && value.size() <= 3 &&
                std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
            options->jobs = digits ? std::atoi(value.c_str()) : 0;
            if (options->jobs < kMinJobs || options->jobs > kMaxJobs)
                return "--jobs takes a number from 1 to 64, not '" + value + "'";
        }
    }
    return std::string();
}

// What the memory stream holds past `from`, once flushed.
std::string Since(FILE* stream, char* const& text, const size_t& size, size_t* from)
{
    std::fflush(stream);
    std::string part(text + *from, size - *from);
    *from = size;
    return part;
}

// The presses, parallel as asked, each as the report shows it.
std::vector<ReportPress> Press(const std::vector<const ProcessorEntry*>& entries, int jobs,
                               const CProxyRoute* route)
{
    std::vector<ReportPress> presses(entries.size());
    char* text = nullptr;
    size_t size = 0, from = 0;
    FILE* stream = ::open_memstream(&text, &size);
    RunPresses(
        entries, jobs, stream,
        [&](size_t i, PressOutcome& outcome) {
            ReportPress& press = presses[i];
            press.buttonId = entries[i]->id;
            press.caption = entries[i]->caption;
            press.history = stream != nullptr ? Since(stream, text, size, &from) : std::string();
            press.records = std::move(outcome.records);
            press.passed = outcome.passed;
            press.path = route != nullptr ? "proxy" : "direct";
            const GatewayTarget& first = entries[i]->targets[0];
            if (const ProxyUrl* url = route != nullptr ? route->For(first.host, first.port) : nullptr)
                press.proxy = url->Text();
            return true;
        },
        false, route);
    if (stream != nullptr)
        std::fclose(stream);
    std::free(text);
    return presses;
}
} // namespace

bool IsReportCommand(const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), arg) != std::end(kValueOptions))
            ++i;
        else if (arg == "--via-proxy")
        {
            if (i + 1 < args.size() && (args[i + 1] == "auto" || args[i + 1] == "none" ||
                                        args[i + 1].find(':') != std::string::npos))
                ++i;
        }
        else if (arg.empty() || arg[0] != '-')
            return arg == "report";
    }
    return false;
}

int RunReportCommand(const std::vector<std::string>& args, FILE* out, FILE* err,
                     const std::string& siteHostsFile)
{
    ProxyOption proxy;
    std::vector<std::string> rest;
    ReportOptions options;
    if (std::string problem = TakeProxyOption(args, &proxy, &rest); !problem.empty())
        return Usage(err, problem);
    if (std::string problem = Parse(rest, &options); !problem.empty())
        return Usage(err, problem);
    if (!options.output.empty())
        if (const std::string problem = OutputPathProblem(options.output); !problem.empty())
        {
            std::fprintf(err, "kestavane-cli: --output '%s': %s\n", options.output.c_str(), problem.c_str());
            return kExitOutput;
        }

    InitPlatformFlags();
    CatalogueRef catalogue = CCatalogue::BuiltIn();
    if (options.hostsGiven || !siteHostsFile.empty())
    {
        const SiteCatalogue loaded =
            LoadSiteCatalogue(options.hostsGiven ? options.hostsFile : siteHostsFile, !options.hostsGiven);
        if (!loaded.problem.empty())
        {
            std::fprintf(err, "kestavane-cli: %s\n", loaded.problem.c_str());
            return kExitUsage;
        }
        catalogue = loaded.catalogue;
    }
    std::vector<const ProcessorEntry*> entries;
    for (const auto& entry : catalogue->Entries())
        entries.push_back(&entry);

    // The proxy found is part of the report's facts; the route of the second
    // try is the one found, or the one given.
    CProxyFinder finder;
    const std::string proxyLine = ProxySummary(finder, *catalogue);
    std::string problem;
    const std::unique_ptr<CProxyRoute> route = MakeRoute(proxy, TargetsOf(entries), finder, &problem);
    if (proxy.given && proxy.value != "auto" && !problem.empty())
        return Usage(err, problem);

    // This PC's facts are gathered while the presses run.
    ReportFacts facts;
    std::thread gather([&] { facts = CollectReportFacts(*catalogue, proxyLine); });
    const int jobs =
        options.jobs != 0 ? options.jobs : std::min<int>(kMaxJobs, static_cast<int>(entries.size()));
    std::vector<ReportPress> presses = Press(entries, jobs, nullptr);
    if (route)
    {
        std::vector<const ProcessorEntry*> failed;
        for (size_t i = 0; i < entries.size(); ++i)
            if (!presses[i].passed)
                failed.push_back(entries[i]);
        if (!failed.empty())
        {
            std::vector<ReportPress> again = Press(failed, jobs, route.get());
            for (auto& press : again)
                presses.push_back(std::move(press));
        }
    }
    gather.join();

    const std::string text = options.html ? ReportHtml(facts, presses) : ReportText(facts, presses);
    const int status = AllDirectPassed(presses) ? kExitPassed : kExitFailed;
    if (options.output.empty())
    {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return status;
    }
    if (std::string error; !ReplaceFile(options.output, text, &error))
    {
        std::fprintf(err, "kestavane-cli: %s\n", error.c_str());
        return kExitOutput;
    }
    return status;
}
