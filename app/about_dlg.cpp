#include "about_dlg.h"

#include "dialog_template.h"
#include "kestavane_dlg.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = AboutDialogTemplate();
    setWindowTitle(QString::fromUtf8(t.title));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogBaseUnits units = BaseUnitsOf(font());
    for (const ControlTemplate& c : t.controls)
    {
        QWidget* widget = nullptr;
        if (c.kind == ControlKind::Icon)
        {
            auto* icon = new QLabel(this);
            icon->setPixmap(KestavaneIcon().pixmap(32, 32));
            widget = icon;
        }
        else if (c.kind == ControlKind::Label)
        {
            auto* label = new QLabel(QString::fromUtf8(c.caption), this);
            label->setTextFormat(Qt::PlainText); // no prefix processing
            widget = label;
        }
        else
        {
            auto* ok = new QPushButton(QString::fromUtf8(c.caption), this);
            ok->setDefault(true);
            connect(ok, &QPushButton::clicked, this, &QDialog::accept);
            widget = ok;
        }
        widget->setGeometry(units.X(c.x), units.Y(c.y), units.X(c.width), units.Y(c.height));
        if (c.id >= 0)
            widget->setObjectName(QString::number(c.id));
    }
    setFixedSize(units.X(t.width), units.Y(t.height));
}
