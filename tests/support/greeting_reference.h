// The greeting rule written the plain way, with nothing bounded: the whole
// pending text is kept, and a message's text is cut at its first NUL,
// upper-cased and searched. The tests and the greeting fuzz target hold the
// bounded reader to what this says on the same reads.
#pragma once

#include <cctype>
#include <cstring>
#include <string>

namespace testing_support
{

class GreetingReference
{
public:
    // One read; true when it ends a message that holds the word.
    bool Take(const std::string& read)
    {
        const size_t etx = read.find('\x03');
        if (etx == std::string::npos)
        {
            m_pending += read;
            return false;
        }
        std::string message = m_pending + read.substr(0, etx); // the rest of the read is dropped
        m_pending.clear();
        std::string text(message.c_str());
        for (char& c : text)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text.find("CONNECTED") != std::string::npos;
    }

    size_t Pending() const { return m_pending.size(); }

private:
    std::string m_pending;
};

} // namespace testing_support
