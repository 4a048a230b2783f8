// The history: the program's one report, written line by line.
//
// CHistoryOwner holds the history text (the master copy) and asks its shell
// for the few things the system needs of a window: the history control, a
// Yes/No or OK box, the wait cursor, enabling and focusing the window and
// dispatching pending messages. The Qt dialog, the console front end and the
// tests' recording owner each derive from it.
#pragma once

#include "test_record.h"

#include <cstdint>
#include <string>

class CProxyRoute;
class CWaitClock;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

class CHistoryOwner
{
public:
    CHistoryOwner() = default;
    CHistoryOwner(const CHistoryOwner&) = delete;
    CHistoryOwner& operator=(const CHistoryOwner&) = delete;
    virtual ~CHistoryOwner() = default;

    // The history control, as AddToHistory sees it.
    virtual bool HistoryIsWindow() const = 0;
    // Replaces the control's text with `text`. Its first `unchanged`
    // characters are those of the text set last time, so a control may add
    // only what follows them instead of rewriting everything.
    virtual void HistorySetText(const std::string& text, size_t unchanged) = 0;
    virtual size_t HistoryGetTextLength() const = 0;
    virtual int HistoryGetLineCount() const = 0;
    virtual void HistoryLineScroll(int lines) = 0;

    // A modal box; returns IDYES, IDNO or IDOK.
    virtual int MessageBox(const std::string& text, unsigned type) = 0;

    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
    virtual void EnableWindow(bool /*enable*/) {}
    virtual void SetFocus() {}
    // Dispatches this thread's pending window messages.
    virtual void PumpMessages() {}

    const std::string& HistoryText() const { return m_history; }

    // The "Clear History" button.
    void ClearHistory();

    // Where the testers hand their records; none by default.
    CResultSink* ResultSink() const { return m_pResults; }
    void SetResultSink(CResultSink* sink) { m_pResults = sink; }

    // The clock that bounds the waits of this owner's testers; none: the
    // installed one (or the system's).
    CWaitClock* Clock() const { return m_pClock; }
    void SetClock(CWaitClock* clock) { m_pClock = clock; }
    // Which proxy the testers connect through, target by target; none by
    // default, so the window's presses connect directly.
    const CProxyRoute* ProxyRoute() const { return m_pRoute; }
    void SetProxyRoute(const CProxyRoute* route) { m_pRoute = route; }

private:
    friend void AddToHistory(CHistoryOwner* owner, const char* format, ...);
    // Hands the whole history to the control; `replaced` when it is not the
    // text set last time with entries added.
    void SetControlText(bool replaced);

    std::string m_history;
    size_t m_setLength = 0; // the history's length when last handed to the control
    CResultSink* m_pResults = nullptr;
    CWaitClock* m_pClock = nullptr;
    const CProxyRoute* m_pRoute = nullptr;
};

// Formats one entry printf-style and appends it with CR LF. Text assembled
// at run time is always an argument of "%s", never the format.
void AddToHistory(CHistoryOwner* owner, const char* format, ...) __attribute__((format(printf, 2, 3)));

extern const char* const kOpeningBanner;
extern const char* const kClosingBanner;
extern const char* const kPlainSeparator;
// n = 1, 2 or 3.
const char* NumberedSeparator(int n);

// Scoped frame of every test: opening banner now, closing banner on every
// way out.
class CTestFrame
{
public:
    explicit CTestFrame(CHistoryOwner* owner);
    ~CTestFrame();
    CTestFrame(const CTestFrame&) = delete;
    CTestFrame& operator=(const CTestFrame&) = delete;

private:
    CHistoryOwner* m_pOwner;
};

// Scoped wait cursor.
class CWaitCursor
{
public:
    explicit CWaitCursor(CHistoryOwner* owner) : m_pOwner(owner) { m_pOwner->BeginWaitCursor(); }
    ~CWaitCursor() { m_pOwner->EndWaitCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

private:
    CHistoryOwner* m_pOwner;
};
