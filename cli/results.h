// The records of one run as the command line collects and formats them:
// JSON Lines for programs, the textfile format for the node exporter.
#pragma once

#include "test_record.h"

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// A target's record or a press's, in the order the core handed them over:
// a press's targets come before the press itself.
using ResultRecord = std::variant<TargetRecord, PressRecord>;

class CCollectingSink : public CResultSink
{
public:
    void BeginPress(int /*buttonId*/, const std::string& /*caption*/) override {}
    void Target(const TargetRecord& record) override { m_records.emplace_back(record); }
    void Press(const PressRecord& record) override { m_records.emplace_back(record); }
    bool WantsEveryAddress() const override { return everyAddress; }

    const std::vector<ResultRecord>& Records() const { return m_records; }
    std::vector<ResultRecord> Take() { return std::exchange(m_records, {}); }

    bool everyAddress = false; // --all-addresses

private:
    std::vector<ResultRecord> m_records;
};

// What the summary says of a whole run.
struct RunSummary
{
    std::string command; // "run", "manual" or "plain"
    int jobs = 1;
    int presses = 0;
    int pressesFailed = 0;
    bool passed = false;
    int exitStatus = 0;
    std::time_t startedAt = 0;
    double durationMs = 0;
    std::string runId;
};

// 2: verify_code signed, the serial without its trailing blank; every line
// carries time and run_id.
constexpr int kJsonFormatVersion = 2;

// What every JSON line of one run carries: the run's id, shared by all its
// lines, and when the line was written.
struct LineStamp
{
    std::string runId;
    std::string time; // UtcMilliseconds
};

// ISO 8601 in UTC, to the second: "2026-01-31T12:00:00Z".
std::string IsoUtc(std::time_t when);
// Whole days from now until the moment, rounded down: -1 a day or less after it.
long long DaysUntil(std::time_t moment, std::time_t now);

// One JSON object per line (no line end), "now" the time the line is written.
std::string JsonLine(const ResultRecord& record, std::time_t now, const LineStamp& stamp);
std::string JsonSummaryLine(const RunSummary& summary, const std::vector<ResultRecord>& records,
                            const LineStamp& stamp);

// What the textfile says of the run and of this PC beside the records.
struct RunFacts
{
    std::string version;
    std::string catalogue; // CCatalogue::Label(); empty for a test of a typed server
    double durationSeconds = 0;
    // nullopt when the kernel could not be asked: no series then.
    std::optional<bool> clockSynchronised;
    // PROXY: whether this PC's connections go through a proxy, for the proxy
    // detection to fill; nullopt writes no series.
    std::optional<bool> proxyConfigured;
};

// Full: every series. Summary, for large fleets: the run's counts, the
// failures, and the one certificate that expires first.
enum class MetricsDetail
{
    Full,
    Summary
};

// The node exporter's textfile format for the whole run.
std::string PrometheusText(const std::vector<ResultRecord>& records, std::time_t now, const RunFacts& facts,
                           MetricsDetail detail = MetricsDetail::Full);

// A label value of the textfile: what is not UTF-8 replaced as the JSON
// lines replace it, then backslash, double quote and line feed escaped; a
// carriage return (a caption's line break) becomes a blank.
std::string PrometheusLabelValue(const std::string& text);

// The folder a file name lies in: "." for a bare name, "/" for one at the root.
std::string FolderOf(const std::string& path);

// Why path cannot take the output file, or empty: its folder must be there
// and take a new file, and what is there already must be a regular file (a
// device, FIFO, folder, socket or link is never replaced).
std::string OutputPathProblem(const std::string& path);

// Writes the text to a new file beside path and renames it over path, so a
// reader sees the old file or the new one, never a part. False with the
// reason when it cannot; the old file is then left as it was.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* error);
