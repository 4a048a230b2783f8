#include "gateway_dlg.h"

#include "catalogue.h"
#include "dialog_builder.h"
#include "rtf_reader.h"

#include <QFile>
#include <QPushButton>
#include <QTextEdit>

namespace
{
// Larger pages are not gateway tables; reading stops there.
constexpr qint64 kMaxPageBytes = 16 * 1024 * 1024;

bool ReadPage(const QString& path, QByteArray* bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.read(kMaxPageBytes); // a read error ends the page with what was read
    return true;
}
} // namespace

CSourceAndPortInfoDlg::CSourceAndPortInfoDlg(QWidget* parent, const CCatalogue& catalogue,
                                             const std::string& sitePage)
    : QDialog(parent)
{
    const DialogTemplate& t = GatewayAccessDialogTemplate();
    SetUpDialog(this, t, {});
    m_controls = std::make_unique<CTemplateControls>(this, t);
    m_page = m_controls->Get<QTextEdit>(IDC_GATEWAY_PAGE);
    connect(m_controls->Get<QPushButton>(IDC_OK), &QPushButton::clicked, this, &QDialog::accept);
    connect(m_controls->Get<QPushButton>(IDC_CANCEL), &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(m_controls->Size());

    // Read afresh on every opening: the current folder's page by its bare
    // name, else the site's; without either, the hosts this window tests.
    QByteArray bytes;
    if (!ReadPage(QStringLiteral("Kestavane.rtf"), &bytes) &&
        (sitePage.empty() || !ReadPage(QString::fromStdString(sitePage), &bytes)))
        bytes = QByteArray::fromStdString(GatewayPageRtf(catalogue));
    m_page->setHtml(QString::fromStdString(RtfToHtml(std::string_view(bytes.constData(), bytes.size()))));
}

CSourceAndPortInfoDlg::~CSourceAndPortInfoDlg() = default;
