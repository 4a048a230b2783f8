// The "Gateway Access" window (template 129): Kestavane.rtf from the current
// folder, shown read-only.
#pragma once

#include <QDialog>
#include <memory>

class CTemplateControls;
class QTextEdit;

class CSourceAndPortInfoDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CSourceAndPortInfoDlg(QWidget* parent = nullptr);
    ~CSourceAndPortInfoDlg() override;
    QTextEdit* Page() const { return m_page; }
    const CTemplateControls& Controls() const { return *m_controls; }

private:
    std::unique_ptr<CTemplateControls> m_controls;
    QTextEdit* m_page = nullptr;
};
