// The main window: every control of the template, the live history control
// behind AddToHistory, and the one routing table of its buttons.
//
// A press (a test or a report) runs on a worker thread while this thread
// keeps turning the window's event loop: the window repaints and shows each
// history line as it is written, and input for the dialog is dropped until
// the press returns, so a press still cannot re-enter itself. The owner's
// operations a press calls run here, one at a time, while the press waits
// for them. Closing the window cancels the press.
//
// Each test press keeps its history lines and records, so "Save report…"
// can hand the help desk every press made since the window opened.
#pragma once

#include "catalogue.h"
#include "dialog_builder.h"
#include "history.h"
#include "report.h"

#include <QDialog>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

class QPlainTextEdit;
class QScreen;
class QScrollArea;
struct PressContext;

class CKestavaneDlg : public QDialog, public CHistoryOwner
{
    Q_OBJECT
public:
    explicit CKestavaneDlg(QWidget* parent = nullptr);
    ~CKestavaneDlg() override;

    // The history control, as AddToHistory sees it.
    bool HistoryIsWindow() const override;
    void HistorySetText(const std::string& text, size_t unchanged) override;
    size_t HistoryGetTextLength() const override { return m_controlLength; }
    int HistoryGetLineCount() const override;
    void HistoryLineScroll(int lines) override;
    int MessageBox(const std::string& text, unsigned type) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void EnableWindow(bool enable) override;
    void SetFocus() override;
    void PumpMessages() override;

    QWidget* Control(int id) const { return m_controls->Control(id); }
    QPlainTextEdit* HistoryControl() const { return m_history; }
    // Controls created in template order, with ids or without.
    const std::vector<QWidget*>& TemplateOrder() const { return m_controls->Order(); }
    // Holds the controls at their template size; scrolls on a screen too small for them.
    QScrollArea* ScrollArea() const { return m_scroll; }

    // What each button runs: one entry per button id of the template.
    struct Route
    {
        int id;
        void (*handler)(CKestavaneDlg& dialog, int id);
    };
    static const std::vector<Route>& Routes();

    // The catalogue in effect: what the processor buttons test and the
    // gateway page lists.
    void SetCatalogue(CatalogueRef catalogue) { m_catalogue = std::move(catalogue); }
    const CatalogueRef& Catalogue() const { return m_catalogue; }
    // True from a press's start until it has returned.
    bool PressRunning() const { return m_pPress != nullptr; }

    // Tests set how much the control takes and how boxes are answered.
    size_t m_controlLimit = static_cast<size_t>(-1);
    std::function<int(const std::string&, unsigned)> m_boxAnswer;
    // Called once when a press cancelled by the close box has not returned
    // within a grace period (only a call outside its waits, such as a host
    // lookup, can hold it). The application ends the program there; without
    // it the window waits for the press.
    std::function<void()> m_onPressStuck;
    // Asks where "Save report…" writes, the suggested path given; an empty
    // answer saves nothing. None: the file dialog.
    std::function<QString(const QString&)> m_chooseReportFile;

    // The test presses made since the window opened, oldest first.
    const std::vector<ReportPress>& MadePresses() const { return m_madePresses; }

    // Handlers
    void OnProcessorButton(int id);
    void OnRunTest();
    void OnClearHistory();
    void OnNovaTest();
    void OnUrlAndPortInfo();
    void OnThisPc();
    void OnCheckDns();
    void OnCheckDhcp();
    void OnAbout();
    void OnSaveReport();
    void OnCopyHistory();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The whole template where the screen's available area allows, else as
    // much of it as fits, with scroll bars.
    void FitToScreen(const QScreen* screen);
    // The window's menu at a point of the screen.
    void ShowContextMenu(const QPoint& globalAt);

    // The control's side of HistorySetText.
    void SetControlText(const std::string& text, size_t unchanged);
    // Runs `work` on a worker thread and turns the event loop until it returns.
    // A test press passes `kept` (button and caption; `work` sets passed),
    // which gets the press's lines and records and is kept for the report.
    void RunPress(const std::function<void(const PressContext&)>& work, ReportPress* kept = nullptr);
    // Runs `call` on the window's thread, from a press's thread too, and
    // returns when it has run.
    template <typename Call> void OnWindowThread(Call&& call) const;

    QScrollArea* m_scroll = nullptr;
    QWidget* m_surface = nullptr;
    std::unique_ptr<CTemplateControls> m_controls;
    QPlainTextEdit* m_history = nullptr;
    size_t m_controlLength = 0; // characters of the history text the control holds
    CatalogueRef m_catalogue = CCatalogue::BuiltIn();

    const PressContext* m_pPress = nullptr; // the press running, if any
    QPointer<QWidget> m_pressFocus;         // what had the focus when it started
    size_t m_pressFrom = 0;                 // where the press's lines start in the history
    std::vector<ReportPress> m_madePresses;
};
