#include "kestavane_dlg.h"

#include "about_dlg.h"
#include "catalogue.h"
#include "gateway_dlg.h"
#include "ip_helper.h"
#include "nova_api.h"

#include "../res/kestavane_16.xpm"
#include "../res/kestavane_32.xpm"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

QIcon KestavaneIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(kestavane_16_xpm));
    icon.addPixmap(QPixmap(kestavane_32_xpm));
    return icon;
}

QString ApplicationName()
{
    const QString path = QCoreApplication::applicationFilePath();
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? QStringLiteral("kestavane") : name;
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(width / 26 + 1) / 2, metrics.height()};
}

namespace
{
// "\r" breaks a caption; Qt shows "&&" as one ampersand, as the template means.
QString Caption(const char* text) { return QString::fromUtf8(text).replace(QLatin1Char('\r'), QLatin1Char('\n')); }

// Multi-line buttons wrap their words to the button's width, as the
// platform's multi-line buttons do.
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

// The platform's flat buttons keep a thin frame; Qt's flat ones draw none.
const char* const kFlatButtonStyle = "QPushButton[flat=\"true\"] { border: 1px solid palette(mid); padding: 1px; }"
                                     "QPushButton[flat=\"true\"]:pressed { background: palette(midlight); }"
                                     "QPushButton[flat=\"true\"]:disabled { border-color: palette(midlight); }";
} // namespace

CKestavaneDlg::CKestavaneDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = MainDialogTemplate();
    setWindowTitle(QString::fromUtf8(t.title));
    setWindowIcon(KestavaneIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    setStyleSheet(QString::fromLatin1(kFlatButtonStyle));
    BuildControls();
    const DialogBaseUnits units = BaseUnitsOf(font());
    setFixedSize(units.X(t.width), units.Y(t.height));
}

void CKestavaneDlg::BuildControls()
{
    const DialogBaseUnits units = BaseUnitsOf(font());
    QWidget* previous = nullptr;
    for (const ControlTemplate& c : MainDialogTemplate().controls)
    {
        QWidget* widget = nullptr;
        switch (c.kind)
        {
        case ControlKind::History:
        {
            m_history = new QPlainTextEdit(this);
            m_history->setReadOnly(true);
            m_history->setLineWrapMode(QPlainTextEdit::NoWrap);
            m_history->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            m_history->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            m_history->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            m_history->setUndoRedoEnabled(false);
            widget = m_history;
            break;
        }
        case ControlKind::Button:
        case ControlKind::DefaultButton:
        {
            auto* button = new QPushButton(this);
            button->setText(c.kind == ControlKind::Button
                                ? Wrapped(Caption(c.caption), button->fontMetrics(), units.X(c.width) - 6)
                                : Caption(c.caption));
            button->setFlat(c.kind == ControlKind::Button);
            button->setAutoDefault(false);
            button->setDefault(c.kind == ControlKind::DefaultButton);
            widget = button;
            const int id = c.id;
            if (id == 1)
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
            else if (FindProcessorEntry(id))
                connect(button, &QPushButton::clicked, this, [this, id] { OnProcessorButton(id); });
            else if (id == 1024)
                connect(button, &QPushButton::clicked, this, &CKestavaneDlg::OnRunTest);
            else if (id == 1018)
                connect(button, &QPushButton::clicked, this, &CKestavaneDlg::OnClearHistory);
            else if (id == 1010)
                connect(button, &QPushButton::clicked, this, &CKestavaneDlg::OnNovaTest);
            else if (id == 1021)
                connect(button, &QPushButton::clicked, this, &CKestavaneDlg::OnUrlAndPortInfo);
            else if (id == 1002)
                connect(button, &QPushButton::clicked, this, [this] { RunThisPc(this); });
            else if (id == 1019)
                connect(button, &QPushButton::clicked, this, [this] { RunCheckDns(this); });
            else if (id == 1020)
                connect(button, &QPushButton::clicked, this, [this] { RunCheckDhcp(this); });
            else
                button->setEnabled(false); // its Part is not built yet
            break;
        }
        case ControlKind::Edit:
            widget = new QLineEdit(this);
            break;
        case ControlKind::Label:
            widget = new QLabel(QString::fromUtf8(c.caption), this);
            break;
        case ControlKind::GroupBox:
            widget = new QGroupBox(QString::fromUtf8(c.caption), this);
            widget->lower(); // a frame behind the controls it holds
            widget->setFocusPolicy(Qt::NoFocus);
            break;
        default:
            break;
        }
        if (widget == nullptr)
            continue;
        widget->setGeometry(units.X(c.x), units.Y(c.y), units.X(c.width), units.Y(c.height));
        if (c.id >= 0)
        {
            widget->setObjectName(QString::number(c.id));
            m_controls[c.id] = widget;
        }
        m_order.push_back(widget);
        if (widget->focusPolicy() != Qt::NoFocus)
        {
            if (previous)
                setTabOrder(previous, widget);
            previous = widget;
        }
    }
}

