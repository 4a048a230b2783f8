// The About box (template 100).
#pragma once

#include <QDialog>
#include <memory>

class CTemplateControls;

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;
    const CTemplateControls& Controls() const { return *m_controls; }

private:
    std::unique_ptr<CTemplateControls> m_controls;
};
