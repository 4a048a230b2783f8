#include "hosts_file.h"

#include "catalogue_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace
{
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A text from the file as a problem line may show it: printable ASCII as it
// is, every other byte as \xNN, cut after 64 characters.
std::string Quoted(std::string_view text)
{
    constexpr size_t kShown = 64;
    std::string out = "'";
    for (size_t i = 0; i < text.size() && i < kShown; ++i)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f)
            out += static_cast<char>(c);
        else
        {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + (text.size() > kShown ? "'..." : "'");
}

bool Fail(HostsProblem* problem, int line, std::string text)
{
    problem->line = line;
    problem->text = std::move(text);
    return false;
}

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
} // namespace

bool IsValidHostName(std::string_view name)
{
    if (name.empty() || name.size() > 253)
        return false;
    for (size_t start = 0;;)
    {
        const size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
                return false;
        if (dot == std::string_view::npos)
            return true;
        start = dot + 1;
    }
}

bool ParseHostsText(std::string_view text, bool everyRole, std::vector<HostLine>* hosts,
                    HostsProblem* problem)
{
    const std::vector<std::string>& roles = CatalogueRoles();
    std::vector<HostLine> found;
    int number = 0;
    for (size_t at = 0; at < text.size();)
    {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        if (std::any_of(line.begin(), line.end(), [](char c) {
                return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
            }))
            return Fail(problem, number, "cannot read the line: it holds a control character");
        std::vector<std::string_view> fields;
        for (size_t i = first; i < line.size();)
        {
            size_t stop = i;
            while (stop < line.size() && !IsBlank(line[stop]))
                ++stop;
            fields.push_back(line.substr(i, stop - i));
            while (stop < line.size() && IsBlank(line[stop]))
                ++stop;
            i = stop;
        }
        if (fields.size() != 2)
            return Fail(problem, number, "cannot read the line: a role and one host name are expected");
        const std::string role(fields[0]);
        if (std::find(roles.begin(), roles.end(), role) == roles.end())
            return Fail(problem, number, "unknown role " + Quoted(role));
        const auto earlier =
            std::find_if(found.begin(), found.end(), [&](const HostLine& h) { return h.role == role; });
        if (earlier != found.end())
            return Fail(problem, number,
                        "role " + Quoted(role) + " given twice (first on line " +
                            std::to_string(earlier->line) + ")");
        if (!IsValidHostName(fields[1]))
            return Fail(problem, number, Quoted(fields[1]) + " is not a valid host name");
        found.push_back({role, std::string(fields[1]), number});
    }
    if (everyRole)
        for (const std::string& role : roles)
            if (std::none_of(found.begin(), found.end(), [&](const HostLine& h) { return h.role == role; }))
                return Fail(problem, 0, "no host for role " + Quoted(role));
    *hosts = std::move(found);
    return true;
}

HostsFileState ReadHostsFile(const std::string& path, std::vector<HostLine>* hosts, HostsProblem* problem)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
    if (!file)
    {
        const int error = errno;
        Fail(problem, 0, std::string("cannot be read: ") + std::strerror(error));
        return error == ENOENT ? HostsFileState::Absent : HostsFileState::Faulty;
    }
    std::string text(kMaxHostsFileBytes + 1, '\0');
    const size_t size = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get()))
    {
        Fail(problem, 0, std::string("cannot be read: ") + std::strerror(errno));
        return HostsFileState::Faulty;
    }
    if (size > kMaxHostsFileBytes)
    {
        Fail(problem, 0, "larger than " + std::to_string(kMaxHostsFileBytes) + " bytes: not a hosts list");
        return HostsFileState::Faulty;
    }
    text.resize(size);
    return ParseHostsText(text, false, hosts, problem) ? HostsFileState::Read : HostsFileState::Faulty;
}

std::string HostsProblemText(const std::string& path, const HostsProblem& problem)
{
    return path + (problem.line > 0 ? ":" + std::to_string(problem.line) : std::string()) + ": " +
           problem.text;
}
