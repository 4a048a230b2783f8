#include "history.h"

#include <cstdarg>
#include <cstdio>

const char* const kOpeningBanner = "\r\n********************      TEST STARTS        ********************";
const char* const kClosingBanner = "********************       TEST ENDS         ********************";
const char* const kPlainSeparator = "***************  -----------------  ******************";

namespace
{
const char* const kNumberedSeparators[] = {
    "***************  ---------<1>---------  ******************",
    "***************  ---------<2>---------  ******************",
    "***************  ---------<3>---------  ******************",
};

// The callers' formats are checked at their call sites (AddToHistory's attribute).
__attribute__((format(printf, 1, 0))) std::string FormatV(const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}
} // namespace

const char* NumberedSeparator(int n)
{
    return (n >= 1 && n <= 3) ? kNumberedSeparators[n - 1] : kPlainSeparator;
}

void CHistoryOwner::SetControlText(bool replaced)
{
    if (replaced)
        m_setLength = 0;
    HistorySetText(m_history, m_setLength);
    m_setLength = m_history.size();
}

void CHistoryOwner::ClearHistory()
{
    m_history.clear();
    m_setLength = 0;
    if (HistoryIsWindow())
        SetControlText(true);
}

void AddToHistory(CHistoryOwner* owner, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line = format ? FormatV(format, args) : std::string();
    va_end(args);
    line += "\r\n";

    std::string& history = owner->m_history;
    history += line;
    if (!owner->HistoryIsWindow())
        return;

    owner->SetControlText(false);
    if (owner->HistoryGetTextLength() < history.size())
    {
        if (owner->MessageBox("There is insufficient space in the history window ... Clear it first?",
                              MB_YESNO) == IDYES)
        {
            history = line;
            owner->SetControlText(true);
        }
    }
    owner->HistoryLineScroll(owner->HistoryGetLineCount());
}

CTestFrame::CTestFrame(CHistoryOwner* owner) : m_pOwner(owner)
{
    AddToHistory(m_pOwner, "%s", kOpeningBanner);
}

CTestFrame::~CTestFrame() { AddToHistory(m_pOwner, "%s", kClosingBanner); }
