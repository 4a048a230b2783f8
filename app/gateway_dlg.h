// The "Gateway Access" window (template 129): Kestavane.rtf from the current
// folder, else the site's own page, else the page of the catalogue in
// effect, shown read-only.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

class CCatalogue;
class CTemplateControls;
class QTextEdit;

class CSourceAndPortInfoDlg : public QDialog
{
    Q_OBJECT
public:
    // sitePage: the site's own page, taken when the start folder has none.
    CSourceAndPortInfoDlg(QWidget* parent, const CCatalogue& catalogue, const std::string& sitePage);
    ~CSourceAndPortInfoDlg() override;
    QTextEdit* Page() const { return m_page; }
    const CTemplateControls& Controls() const { return *m_controls; }

private:
    std::unique_ptr<CTemplateControls> m_controls;
    QTextEdit* m_page = nullptr;
};
