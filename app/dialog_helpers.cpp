#include "dialog_helpers.h"

#include "history.h"

#include "../res/kestavane_16.xpm"
#include "../res/kestavane_32.xpm"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>

#include <cmath>

QIcon KestavaneIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(kestavane_16_xpm));
    icon.addPixmap(QPixmap(kestavane_32_xpm));
    return icon;
}

QString ApplicationName()
{
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return name.isEmpty() ? QStringLiteral("kestavane") : name;
}

QFont DialogFont(const DialogTemplate& t, const QStringList& faces)
{
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(t.pointSize);
    for (const QString& face : faces)
        if (QFontDatabase::hasFamily(face))
        {
            font.setFamily(face);
            return font;
        }
    // Base units of the template's face at this screen's logical DPI.
    const double dpi =
        QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->logicalDotsPerInchY() : 96;
    const int cx = static_cast<int>(6 * dpi / 96);
    const int cy = static_cast<int>(13 * dpi / 96);
    for (double points = t.pointSize; points > t.pointSize / 2.0; points -= 0.25)
    {
        font.setPointSizeF(points);
        const DialogBaseUnits units = BaseUnitsOf(font);
        if (units.cx <= cx && units.cy <= cy)
            break;
    }
    return font;
}

QFont DialogFont(const DialogTemplate& t)
{
    // Faces of the templates' metrics; Debian ships the Liberation one.
    return DialogFont(t, {QString::fromUtf8(t.fontFace), QStringLiteral("Microsoft Sans Serif"),
                          QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                          QStringLiteral("Nimbus Sans")});
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The cell height in whole pixels, rounded up: a line of text needs all of it.
    const int height = static_cast<int>(std::ceil(QFontMetricsF(font).height()));
    return DialogBaseUnits{(width / 26 + 1) / 2, height};
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const std::string& text, unsigned type)
{
    const bool question = (type & 0xF) == MB_YESNO;
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::NoIcon, ApplicationName(),
        QString::fromUtf8(text.c_str()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
        question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(question ? QMessageBox::Yes : QMessageBox::Ok);
    // Plain buttons, as the platform's boxes have, whatever the desktop's style gives them.
    for (QAbstractButton* button : box->buttons())
        button->setIcon(QIcon());
    return box;
}

int ShowMessageBox(QWidget* parent, const std::string& text, unsigned type)
{
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(parent, text, type);
    switch (box->exec())
    {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDOK;
    }
}
