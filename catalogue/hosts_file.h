// A hosts list: the host name of each catalogue role. One role a line: the
// role's key, blanks, the DNS name; blank lines and lines whose first
// non-blank character is '#' are comments. The built-in list is compiled in
// from one; a site's file overlays it at run time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct HostLine
{
    std::string role;
    std::string host;
    int line = 0;
};

// What is wrong with a list: its line (0 for the file as a whole) and one
// line of text, with anything unprintable from the file shown as \xNN.
struct HostsProblem
{
    int line = 0;
    std::string text;
};

// A site's file is a short list; anything larger is not one.
constexpr size_t kMaxHostsFileBytes = 64 * 1024;

// Letters, digits and hyphens in dot-separated labels of 1 to 63 characters
// that neither start nor end with a hyphen; 253 characters at most.
bool IsValidHostName(std::string_view name);

// Takes the whole list or nothing: the first fault found ends the parse.
// With everyRole the list must name every role of the catalogue.
bool ParseHostsText(std::string_view text, bool everyRole, std::vector<HostLine>* hosts,
                    HostsProblem* problem);

enum class HostsFileState
{
    Absent, // no file by that name (the problem says so, for a file that must be there)
    Read,
    Faulty // not read, or not a sound list: see the problem
};
HostsFileState ReadHostsFile(const std::string& path, std::vector<HostLine>* hosts, HostsProblem* problem);

// "FILE:LINE: problem", or "FILE: problem" for the file as a whole.
std::string HostsProblemText(const std::string& path, const HostsProblem& problem);
