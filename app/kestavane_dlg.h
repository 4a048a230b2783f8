// The main window: every control of the template, the live history control
// behind AddToHistory, and the one routing table of its buttons.
#pragma once

#include "catalogue.h"
#include "dialog_builder.h"
#include "history.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

class QPlainTextEdit;
class QScreen;
class QScrollArea;

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

    // Tests set how much the control takes and how boxes are answered.
    size_t m_controlLimit = static_cast<size_t>(-1);
    std::function<int(const std::string&, unsigned)> m_boxAnswer;

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

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The whole template where the screen's available area allows, else as
    // much of it as fits, with scroll bars.
    void FitToScreen(const QScreen* screen);
    void ShowContextMenu(const QPoint& at);

    QScrollArea* m_scroll = nullptr;
    QWidget* m_surface = nullptr;
    std::unique_ptr<CTemplateControls> m_controls;
    QPlainTextEdit* m_history = nullptr;
    size_t m_controlLength = 0; // characters of the history text the control holds
    CatalogueRef m_catalogue = CCatalogue::BuiltIn();
};
