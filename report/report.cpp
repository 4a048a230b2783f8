#include "report.h"

#include "console_owner.h"
#include "hints.h"
#include "ip_helper.h"
#include "proxy_settings.h"
#include "report_parts.h"
#include "run_facts.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sys/timex.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace
{
// What a history owner printed to a stream of its own.
class CCapture
{
public:
    CCapture() : m_stream(::open_memstream(&m_text, &m_size)) {}
    ~CCapture()
    {
        if (m_stream != nullptr)
            std::fclose(m_stream);
        std::free(m_text);
    }
    CCapture(const CCapture&) = delete;
    CCapture& operator=(const CCapture&) = delete;

    FILE* Stream() const { return m_stream; }
    std::string Text()
    {
        if (m_stream == nullptr)
            return std::string();
        std::fflush(m_stream);
        return std::string(m_text, m_size);
    }

private:
    char* m_text = nullptr;
    size_t m_size = 0;
    FILE* m_stream;
};

std::string OsRelease()
{
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"})
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("PRETTY_NAME=", 0) == 0)
            {
                std::string value = line.substr(12);
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    value = value.substr(1, value.size() - 2);
                return value;
            }
    }
    return "unknown";
}

std::string Kernel()
{
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "unknown";
    return name;
}

// The kernel's view, which the time services keep: unsynchronised until one
// of them has set the clock from a time source.
std::string ClockState()
{
    timex state{};
    const int result = ::adjtimex(&state);
    if (result < 0)
        return "unknown";
    return result == TIME_ERROR || (state.status & STA_UNSYNC) != 0 ? "not synchronised" : "synchronised";
}

std::string Hint(const TargetRecord& record)
{
    return record.passed ? std::string() : HintFor(record.cause, record.alert);
}

// The cause as the hint names it: the words before its colon.
std::string Verdict(const TargetRecord& record)
{
    if (record.passed)
        return "passes";
    const std::string hint = Hint(record);
    const auto colon = hint.find(':');
    if (colon != std::string::npos)
        return hint.substr(0, colon);
    return record.cause == Cause::None ? "fails" : CauseName(record.cause, record.alert);
}

double TotalMs(const StepTimes& t)
{
    double total = 0;
    for (const auto* ms :
         {&t.resolveMs, &t.connectMs, &t.handshakeMs, &t.greetingMs, &t.verifyMs, &t.shutdownMs})
        total += ms->value_or(0);
    return total;
}

report::PressView View(const ReportPress& press)
{
    report::PressView view;
    view.press = &press;
    for (const auto& record : press.records)
        if (const auto* target = std::get_if<TargetRecord>(&record))
        {
            report::TargetView t;
            t.record = *target;
            t.record.hint = Hint(*target);
            t.ms = TotalMs(target->times);
            t.verdict = Verdict(*target);
            view.ms += t.ms;
            if (view.verdict.empty() && !target->passed)
                view.verdict = t.verdict;
            view.targets.push_back(std::move(t));
        }
    if (view.verdict.empty())
        view.verdict = press.passed ? "passes" : "fails";
    return view;
}

std::string Title(const ReportPress& press)
{
    return press.buttonId != 0 ? std::to_string(press.buttonId) + " " + report::OneLine(press.caption)
                               : report::OneLine(press.caption);
}
} // namespace