QWidget* CKestavaneDlg::Control(int id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

bool CKestavaneDlg::HistoryIsWindow() const { return m_history != nullptr; }

void CKestavaneDlg::HistorySetText(const std::string& text)
{
    // What the control takes is what its limit lets in; CR LF shows as one line break.
    const size_t take = std::min(text.size(), m_controlLimit);
    auto display = [](const std::string& part) {
        QString s = QString::fromUtf8(part.data(), static_cast<qsizetype>(part.size()));
        s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (s.endsWith(QLatin1Char('\n')))
            s.chop(1);
        return s;
    };
    // The history only grows by whole entries between replacements, so a
    // text of the same generation that is longer extends what is shown:
    // append the difference instead of rewriting everything.
    if (HistoryGeneration() == m_shownGeneration && take > m_controlLength && m_controlLength > 0)
    {
        m_history->appendPlainText(display(text.substr(m_controlLength, take - m_controlLength)));
    }
    else
    {
        m_history->setPlainText(display(text.substr(0, take)));
    }
    m_controlLength = take;
    m_shownGeneration = HistoryGeneration();
}

int CKestavaneDlg::HistoryGetLineCount() const { return m_history->document()->blockCount(); }

void CKestavaneDlg::HistoryLineScroll(int /*lines*/)
{
    QScrollBar* bar = m_history->verticalScrollBar();
    bar->setValue(bar->maximum());
    // Shown at once, without dispatching input: a press cannot re-enter itself.
    m_history->viewport()->repaint();
}

int CKestavaneDlg::MessageBox(const std::string& text, unsigned type)
{
    if (m_boxAnswer)
        return m_boxAnswer(text, type);
    const QString message = QString::fromUtf8(text.c_str()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if ((type & 0xF) == MB_YESNO)
        return QMessageBox::question(this, ApplicationName(), message, QMessageBox::Yes | QMessageBox::No) ==
                       QMessageBox::Yes
                   ? IDYES
                   : IDNO;
    QMessageBox::information(this, ApplicationName(), message);
    return IDOK;
}

void CKestavaneDlg::BeginWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
void CKestavaneDlg::EndWaitCursor() { QApplication::restoreOverrideCursor(); }
void CKestavaneDlg::EnableWindow(bool enable) { setEnabled(enable); }

void CKestavaneDlg::SetFocus()
{
    activateWindow();
    QDialog::setFocus();
}

void CKestavaneDlg::PumpMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void CKestavaneDlg::OnProcessorButton(int id)
{
    if (const ProcessorEntry* entry = FindProcessorEntry(id))
        RunProcessorEntry(this, *entry);
}

void CKestavaneDlg::OnRunTest()
{
    const std::string server = static_cast<QLineEdit*>(Control(1027))->text().toStdString();
    const std::string port = static_cast<QLineEdit*>(Control(1029))->text().toStdString();
    RunManualTest(this, server, port);
}

void CKestavaneDlg::OnClearHistory() { ClearHistory(); }

void CKestavaneDlg::OnNovaTest() { RunNovaApiTest(this); }

void CKestavaneDlg::OnUrlAndPortInfo()
{
    CSourceAndPortInfoDlg page(this);
    page.exec();
}

void CKestavaneDlg::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CKestavaneDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // Window managers own the system menu here; the dialog's background
    // offers the About item, after a separator, instead.
    if (childAt(event->pos()) != nullptr)
        return;
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(tr("&About Kestavane..."), this, &CKestavaneDlg::OnAbout);
    menu.exec(event->globalPos());
}
