#include "gateway_dlg.h"

#include "dialog_builder.h"
#include "rtf_reader.h"

#include <QFile>
#include <QPushButton>
#include <QTextEdit>

namespace
{
// Larger pages are not gateway tables; reading stops there.
constexpr qint64 kMaxPageBytes = 16 * 1024 * 1024;
} // namespace

CSourceAndPortInfoDlg::CSourceAndPortInfoDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = GatewayAccessDialogTemplate();
    SetUpDialog(this, t, {});
    m_controls = std::make_unique<CTemplateControls>(this, t);
    m_page = m_controls->Get<QTextEdit>(IDC_GATEWAY_PAGE);
    connect(m_controls->Get<QPushButton>(IDC_OK), &QPushButton::clicked, this, &QDialog::accept);
    connect(m_controls->Get<QPushButton>(IDC_CANCEL), &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(m_controls->Size());

    // Read afresh on every opening, by its bare name: the current folder's.
    QFile file(QStringLiteral("Kestavane.rtf"));
    if (file.open(QIODevice::ReadOnly))
    {
        const QByteArray bytes = file.read(kMaxPageBytes); // a read error ends the page with what was read
        file.close();
        m_page->setHtml(QString::fromStdString(RtfToHtml(std::string_view(bytes.constData(), bytes.size()))));
    }
}

CSourceAndPortInfoDlg::~CSourceAndPortInfoDlg() = default;
