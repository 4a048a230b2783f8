#include "console_owner.h"

#include <algorithm>

namespace
{
// CR LF as LF, as a terminal and a pipe expect.
std::string WithLfEnds(const char* data, size_t size)
{
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i)
    {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        out += data[i];
    }
    return out;
}
} // namespace

void CConsoleHistoryOwner::Print(const char* data, size_t size)
{
    const std::string out = WithLfEnds(data, size);
    if (m_out != nullptr)
    {
        std::fwrite(out.data(), 1, out.size(), m_out);
        std::fflush(m_out);
    }
    m_lines += static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

void CConsoleHistoryOwner::HistorySetText(const std::string& text, size_t unchanged)
{
    // Printed lines cannot be taken back: a history that starts over is
    // printed from its start below them.
    if (m_length > unchanged)
    {
        m_length = 0;
        m_lines = 1;
    }
    Print(text.data() + m_length, text.size() - m_length);
    m_length = text.size();
}

int CConsoleHistoryOwner::MessageBox(const std::string& text, unsigned type)
{
    const std::string line = "[MESSAGE BOX] " + WithLfEnds(text.data(), text.size()) + "\n";
    if (m_out != nullptr)
    {
        std::fwrite(line.data(), 1, line.size(), m_out);
        std::fflush(m_out);
    }
    // Nobody can answer a question here; No keeps everything.
    return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
}
