// The "Gateway Access" window (template 129): Kestavane.rtf from the current
// folder, shown read-only.
#pragma once

#include <QDialog>

class QTextEdit;

class CSourceAndPortInfoDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CSourceAndPortInfoDlg(QWidget* parent = nullptr);
    QTextEdit* Page() const { return m_page; }

private:
    QTextEdit* m_page = nullptr;
};
