#include "greeting_reader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
} // namespace

bool CGreetingReader::Take(const char* data, size_t size)
{
    if (data == nullptr || size == 0)
        return false;
    const auto* end = static_cast<const char*>(std::memchr(data, kTerminator, size));
    const size_t body = end ? static_cast<size_t>(end - data) : size;
    if (!m_seen && !m_cut)
    {
        const auto* nul = static_cast<const char*>(std::memchr(data, '\0', body));
        Scan(data, nul ? static_cast<size_t>(nul - data) : body);
        m_cut = nul != nullptr;
    }
    if (end == nullptr)
        return false;
    const bool greets = m_seen;
    *this = CGreetingReader();
    return greets;
}

// Looks for the word in the kept tail followed by these bytes, then keeps
// the last bytes of the two as the new tail.
void CGreetingReader::Scan(const char* data, size_t size)
{
    const auto at = [&](size_t i) { return i < m_tailSize ? m_tail[i] : data[i - m_tailSize]; };
    const size_t total = m_tailSize + size;
    for (size_t start = 0; !m_seen && start + kWord.size() <= total; ++start)
    {
        size_t matched = 0;
        while (matched < kWord.size() && Upper(at(start + matched)) == kWord[matched])
            ++matched;
        m_seen = matched == kWord.size();
    }
    char tail[kTailBytes];
    const size_t keep = std::min(total, kTailBytes);
    for (size_t i = 0; i < keep; ++i)
        tail[i] = at(total - keep + i);
    std::memcpy(m_tail, tail, keep);
    m_tailSize = keep;
}