namespace report
{
std::string OneLine(const std::string& caption)
{
    std::string text = caption;
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

std::string Duration(double ms)
{
    char text[32];
    if (ms < 1000)
        std::snprintf(text, sizeof text, "%.1f ms", ms);
    else
        std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
    return text;
}

std::string StepTimesText(const ::StepTimes& t)
{
    const std::pair<const char*, const std::optional<double>*> steps[] = {
        {"resolve", &t.resolveMs},   {"connect", &t.connectMs}, {"handshake", &t.handshakeMs},
        {"greeting", &t.greetingMs}, {"verify", &t.verifyMs},   {"shutdown", &t.shutdownMs}};
    std::string text;
    for (const auto& [name, ms] : steps)
        if (ms->has_value())
            text += (text.empty() ? "" : ", ") + std::string(name) + " " + Duration(**ms);
    return text;
}

std::string LocalTime(std::time_t when)
{
    std::tm parts{};
    if (::localtime_r(&when, &parts) == nullptr)
        return std::string();
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &parts);
    return text;
}

std::vector<ButtonRow> Rows(const std::vector<ReportPress>& presses, std::time_t /*now*/)
{
    std::vector<ButtonRow> rows;
    std::vector<bool> taken(presses.size(), false);
    for (size_t i = 0; i < presses.size(); ++i)
    {
        if (taken[i])
            continue;
        taken[i] = true;
        ButtonRow row;
        row.index = static_cast<int>(rows.size()) + 1;
        row.title = Title(presses[i]);
        PressView first = View(presses[i]);
        if (presses[i].path == "proxy")
            row.proxied = std::move(first);
        else
        {
            row.direct = std::move(first);
            // The same press again through a proxy, made after it.
            for (size_t j = i + 1; j < presses.size(); ++j)
                if (!taken[j] && presses[j].path == "proxy" && presses[j].buttonId == presses[i].buttonId &&
                    presses[j].caption == presses[i].caption)
                {
                    taken[j] = true;
                    row.proxied = View(presses[j]);
                    break;
                }
        }
        const PressView& counted = row.direct.press != nullptr ? row.direct : row.proxied;
        row.passed = counted.press->passed;
        if (row.direct.press != nullptr)
            row.line = row.proxied.press != nullptr ? "direct: " + row.direct.verdict : row.direct.verdict;
        if (row.proxied.press != nullptr)
            row.line += (row.line.empty() ? "" : "; ") + std::string("through proxy ") +
                        row.proxied.press->proxy + ": " + row.proxied.verdict;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string RecordLines(const ReportFacts& facts, const std::vector<ReportPress>& presses)
{
    const nlohmann::json head{{"type", "report"},
                              {"format_version", kJsonFormatVersion},
                              {"generated_at", IsoUtc(facts.generatedAt)},
                              {"host_name", facts.hostName},
                              {"os_release", facts.osRelease},
                              {"kernel", facts.kernel},
                              {"version", facts.version},
                              {"catalogue_source", facts.catalogueSource},
                              {"catalogue_label", facts.catalogueLabel},
                              {"clock", facts.clock},
                              {"proxy", facts.proxy}};
    std::string lines = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // One report is one run: its lines share an id and the report's time.
    const LineStamp stamp{NewRunId(),
                          UtcMilliseconds(std::chrono::system_clock::from_time_t(facts.generatedAt))};
    for (const auto& press : presses)
        for (const auto& record : press.records)
        {
            ResultRecord annotated = record;
            if (auto* target = std::get_if<TargetRecord>(&annotated))
                target->hint = Hint(*target);
            lines += JsonLine(annotated, facts.generatedAt, stamp) + "\n";
        }
    return lines;
}
} // namespace report

std::string ProxySummary(CProxyFinder& finder, const CCatalogue& catalogue)
{
    struct Group
    {
        std::string text;
        int targets = 0;
    };
    std::vector<Group> groups; // in the order first met
    int total = 0, direct = 0;
    for (const auto& entry : catalogue.Entries())
        for (int n = 0; n < entry.targetCount; ++n)
        {
            ++total;
            const ProxyFinding found = finder.For(entry.targets[n].host, entry.targets[n].port);
            if (found.shown.empty())
            {
                ++direct;
                continue;
            }
            std::string text = found.shown + " from " + found.source;
            if (!found.usable)
                text += " (not usable: " + found.unusable + ")";
            auto it =
                std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.text == text; });
            if (it == groups.end())
                it = groups.insert(groups.end(), Group{text, 0});
            ++it->targets;
        }
    const std::string looked =
        finder.ReadsDesktop() ? "the environment, /etc/environment and the desktop's settings"
                              : "the environment and /etc/environment; the desktop's settings were not read "
                                "(libproxy could not be loaded)";
    if (groups.empty())
        return "none found (looked in " + looked + ")";
    std::string line;
    for (const auto& g : groups)
        line += (line.empty() ? "" : "; ") + g.text + ", for " + std::to_string(g.targets) + " of " +
                std::to_string(total) + " catalogue targets";
    if (direct > 0)
        line += "; direct for the other " + std::to_string(direct);
    return line;
}

