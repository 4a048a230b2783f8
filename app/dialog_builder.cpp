#include "dialog_builder.h"

#include "dialog_helpers.h"

#include <QDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextEdit>

namespace
{
// The page takes Enter itself, as a rich edit control with want-return
// does: Enter in the page never reaches the window's default button.
class CPageControl : public QTextEdit
{
public:
    using QTextEdit::QTextEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        {
            event->accept();
            return;
        }
        QTextEdit::keyPressEvent(event);
    }
};

// "\r" breaks a caption; Qt shows "&&" as one ampersand, as the template means.
QString Caption(const char* text)
{
    return QString::fromUtf8(text).replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

// Multi-line buttons wrap their words to the width they draw their caption
// in, as the platform's multi-line buttons do.
QString Wrapped(const QString& caption, const QFontMetrics& metrics, int width)
{
    QStringList lines;
    for (const QString& given : caption.split(QLatin1Char('\n')))
    {
        QString line;
        for (const QString& word : given.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        {
            const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
            QString shown = candidate;
            shown.replace(QStringLiteral("&&"), QStringLiteral("&"));
            if (!line.isEmpty() && metrics.horizontalAdvance(shown) > width)
            {
                lines << line;
                line = word;
            }
            else
                line = candidate;
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

// Where the button's style draws its caption.
int CaptionWidth(QPushButton* button, const QSize& size)
{
    button->ensurePolished();
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = QRect(QPoint(0, 0), size);
    option.features = button->isFlat() ? QStyleOptionButton::Flat : QStyleOptionButton::None;
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

// A control of the template in the dialog font. The font is the control's
// own: under a style sheet Qt passes no font from a scroll area's page on.
QWidget* Create(const ControlTemplate& c, QWidget* surface, const QSize& size, const QFont& font)
{
    const auto made = [&font](QWidget* widget) {
        widget->setFont(font);
        return widget;
    };
    switch (c.kind)
    {
    case ControlKind::FlatButton:
    case ControlKind::FlatDefaultButton:
    case ControlKind::DefaultButton:
    {
        auto* button = static_cast<QPushButton*>(made(new QPushButton(surface)));
        button->setFlat(c.kind != ControlKind::DefaultButton);
        // A focused button takes Enter itself; the default one takes it otherwise.
        button->setAutoDefault(true);
        button->setDefault(c.kind != ControlKind::FlatButton);
        button->setText(c.kind == ControlKind::FlatButton
                            ? Wrapped(Caption(c.caption), button->fontMetrics(), CaptionWidth(button, size))
                            : Caption(c.caption));
        return button;
    }
    case ControlKind::History:
    {
        auto* history = new QPlainTextEdit(surface);
        history->setReadOnly(true);
        history->setLineWrapMode(QPlainTextEdit::NoWrap);
        history->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        history->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // Fixed pitch, so the padded columns of the reports line up.
        history->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        history->setUndoRedoEnabled(false);
        return history;
    }
    case ControlKind::RichEdit:
    {
        auto* page = static_cast<CPageControl*>(made(new CPageControl(surface)));
        page->setReadOnly(true);
        page->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        page->setLineWrapMode(QTextEdit::WidgetWidth);
        page->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        return page;
    }
    case ControlKind::Edit: return made(new QLineEdit(surface));
    case ControlKind::Label:
    {
        auto* label = static_cast<QLabel*>(made(new QLabel(QString::fromUtf8(c.caption), surface)));
        label->setTextFormat(Qt::PlainText); // no prefix processing
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::GroupBox:
    {
        auto* group = static_cast<QGroupBox*>(made(new QGroupBox(QString::fromUtf8(c.caption), surface)));
        group->setFocusPolicy(Qt::NoFocus);
        return group;
    }
    case ControlKind::Icon:
    {
        auto* icon = new QLabel(surface);
        icon->setPixmap(KestavaneIcon().pixmap(32, 32));
        icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return icon;
    }
    }
    return nullptr;
}
} // namespace

void SetUpDialog(QDialog* dialog, const DialogTemplate& t, Qt::WindowFlags flags)
{
    dialog->setWindowTitle(QString::fromUtf8(t.title));
    dialog->setWindowIcon(KestavaneIcon());
    dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | flags);
    dialog->setFont(DialogFont(t));
    const DialogBaseUnits units = BaseUnitsOf(dialog->font());
    // The platform's flat buttons keep a thin frame where Qt's draw none, and
    // its group boxes draw their title inside their rectangle, centred on the
    // top edge of the frame.
    dialog->setStyleSheet(
        QStringLiteral("QPushButton[flat=\"true\"] { border: 1px solid palette(dark); padding: 0px "
                       "2px; background: palette(button); }"
                       "QPushButton[flat=\"true\"]:default { border-color: palette(shadow); }"
                       "QPushButton[flat=\"true\"]:focus { border-color: palette(highlight); }"
                       "QPushButton[flat=\"true\"]:pressed { background: palette(midlight); }"
                       "QPushButton[flat=\"true\"]:disabled { border-color: palette(midlight); }"
                       "QPlainTextEdit { border: 1px solid palette(mid); padding: 1px; }"
                       "QPlainTextEdit:focus { border: 2px solid palette(highlight); padding: 0px; }"
                       "QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
                       "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; "
                       "left: %2px; padding: 0px 1px; }")
            .arg(units.cy / 2)
            .arg(units.X(4)));
}

CTemplateControls::CTemplateControls(QWidget* surface, const DialogTemplate& t)
{
    const DialogBaseUnits units = BaseUnitsOf(surface->font());
    m_size = QSize(units.X(t.width), units.Y(t.height));
    QWidget* previous = nullptr;
    for (const ControlTemplate& c : t.controls)
    {
        const QRect rect(units.X(c.x), units.Y(c.y), units.X(c.width), units.Y(c.height));
        QWidget* widget = Create(c, surface, rect.size(), surface->font());
        widget->setGeometry(rect);
        if (c.kind == ControlKind::Icon)
            widget->resize(32, 32); // the icon's own size, as the platform sizes an icon control
        if (c.kind == ControlKind::GroupBox)
            widget->lower(); // a frame behind the controls it holds
        if (c.id != IDC_NONE)
        {
            widget->setObjectName(QString::number(c.id));
            m_byId[c.id] = widget;
        }
        m_order.push_back(widget);
        if (widget->focusPolicy() != Qt::NoFocus)
        {
            if (previous)
                QWidget::setTabOrder(previous, widget);
            previous = widget;
        }
    }
}

QWidget* CTemplateControls::Control(int id) const
{
    const auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}
