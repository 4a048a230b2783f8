// Reads the node exporter's textfile format as strictly as the exporter:
// every line a comment or `name{labels} value`, each family's samples
// together after its HELP and TYPE. Failures are reported to the running test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

namespace testing_support
{
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
        EXPECT_EQ(m[1], current) << "sample outside its family: " << line;
        samples.emplace(m[1], std::make_pair(std::string(m[3]), std::stod(m[7])));
    }
    EXPECT_EQ(start, text.size());
    return samples;
}
} // namespace testing_support
