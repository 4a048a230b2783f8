// The report as one HTML page that needs nothing else: its styles inline,
// no script, font or image, and every text from a peer, a file or a
// history written as text.
#include "report.h"
#include "report_parts.h"

#include <string>

namespace
{
const char* const kStyle = R"(
body { font-family: sans-serif; font-size: 10.5pt; color: #111; margin: 1.5em; }
h1 { font-size: 1.5em; margin: 0 0 0.3em; }
h2 { font-size: 1.15em; margin: 1.4em 0 0.4em; border-bottom: 1px solid #999; }
table { border-collapse: collapse; width: 100%; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.4em; text-align: left; vertical-align: top; }
th { background: #eee; }
table.facts { width: auto; }
table.facts th { font-weight: normal; white-space: nowrap; }
td.time { text-align: right; white-space: nowrap; }
.pass { color: #0a5d1a; font-weight: bold; }
.fail { color: #a30000; font-weight: bold; }
tr.failed td { background: #fff3f3; }
p.verdict { font-size: 1.2em; }
pre { font-family: monospace; font-size: 8.5pt; white-space: pre-wrap; overflow-wrap: anywhere;
      background: #f7f7f7; border: 1px solid #ddd; padding: 0.4em; margin: 0.3em 0; }
details { margin: 0.3em 0; }
summary { cursor: pointer; }
@page { margin: 12mm; }
@media print {
  body { font-size: 9pt; margin: 0; }
  a { color: inherit; text-decoration: none; }
  tr { break-inside: avoid; }
  thead { display: table-header-group; }
  pre { font-size: 7pt; background: none; }
  summary { list-style: none; }
  tr.failed td { background: none; }
}
)";

// Text as HTML: the five markup characters as references, bytes that are
// not UTF-8 and control characters other than tab and line feed as U+FFFD.
std::string Esc(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 16);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;)
    {
        const unsigned char c = p[i];
        if (c < 0x80)
        {
            switch (c)
            {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\t':
            case '\n': out += static_cast<char>(c); break;
            case '\r': out += ' '; break;
            default: out += c < 0x20 || c == 0x7F ? "\xEF\xBF\xBD" : std::string(1, static_cast<char>(c));
            }
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        size_t length = 0;
        if (c >= 0xC2 && c <= 0xDF)
            length = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            length = 3;
        else if (c >= 0xF0 && c <= 0xF4)
            length = 4;
        bool good = length != 0 && i + length <= n;
        for (size_t k = 1; good && k < length; ++k)
            good = (p[i + k] & 0xC0) == 0x80;
        if (good && length == 3)
            good = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] > 0x9F);
        if (good && length == 4)
            good = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] > 0x8F);
        if (good)
        {
            out.append(text, i, length);
            i += length;
        }
        else
        {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// JSON inside a script element of type application/json: "<", ">" and "&"
// only ever stand inside its strings, where \u escapes mean the same, so
// nothing in it can end the element.
std::string JsonInScript(const std::string& lines)
{
    std::string out;
    for (const char c : lines)
    {
        if (c == '<')
            out += "\\u003c";
        else if (c == '>')
            out += "\\u003e";
        else if (c == '&')
            out += "\\u0026";
        else
            out += c;
    }
    return out;
}

std::string ResultCell(bool passed)
{
    return passed ? "<span class=\"pass\">PASS</span>" : "<span class=\"fail\">FAIL</span>";
}

void TargetTable(std::string& out, const report::PressView& view)
{
    out += "<table class=\"targets\">\n<thead><tr><th>Target</th><th>Host and port</th><th>Result</th>"
           "<th>Cause</th><th>Hint</th><th>Times</th></tr></thead>\n<tbody>\n";
    for (const auto& t : view.targets)
    {
        const TargetRecord& r = t.record;
        out += std::string("<tr") + (r.passed ? "" : " class=\"failed\"") + "><td>" + Esc(r.label) +
               "</td><td>" + Esc(r.host) + ":" + std::to_string(r.port) + "</td><td>" + ResultCell(r.passed) +
               "</td><td>" + (r.passed ? "" : Esc(CauseName(r.cause, r.alert))) + "</td><td>" + Esc(r.hint) +
               "</td><td>" + Esc(report::Duration(t.ms)) +
               (report::StepTimesText(r.times).empty() ? "" : ": ") + Esc(report::StepTimesText(r.times)) +
               "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";
}

void PressDetails(std::string& out, const report::ButtonRow& row, const report::PressView& view, bool proxied)
{
    const ReportPress& press = *view.press;
    const std::string way = proxied ? "through proxy " + press.proxy : "direct";
    out += "<details id=\"press-" + std::to_string(row.index) + (proxied ? "-proxy" : "") + "\"" +
           (press.passed ? "" : " open") + ">\n<summary>" + ResultCell(press.passed) + " " + Esc(row.title) +
           " (" + Esc(way) + ")</summary>\n<pre>" + Esc(press.history) + "</pre>\n";
    TargetTable(out, view);
    out += "</details>\n";
}
} // namespace

std::string ReportHtml(const ReportFacts& facts, const std::vector<ReportPress>& presses)
{
    using namespace report;
    const std::vector<ButtonRow> rows = Rows(presses, facts.generatedAt);
    int failed = 0;
    for (const auto& row : rows)
        failed += row.passed ? 0 : 1;

    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, "
                      "initial-scale=1\">\n<title>Kestavane report: " +
                      Esc(facts.hostName) + ", " + Esc(IsoUtc(facts.generatedAt)) + "</title>\n<style>" +
                      kStyle + "</style>\n</head>\n<body>\n<h1>Kestavane report: " + Esc(facts.hostName) +
                      "</h1>\n";
    out += std::string("<p class=\"verdict\">") +
           (failed == 0
                ? "<span class=\"pass\">Every press passed</span>"
                : "<span class=\"fail\">" + std::to_string(failed) + " of " + std::to_string(rows.size()) +
                      (rows.size() == 1 ? " press" : " presses") + " failed</span>") +
           "</p>\n";

    out += "<table class=\"facts\">\n";
    const std::pair<const char*, std::string> fields[] = {
        {"Generated (UTC)", IsoUtc(facts.generatedAt)},
        {"Generated (local)", LocalTime(facts.generatedAt)},
        {"Host name", facts.hostName},
        {"OS release", facts.osRelease},
        {"Kernel", facts.kernel},
        {"Program version", facts.version},
        {"Catalogue", facts.catalogueSource + ", hosts label " + facts.catalogueLabel},
        {"Clock", facts.clock},
        {"Proxy", facts.proxy}};
    for (const auto& [name, value] : fields)
        out += std::string("<tr><th>") + name + "</th><td>" + Esc(value) + "</td></tr>\n";
    out += "</table>\n";

    out += "<h2>Presses</h2>\n<table class=\"presses\">\n<thead><tr><th>Result</th><th>Button</th>"
           "<th>Outcome</th><th>Cause</th><th>Hint</th><th>Time</th></tr></thead>\n<tbody>\n";
    for (const auto& row : rows)
    {
        const PressView& counted = row.direct.press != nullptr ? row.direct : row.proxied;
        std::string causes, hints;
        for (const PressView* view : {&row.direct, &row.proxied})
            for (const auto& t : view->targets)
                if (!t.record.passed)
                {
                    const std::string who = t.record.label + (view == &row.proxied ? " (through proxy)" : "");
                    causes += (causes.empty() ? "" : "<br>") +
                              Esc(who + ": " + CauseName(t.record.cause, t.record.alert));
                    hints += (hints.empty() ? "" : "<br>") + Esc(t.record.hint);
                }
        out += std::string("<tr") + (row.passed ? "" : " class=\"failed\"") + "><td>" +
               ResultCell(row.passed) + "</td><td><a href=\"#press-" + std::to_string(row.index) +
               (row.direct.press == nullptr ? "-proxy" : "") + "\">" + Esc(row.title) + "</a></td><td>" +
               Esc(row.line) + "</td><td>" + causes + "</td><td>" + hints + "</td><td class=\"time\">" +
               Esc(Duration(counted.ms)) + "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";

    out += "<h2>This PC</h2>\n";
    const std::pair<const char*, const std::string*> checks[] = {{"Adapters (THIS PC)", &facts.thisPc},
                                                                 {"DNS check", &facts.checkDns},
                                                                 {"DHCP check", &facts.checkDhcp}};
    for (const auto& [name, text] : checks)
        out += std::string("<details open>\n<summary>") + name + "</summary>\n<pre>" + Esc(*text) +
               "</pre>\n</details>\n";

    out += "<h2>Histories</h2>\n";
    for (const auto& row : rows)
    {
        if (row.direct.press != nullptr)
            PressDetails(out, row, row.direct, false);
        if (row.proxied.press != nullptr)
            PressDetails(out, row, row.proxied, true);
    }

    out += "<script type=\"application/json\" id=\"kestavane-records\">\n" +
           JsonInScript(RecordLines(facts, presses)) + "</script>\n</body>\n</html>\n";
    return out;
}
