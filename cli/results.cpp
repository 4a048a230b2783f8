#include "results.h"

#include "hints.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace
{
constexpr long long kSecondsPerDay = 86400;

json TextOrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json MsOrNull(const std::optional<double>& ms) { return ms ? json(*ms) : json(nullptr); }

// The history's serial ends in a blank after its last byte; a record's does not.
std::string SerialWithoutBlank(std::string serial)
{
    while (!serial.empty() && serial.back() == ' ')
        serial.pop_back();
    return serial;
}

json CertificateJson(const CertificateFacts& cert, std::time_t now)
{
    return json{{"subject", cert.subject},
                {"issuer", cert.issuer},
                {"serial", SerialWithoutBlank(cert.serial)},
                {"not_before", IsoUtc(static_cast<std::time_t>(cert.notBefore))},
                {"not_after", IsoUtc(static_cast<std::time_t>(cert.notAfter))},
                {"days_until_expiry", DaysUntil(static_cast<std::time_t>(cert.notAfter), now)}};
}

json ChainJson(const std::vector<CertificateFacts>& chain, std::time_t now)
{
    json certs = json::array();
    for (const auto& cert : chain)
        certs.push_back(CertificateJson(cert, now));
    return certs;
}

json AddressesJson(const std::vector<AddressRecord>& addresses)
{
    if (addresses.empty())
        return nullptr;
    json list = json::array();
    for (const auto& a : addresses)
        list.push_back(json{{"address", a.address},
                            {"passed", a.passed},
                            {"failed_step", a.passed ? json(nullptr) : json(TestStepName(a.failedStep))},
                            {"cause", a.passed ? json(nullptr) : json(CauseName(a.cause, a.alert))}});
    return list;
}

json TlsJson(const TlsFacts& tls, std::time_t now)
{
    const int64_t earliest = EarliestNotAfter(tls);
    const auto earliestAt = static_cast<std::time_t>(earliest);
    return json{
        {"protocol", tls.protocol},
        {"cipher", tls.cipher},
        {"cipher_strength", tls.cipherStrength},
        {"hash", tls.hash},
        {"hash_strength", tls.hashStrength},
        {"key_exchange", tls.keyExchange},
        {"key_exchange_strength", tls.keyExchangeStrength},
        {"header_size", tls.headerSize},
        {"trailer_size", tls.trailerSize},
        {"max_message_size", tls.maxMessageSize},
        {"certificate", tls.certificate ? CertificateJson(*tls.certificate, now) : json(nullptr)},
        {"verify_code", tls.verifyCode ? json(static_cast<int32_t>(*tls.verifyCode)) : json(nullptr)},
        {"verify_name", tls.verifyCode ? json(tls.verifyName) : json(nullptr)},
        {"chain", ChainJson(tls.chain, now)},
        {"earliest_not_after", earliest != 0 ? json(IsoUtc(earliestAt)) : json(nullptr)},
        {"earliest_days_until_expiry", earliest != 0 ? json(DaysUntil(earliestAt, now)) : json(nullptr)}};
}

json TargetJson(const TargetRecord& r, std::time_t now)
{
    const bool typed = r.buttonId == 0;
    return json{
        {"type", "target"},
        {"format_version", kJsonFormatVersion},
        {"button_id", typed ? json(nullptr) : json(r.buttonId)},
        {"caption", typed ? json(nullptr) : json(r.caption)},
        {"label", r.label},
        {"host", r.host},
        {"port", r.port},
        {"tester", r.tester},
        {"path", r.path},
        {"proxy", TextOrNull(r.proxy)},
        {"resolved_address", TextOrNull(r.resolvedAddress)},
        {"source_address", TextOrNull(r.sourceAddress)},
        {"source_port", r.sourcePort != 0 ? json(r.sourcePort) : json(nullptr)},
        {"passed", r.passed},
        {"failed_step", r.failedStep == TestStep::None ? json(nullptr) : json(TestStepName(r.failedStep))},
        {"reason", r.passed ? json(nullptr) : json(r.reason)},
        {"cause", r.passed || r.cause == Cause::None ? json(nullptr) : json(CauseName(r.cause, r.alert))},
        {"code", r.passed || r.code == 0 ? json(nullptr) : json(r.code)},
        {"hint", TextOrNull(r.hint)},
        {"warnings", r.warnings},
        {"addresses", AddressesJson(r.addresses)},
        {"times_ms",
         {{"resolve", MsOrNull(r.times.resolveMs)},
          {"connect", MsOrNull(r.times.connectMs)},
          {"handshake", MsOrNull(r.times.handshakeMs)},
          {"greeting", MsOrNull(r.times.greetingMs)},
          {"verify", MsOrNull(r.times.verifyMs)},
          {"shutdown", MsOrNull(r.times.shutdownMs)}}},
        {"tls", r.tls ? TlsJson(*r.tls, now) : json(nullptr)}};
}

json PressJson(const PressRecord& r)
{
    return json{{"type", "press"},         {"format_version", kJsonFormatVersion},
                {"button_id", r.buttonId}, {"caption", r.caption},
                {"sequence", r.sequence},  {"tested", r.tested},
                {"skipped", r.skipped},    {"passed", r.passed},
                {"path", r.path}};
}

// Certificate names and greetings are bytes from the network: what is not
// UTF-8 becomes U+FFFD rather than ending the run.
std::string Dumped(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// ---- the textfile format

// Whole numbers (counts, seconds, days) as integers, others in the fewest
// significant digits that read back as the same value. Formatted by the C
// library: the C++ library's to_chars would load the maths library into every
// run for this one file.
std::string Number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    if (std::fabs(value) < 1e15)
    {
        const long long whole = static_cast<long long>(value);
        if (static_cast<double>(whole) == value)
            return std::to_string(whole);
    }
    char text[32];
    for (int digits = 1; digits <= 17; ++digits)
    {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

// Only a test through a proxy says so: a direct target's series are the same
// as they were before there was a way through a proxy.
std::string PathLabel(const std::string& path) { return path == "direct" ? "" : ",path=\"" + path + "\""; }

std::string TargetLabels(const TargetRecord& r)
{
    return "id=\"" + std::to_string(r.buttonId) + "\",label=\"" + PrometheusLabelValue(r.label) +
           "\",host=\"" + PrometheusLabelValue(r.host) + "\",port=\"" + std::to_string(r.port) + "\"" +
           PathLabel(r.path);
}

struct Family
{
    const char* name;
    const char* help;
    // Series by their labels: a target pressed twice in one run keeps its last
    // value, since a file with a series twice is refused whole.
    std::map<std::string, double> series;
    std::vector<std::string> order;

    void Set(const std::string& labels, double value)
    {
        if (series.find(labels) == series.end())
            order.push_back(labels);
        series[labels] = value;
    }
    void Write(std::string& out) const
    {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        for (const auto& labels : order)
            out += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " +
                   Number(series.at(labels)) + "\n";
    }
};
} // namespace

std::string IsoUtc(std::time_t when)
{
    std::tm parts{};
    if (::gmtime_r(&when, &parts) == nullptr)
        return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

long long DaysUntil(std::time_t moment, std::time_t now)
{
    long long seconds;
    if (__builtin_sub_overflow(static_cast<long long>(moment), static_cast<long long>(now), &seconds))
        return moment > now ? LLONG_MAX / kSecondsPerDay : LLONG_MIN / kSecondsPerDay;
    // Rounded down, also before the moment: a second late is day -1.
    return seconds / kSecondsPerDay - (seconds % kSecondsPerDay < 0 ? 1 : 0);
}

std::string JsonLine(const ResultRecord& record, std::time_t now, const LineStamp& stamp)
{
    const auto* target = std::get_if<TargetRecord>(&record);
    json j = target != nullptr ? TargetJson(*target, now) : PressJson(std::get<PressRecord>(record));
    j["time"] = stamp.time;
    j["run_id"] = stamp.runId;
    return Dumped(j);
}

std::string JsonSummaryLine(const RunSummary& summary, const std::vector<ResultRecord>& records,
                            const LineStamp& stamp)
{
    int targets = 0, targetsFailed = 0, skipped = 0;
    for (const auto& record : records)
    {
        if (const auto* target = std::get_if<TargetRecord>(&record))
        {
            ++targets;
            targetsFailed += target->passed ? 0 : 1;
        }
        else
            skipped += static_cast<int>(std::get<PressRecord>(record).skipped.size());
    }
    return Dumped(json{{"type", "summary"},
                       {"format_version", kJsonFormatVersion},
                       {"command", summary.command},
                       {"jobs", summary.jobs},
                       {"presses", summary.presses},
                       {"presses_failed", summary.pressesFailed},
                       {"targets", targets},
                       {"targets_failed", targetsFailed},
                       {"targets_skipped", skipped},
                       {"passed", summary.passed},
                       {"exit_status", summary.exitStatus},
                       {"started_at", IsoUtc(summary.startedAt)},
                       {"duration_ms", summary.durationMs},
                       {"time", stamp.time},
                       {"run_id", stamp.runId}});
}

std::string PrometheusLabelValue(const std::string& text)
{
    // The JSON writer's own replacement, read back: the same text as the JSON lines.
    const std::string valid = json::parse(Dumped(json(text))).get<std::string>();
    std::string out;
    for (const char c : valid)
    {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += ' ';
        else
            out += c;
    }
    return out;
}

std::string PrometheusText(const std::vector<ResultRecord>& records, std::time_t now, const RunFacts& facts,
                           MetricsDetail detail)
{
    const bool full = detail == MetricsDetail::Full;
    Family up{"kestavane_target_up", "1 when the target's test passed, 0 when it failed.", {}, {}};
    Family steps{"kestavane_target_step_seconds", "Seconds the target's test spent in one step.", {}, {}};
    Family expiry{"kestavane_certificate_expiry_seconds",
                  "Seconds from the run until the first certificate of the target's chain expires; "
                  "negative once expired.",
                  {},
                  {}};
    Family earliest{"kestavane_tls_earliest_expiry_timestamp_seconds",
                    "When the first certificate of the target's chain ends, in Unix time.",
                    {},
                    {}};
    Family failure{"kestavane_target_failure_info",
                   "1 for a target that failed, labelled with the step and the cause.",
                   {},
                   {}};
    Family press{"kestavane_press_up", "1 when every target a button press tested passed, else 0.", {}, {}};
    std::map<std::string, std::string> lastFailure; // by the target's labels; empty when it passed
    std::vector<std::string> failureOrder;
    Family presses{"kestavane_run_presses", "Button presses of the last run by result.", {}, {}};
    Family targets{"kestavane_run_targets",
                   "Targets of the last run by result; skipped: left out by a chain stop.",
                   {},
                   {}};
    Family duration{"kestavane_run_duration_seconds", "Seconds the last run took.", {}, {}};
    Family last{"kestavane_last_run_timestamp_seconds",
                "When the run that wrote this file ended, in Unix time.",
                {},
                {}};
    Family build{
        "kestavane_build_info", "The program's version and the catalogue it tests; always 1.", {}, {}};
    Family clock{"kestavane_clock_synchronised",
                 "1 when the system clock is synchronised to a time source, else 0.",
                 {},
                 {}};
    Family proxy{
        "kestavane_proxy_configured", "1 when this PC's connections go through a proxy, else 0.", {}, {}};

    int pressCount[2] = {0, 0}, targetCount[3] = {0, 0, 0}; // failed, passed (, skipped)
    std::string soonestLabels;
    double soonest = 0;
    for (const auto& record : records)
    {
        if (const auto* t = std::get_if<TargetRecord>(&record))
        {
            ++targetCount[t->passed ? 1 : 0];
            const std::string labels = TargetLabels(*t);
            if (full || !t->passed)
                up.Set(labels, t->passed ? 1 : 0);
            const std::pair<const char*, const std::optional<double>*> times[] = {
                {"resolve", &t->times.resolveMs},     {"connect", &t->times.connectMs},
                {"handshake", &t->times.handshakeMs}, {"greeting", &t->times.greetingMs},
                {"verify", &t->times.verifyMs},       {"shutdown", &t->times.shutdownMs}};
            for (const auto& [step, ms] : times)
                if (full && ms->has_value())
                    steps.Set(labels + ",step=\"" + step + "\"", **ms / 1000.0);
            if (t->tls && t->tls->certificate)
            {
                const int64_t notAfter = EarliestNotAfter(*t->tls);
                const double left = static_cast<double>(notAfter - now);
                if (full)
                {
                    expiry.Set(labels, left);
                    earliest.Set(labels, static_cast<double>(notAfter));
                }
                else if (soonestLabels.empty() || left < soonest)
                    soonestLabels = labels, soonest = left;
            }
            // Causes come from the fixed list only: the series stay few. A
            // target tested again keeps only its last outcome.
            if (lastFailure.find(labels) == lastFailure.end())
                failureOrder.push_back(labels);
            lastFailure[labels] = t->passed ? std::string()
                                            : labels + ",step=\"" + TestStepName(t->failedStep) +
                                                  "\",cause=\"" + CauseName(t->cause, t->alert) + "\"";
        }
        else
        {
            const auto& p = std::get<PressRecord>(record);
            ++pressCount[p.passed ? 1 : 0];
            targetCount[2] += static_cast<int>(p.skipped.size());
            if (full || !p.passed)
                press.Set("id=\"" + std::to_string(p.buttonId) + "\",label=\"" +
                              PrometheusLabelValue(p.caption) + "\"" + PathLabel(p.path),
                          p.passed ? 1 : 0);
        }
    }
    for (const auto& labels : failureOrder)
        if (!lastFailure[labels].empty())
            failure.Set(lastFailure[labels], 1);
    if (!soonestLabels.empty())
        expiry.Set(soonestLabels, soonest);
    presses.Set("result=\"passed\"", pressCount[1]);
    presses.Set("result=\"failed\"", pressCount[0]);
    targets.Set("result=\"passed\"", targetCount[1]);
    targets.Set("result=\"failed\"", targetCount[0]);
    targets.Set("result=\"skipped\"", targetCount[2]);
    duration.Set("", facts.durationSeconds);
    last.Set("", static_cast<double>(now));
    build.Set("version=\"" + PrometheusLabelValue(facts.version) + "\",catalogue=\"" +
                  PrometheusLabelValue(facts.catalogue) + "\"",
              1);
    if (facts.clockSynchronised)
        clock.Set("", *facts.clockSynchronised ? 1 : 0);
    if (facts.proxyConfigured)
        proxy.Set("", *facts.proxyConfigured ? 1 : 0);

    std::string out;
    for (const Family* family : {&up, &steps, &expiry, &earliest, &failure, &press, &presses, &targets,
                                 &duration, &last, &build, &clock, &proxy})
        if (!family->order.empty())
            family->Write(out);
    return out;
}

namespace
{
// A new file's name beside path, for mkstemp. A leading dot and no ".prom"
// ending: the collector never picks it up.
std::string TemporaryName(const std::string& path)
{
    const std::string base = path.substr(path.rfind('/') + 1); // npos + 1 is 0
    return FolderOf(path) + "/." + base + ".XXXXXX";
}

// What stands at path when it is there and not a regular file, which a
// rename would replace: a device node, a FIFO, a folder, a socket, a link.
std::string NotARegularFile(const std::string& path)
{
    struct stat st
    {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return std::string();
    switch (st.st_mode & S_IFMT)
    {
    case S_IFCHR: return "a character device, not a regular file";
    case S_IFBLK: return "a block device, not a regular file";
    case S_IFIFO: return "a FIFO, not a regular file";
    case S_IFDIR: return "a folder, not a regular file";
    case S_IFSOCK: return "a socket, not a regular file";
    case S_IFLNK: return "a symbolic link, not a regular file";
    default: return "not a regular file";
    }
}
} // namespace

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string OutputPathProblem(const std::string& path)
{
    const std::string dir = FolderOf(path);
    struct stat st
    {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "no folder '" + dir + "'";
    if (const std::string kind = NotARegularFile(path); !kind.empty())
        return kind;
    // A file made and removed at once: the folder takes the new file exactly
    // when it takes this one (permissions, read-only mounts, sandboxes).
    std::string probe = TemporaryName(path);
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return "cannot write in '" + dir + "': " + std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return std::string();
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string* error)
{
    if (const std::string kind = NotARegularFile(path); !kind.empty())
    {
        *error = "cannot write '" + path + "': " + kind;
        return false;
    }
    const std::string dir = FolderOf(path);
    std::string temp = TemporaryName(path);
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
    {
        *error = "cannot create a file in '" + dir + "': " + std::strerror(errno);
        return false;
    }
    int failure = ::fchmod(fd, 0644) == 0 ? 0 : errno;
    for (size_t at = 0; failure == 0 && at < text.size();)
    {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n > 0)
            at += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            failure = n == 0 ? EIO : errno;
    }
    if (failure == 0 && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    *error = "cannot write '" + path + "': " + std::strerror(failure != 0 ? failure : errno);
    ::unlink(temp.c_str());
    return false;
}
