// Reads the node exporter's textfile format as strictly as the exporter:
// every line a comment or `name{labels} value`, each family's samples
// together after its HELP and TYPE, label values UTF-8. Failures are
// reported to the running test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

namespace testing_support
{
// UTF-8 as the exporter's parser takes it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
inline bool ValidUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();)
    {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char c = byte(i);
        const size_t length = c < 0x80                 ? 1
                              : c >= 0xC2 && c <= 0xDF ? 2
                              : c >= 0xE0 && c <= 0xEF ? 3
                              : c >= 0xF0 && c <= 0xF4 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((byte(i + k) & 0xC0) != 0x80)
                return false;
        const unsigned char second = length > 1 ? byte(i + 1) : 0x80;
        if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
            (c == 0xF4 && second > 0x8F))
            return false;
        i += length;
    }
    return true;
}

// The samples by metric name: (labels as written, value).
inline std::multimap<std::string, std::pair<std::string, double>> ParsePrometheus(const std::string& text)
{
    static const std::regex comment(R"(^# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) .+$)");
    static const std::regex sample(
        R"re(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")*)\})? (-?[0-9.e+-]+|NaN)$)re");
    std::multimap<std::string, std::pair<std::string, double>> samples;
    std::set<std::string> closed;
    std::string current;
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    size_t start = 0;
    for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1)
    {
        const std::string line = text.substr(start, at - start);
        std::smatch m;
        if (std::regex_match(line, m, comment))
        {
            if (m[2] != current)
            {
                EXPECT_EQ(closed.count(m[2]), 0u) << "family split: " << line;
                if (!current.empty())
                    closed.insert(current);
                current = m[2];
            }
            continue;
        }
        if (!std::regex_match(line, m, sample))
        {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        // A summary's or histogram's samples carry their part after the family's name.
        const std::string part = m[1].str().substr(std::min(current.size(), m[1].str().size()));
        EXPECT_TRUE(m[1].str().rfind(current, 0) == 0 &&
                    (part.empty() || part == "_sum" || part == "_count" || part == "_bucket"))
            << "sample outside its family: " << line;
        EXPECT_TRUE(ValidUtf8(m[3])) << "labels that are not UTF-8: " << line;
        samples.emplace(m[1], std::make_pair(std::string(m[3]), std::stod(m[7])));
    }
    EXPECT_EQ(start, text.size());
    return samples;
}

// What Debian's promtool (package prometheus) finds wrong with a textfile:
// its grammar and the naming conventions. Empty when it finds nothing.
inline std::string PromtoolProblems(const std::string& text)
{
    char name[] = "/tmp/kvpromtoolXXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "cannot write a file for promtool";
    ::close(fd);
    std::string output;
    FILE* pipe = ::popen(("promtool check metrics < " + std::string(name) + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    ::unlink(name);
    if (status == 0)
        return std::string();
    return "promtool check metrics (status " + std::to_string(status) +
           "; scripts/bootstrap.sh installs it): " + output;
}
} // namespace testing_support
