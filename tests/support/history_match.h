// Helpers for comparing history lines.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace testing_support
{
// The source line carries the kernel's choice of port; tests compare it as "N".
inline std::vector<std::string> WithSourcePortMasked(std::vector<std::string> lines)
{
    static const std::regex source("^(Source Address:127\\.0\\.0\\.1  Source Port\\(1024-5000\\):)[0-9]+ $");
    for (auto& line : lines)
        line = std::regex_replace(line, source, "$1N ");
    return lines;
}
} // namespace testing_support
