// A history owner for tests: records everything and lets a test set how
// much its control takes and how its boxes are answered.
#pragma once

#include "history.h"

#include <deque>
#include <functional>
#include <limits>
#include <string>
#include <vector>

class CRecordingOwner : public CHistoryOwner
{
public:
    bool HistoryIsWindow() const override { return m_live; }
    void HistorySetText(const std::string& text, size_t unchanged) override
    {
        m_controlText = text.substr(0, std::min(text.size(), m_controlLimit));
        ++m_setTextCalls;
        m_unchanged.push_back(unchanged);
    }
    size_t HistoryGetTextLength() const override { return m_controlText.size(); }
    int HistoryGetLineCount() const override
    {
        int lines = 1;
        for (char c : m_controlText)
            lines += c == '\n';
        return lines;
    }
    void HistoryLineScroll(int lines) override { m_scrolls.push_back(lines); }
    int MessageBox(const std::string& text, unsigned type) override
    {
        m_boxes.push_back(text);
        m_boxTypes.push_back(type);
        if (m_answers.empty())
            return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
        const int answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    void BeginWaitCursor() override
    {
        ++m_waitDepth;
        ++m_waitBegins;
    }
    void EndWaitCursor() override { --m_waitDepth; }
    void EnableWindow(bool enable) override { m_enabled = enable; }
    void SetFocus() override { ++m_focusCalls; }
    void PumpMessages() override
    {
        ++m_pumps;
        if (m_onPump)
            m_onPump();
    }

    // The history text as lines, without their CR LF.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        const std::string& text = HistoryText();
        size_t start = 0;
        for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
            lines.push_back(text.substr(start, at - start));
        if (start < text.size())
            lines.push_back(text.substr(start));
        return lines;
    }

    bool m_live = true;
    size_t m_controlLimit = std::numeric_limits<size_t>::max();
    std::string m_controlText;
    int m_setTextCalls = 0;
    std::vector<size_t> m_unchanged; // what each HistorySetText was told is as before
    std::vector<int> m_scrolls;
    std::deque<int> m_answers;
    std::vector<std::string> m_boxes;
    std::vector<unsigned> m_boxTypes;
    int m_waitDepth = 0;
    int m_waitBegins = 0;
    bool m_enabled = true;
    int m_focusCalls = 0;
    int m_pumps = 0;
    std::function<void()> m_onPump;
};
