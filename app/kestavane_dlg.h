// The main window: every control of the template, the live history control
// behind AddToHistory, and the button handlers.
#pragma once

#include "dialog_template.h"
#include "history.h"

#include <QDialog>
#include <QIcon>
#include <functional>
#include <map>

class QPlainTextEdit;
class QLineEdit;
class QPushButton;

QIcon KestavaneIcon();
// The application's name: the executable's file name, as message boxes are captioned.
QString ApplicationName();
DialogBaseUnits BaseUnitsOf(const QFont& font);

class CKestavaneDlg : public QDialog, public CHistoryOwner
{
    Q_OBJECT
public:
    explicit CKestavaneDlg(QWidget* parent = nullptr);

    // The history control, as AddToHistory sees it.
    bool HistoryIsWindow() const override;
    void HistorySetText(const std::string& text) override;
    size_t HistoryGetTextLength() const override { return m_controlLength; }
    int HistoryGetLineCount() const override;
    void HistoryLineScroll(int lines) override;
    int MessageBox(const std::string& text, unsigned type) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void EnableWindow(bool enable) override;
    void SetFocus() override;
    void PumpMessages() override;

    QWidget* Control(int id) const;
    QPlainTextEdit* HistoryControl() const { return m_history; }
    // Controls created in template order, with ids or without.
    const std::vector<QWidget*>& TemplateOrder() const { return m_order; }

    // Tests set how much the control takes and how boxes are answered.
    size_t m_controlLimit = static_cast<size_t>(-1);
    std::function<int(const std::string&, unsigned)> m_boxAnswer;

    // Handlers
    void OnProcessorButton(int id);
    void OnRunTest();
    void OnClearHistory();
    void OnNovaTest();
    void OnUrlAndPortInfo();
    void OnAbout();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildControls();

    QPlainTextEdit* m_history = nullptr;
    std::map<int, QWidget*> m_controls;
    std::vector<QWidget*> m_order;
    size_t m_controlLength = 0;   // characters of the history text the control holds
    uint64_t m_shownGeneration = 0;
};