ReportFacts CollectReportFacts(const CCatalogue& catalogue, const std::string& proxyLine)
{
    ReportFacts facts;
    facts.generatedAt = std::time(nullptr);
    facts.hostName = HostName();
    facts.osRelease = OsRelease();
    facts.kernel = Kernel();
    facts.version = KV_VERSION;
    facts.catalogueSource = catalogue.Source().empty() ? "built-in" : catalogue.Source();
    facts.catalogueLabel = catalogue.Label();
    facts.clock = ClockState();
    if (proxyLine.empty())
    {
        CProxyFinder finder;
        facts.proxy = ProxySummary(finder, catalogue);
    }
    else
        facts.proxy = proxyLine;
    {
        CCapture capture;
        CConsoleHistoryOwner owner(capture.Stream());
        RunThisPc(&owner);
        facts.thisPc = capture.Text();
    }
    {
        CCapture capture;
        CConsoleHistoryOwner owner(capture.Stream());
        RunCheckDns(&owner);
        facts.checkDns = capture.Text();
    }
    {
        CCapture capture;
        CConsoleHistoryOwner owner(capture.Stream());
        RunCheckDhcp(&owner);
        facts.checkDhcp = capture.Text();
    }
    return facts;
}

bool AllDirectPassed(const std::vector<ReportPress>& presses)
{
    for (const auto& press : presses)
        if (press.path != "proxy" && !press.passed)
            return false;
    return true;
}

std::string DefaultReportFileName(const ReportFacts& facts)
{
    std::tm parts{};
    char stamp[32] = "";
    if (::localtime_r(&facts.generatedAt, &parts) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M", &parts);
    std::string host;
    for (const char c : facts.hostName)
        host += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    return "kestavane-" + host + "-" + stamp + ".html";
}

std::string ReportText(const ReportFacts& facts, const std::vector<ReportPress>& presses)
{
    using namespace report;
    const std::vector<ButtonRow> rows = Rows(presses, facts.generatedAt);
    int passed = 0;
    for (const auto& row : rows)
        passed += row.passed ? 1 : 0;

    std::string out = "KESTAVANE REPORT\n\n";
    auto field = [&](const char* name, const std::string& value) {
        char label[32];
        std::snprintf(label, sizeof label, "%-21s", name);
        out += label + value + "\n";
    };
    field("Generated (UTC)", IsoUtc(facts.generatedAt));
    field("Generated (local)", LocalTime(facts.generatedAt));
    field("Host name", facts.hostName);
    field("OS release", facts.osRelease);
    field("Kernel", facts.kernel);
    field("Program version", facts.version);
    field("Catalogue", facts.catalogueSource + ", hosts label " + facts.catalogueLabel);
    field("Clock", facts.clock);
    field("Proxy", facts.proxy);
    field("Presses", std::to_string(passed) + " of " + std::to_string(rows.size()) + " passed");

    out += "\nPRESSES\n";
    for (const auto& row : rows)
    {
        const PressView& counted = row.direct.press != nullptr ? row.direct : row.proxied;
        char line[160];
        std::snprintf(line, sizeof line, "%s  %-44s %10s  ", row.passed ? "PASS" : "FAIL", row.title.c_str(),
                      Duration(counted.ms).c_str());
        out += line + row.line + "\n";
        for (const PressView* view : {&row.direct, &row.proxied})
            for (const auto& t : view->targets)
                if (!t.record.passed)
                    out += "      " + t.record.label + (view == &row.proxied ? " (through proxy)" : "") +
                           ": " + t.record.hint + " [" + CauseName(t.record.cause, t.record.alert) + "]\n";
    }

    out += "\nTHIS PC\n" + facts.thisPc;
    out += "\nCHECK DNS\n" + facts.checkDns;
    out += "\nCHECK DHCP\n" + facts.checkDhcp;

    out += "\nHISTORIES\n";
    for (const auto& row : rows)
        for (const PressView* view : {&row.direct, &row.proxied})
        {
            if (view->press == nullptr)
                continue;
            out += "\n--- " + row.title +
                   (view == &row.proxied ? " through proxy " + view->press->proxy : std::string(" direct")) +
                   ": " + (view->press->passed ? "PASS" : "FAIL") + "\n";
            out += view->press->history;
            for (const auto& t : view->targets)
                out += "  " + t.record.label + ": " + t.verdict + "; " + Duration(t.ms) +
                       (StepTimesText(t.record.times).empty() ? ""
                                                              : " (" + StepTimesText(t.record.times) + ")") +
                       "\n";
        }

    out += "\nRECORDS (JSON Lines)\n" + RecordLines(facts, presses);
    return out;
}
