#include "gateway_dlg.h"

#include "dialog_template.h"
#include "kestavane_dlg.h"
#include "rtf_reader.h"

#include <QFile>
#include <QPushButton>
#include <QTextEdit>

namespace
{
// Larger pages are not gateway tables; reading stops there.
constexpr qint64 kMaxPageBytes = 16 * 1024 * 1024;
}

CSourceAndPortInfoDlg::CSourceAndPortInfoDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = GatewayAccessDialogTemplate();
    setWindowTitle(QString::fromUtf8(t.title));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogBaseUnits units = BaseUnitsOf(font());
    for (const ControlTemplate& c : t.controls)
    {
        QWidget* widget;
        if (c.kind == ControlKind::RichEdit)
        {
            m_page = new QTextEdit(this);
            m_page->setReadOnly(true);
            m_page->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            m_page->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            m_page->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            m_page->setLineWrapMode(QTextEdit::NoWrap);
            widget = m_page;
        }
        else
        {
            auto* button = new QPushButton(QString::fromUtf8(c.caption), this);
            button->setFlat(true);
            button->setDefault(c.kind == ControlKind::DefaultButton);
            button->setAutoDefault(false);
            connect(button, &QPushButton::clicked, this, c.id == 1 ? &QDialog::accept : &QDialog::reject);
            widget = button;
        }
        widget->setGeometry(units.X(c.x), units.Y(c.y), units.X(c.width), units.Y(c.height));
        widget->setObjectName(QString::number(c.id));
    }
    setFixedSize(units.X(t.width), units.Y(t.height));

    // Read afresh on every opening, by its bare name: the current folder's.
    QFile file(QStringLiteral("Kestavane.rtf"));
    if (file.open(QIODevice::ReadOnly))
    {
        const QByteArray bytes = file.read(kMaxPageBytes); // a read error ends the page with what was read
        file.close();
        m_page->setHtml(QString::fromStdString(RtfToHtml(std::string_view(bytes.constData(), bytes.size()))));
    }
}
