#include "about_dlg.h"

#include "dialog_builder.h"

#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = AboutDialogTemplate();
    SetUpDialog(this, t, {});
    m_controls = std::make_unique<CTemplateControls>(this, t);
    connect(m_controls->Get<QPushButton>(IDC_OK), &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(m_controls->Size());
}

CAboutDlg::~CAboutDlg() = default;
