// History owner of the command-line front end: its "control" is the terminal.
// Each new line is printed as soon as it is written, CR LF as LF, and flushed
// so a slow target shows its progress. A null stream takes the lines and
// shows none (--quiet).
#pragma once

#include "history.h"

#include <cstdio>

class CConsoleHistoryOwner : public CHistoryOwner
{
public:
    explicit CConsoleHistoryOwner(FILE* out = stdout) : m_out(out) {}

    bool HistoryIsWindow() const override { return true; }
    void HistorySetText(const std::string& text, size_t unchanged) override;
    size_t HistoryGetTextLength() const override { return m_length; }
    int HistoryGetLineCount() const override { return m_lines; }
    void HistoryLineScroll(int /*lines*/) override {}
    int MessageBox(const std::string& text, unsigned type) override;

private:
    void Print(const char* data, size_t size);

    FILE* m_out;
    size_t m_length = 0;
    int m_lines = 1;
};
