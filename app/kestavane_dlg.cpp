#include "kestavane_dlg.h"

#include "about_dlg.h"
#include "catalogue.h"
#include "dialog_helpers.h"
#include "gateway_dlg.h"
#include "ip_helper.h"
#include "nova_api.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QWindow>

namespace
{
// Room for what the window manager adds around the window before it has
// told us: a frame and a title bar.
const QMargins kFrameAllowance(4, 32, 4, 4);
} // namespace

CKestavaneDlg::CKestavaneDlg(QWidget* parent) : QDialog(parent)
{
    const DialogTemplate& t = MainDialogTemplate();
    SetUpDialog(this, t, Qt::WindowMinimizeButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setFocusPolicy(Qt::NoFocus); // the tab order is the template's alone
    m_scroll->setWidgetResizable(false);
    m_surface = new QWidget;
    m_scroll->setWidget(m_surface);
    m_surface->setFont(font()); // a style sheet's scroll area passes none on
    m_controls = std::make_unique<CTemplateControls>(m_surface, t);
    m_surface->setFixedSize(m_controls->Size());
    m_history = m_controls->Get<QPlainTextEdit>(IDC_HISTORY);

    for (const Route& route : Routes())
        if (auto* button = m_controls->Get<QPushButton>(route.id))
            connect(button, &QPushButton::clicked, this, [this, route] { route.handler(*this, route.id); });

    // Window managers own the system menu here; the window's background
    // offers the About item, after a separator, instead.
    m_surface->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_surface, &QWidget::customContextMenuRequested, this, &CKestavaneDlg::ShowContextMenu);

    FitToScreen(screen());
}

CKestavaneDlg::~CKestavaneDlg() = default;

const std::vector<CKestavaneDlg::Route>& CKestavaneDlg::Routes()
{
    static const std::vector<Route> routes = [] {
        std::vector<Route> table = {
            {IDC_EXIT, [](CKestavaneDlg& d, int) { d.accept(); }},
            {IDC_CHECK_DNS, [](CKestavaneDlg& d, int) { d.OnCheckDns(); }},
            {IDC_CHECK_DHCP, [](CKestavaneDlg& d, int) { d.OnCheckDhcp(); }},
            {IDC_URL_PORT_INFO, [](CKestavaneDlg& d, int) { d.OnUrlAndPortInfo(); }},
            {IDC_NOVA_TERM, [](CKestavaneDlg& d, int) { d.OnNovaTest(); }},
            {IDC_RUN_TEST, [](CKestavaneDlg& d, int) { d.OnRunTest(); }},
            {IDC_CLEAR_HISTORY, [](CKestavaneDlg& d, int) { d.OnClearHistory(); }},
            {IDC_THIS_PC, [](CKestavaneDlg& d, int) { d.OnThisPc(); }},
        };
        for (const ProcessorEntry& entry : ProcessorCatalogue())
            table.push_back({entry.id, [](CKestavaneDlg& d, int id) { d.OnProcessorButton(id); }});
        return table;
    }();
    return routes;
}

void CKestavaneDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FitToScreen(screen());
    if (QWindow* window = windowHandle())
        connect(window, &QWindow::screenChanged, this, &CKestavaneDlg::FitToScreen, Qt::UniqueConnection);
}

void CKestavaneDlg::FitToScreen(const QScreen* screen)
{
    const QSize whole = m_surface->size();
    if (screen == nullptr)
    {
        setFixedSize(whole);
        return;
    }
    const QRect available = screen->availableGeometry();
    QMargins frame = kFrameAllowance;
    if (isVisible() && frameGeometry() != geometry())
        frame = QMargins(geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
                         frameGeometry().right() - geometry().right(),
                         frameGeometry().bottom() - geometry().bottom());
    const QSize room = available.size().shrunkBy(frame);
    QSize size = whole.boundedTo(room);
    // A scroll bar takes its breadth inside; give it that where there is room.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    if (size.height() < whole.height())
        size.setWidth(std::min(whole.width() + bar, room.width()));
    if (size.width() < whole.width())
        size.setHeight(std::min(whole.height() + bar, room.height()));
    setFixedSize(size);
    m_scroll->setGeometry(rect());

    // Keep the whole frame on the screen's available area.
    if (isVisible())
    {
        const QRect outer = geometry().marginsAdded(frame);
        QPoint at = outer.topLeft();
        at.setX(std::clamp(at.x(), available.left(),
                           std::max(available.left(), available.right() + 1 - outer.width())));
        at.setY(std::clamp(at.y(), available.top(),
                           std::max(available.top(), available.bottom() + 1 - outer.height())));
        if (at != outer.topLeft())
            move(at);
    }
}

bool CKestavaneDlg::HistoryIsWindow() const { return m_history != nullptr; }

void CKestavaneDlg::HistorySetText(const std::string& text, size_t unchanged)
{
    // What the control takes is what its limit lets in; CR LF shows as one line break.
    const size_t take = std::min(text.size(), m_controlLimit);
    auto display = [](const char* data, size_t size) {
        QString s = QString::fromUtf8(data, static_cast<qsizetype>(size));
        s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (s.endsWith(QLatin1Char('\n')))
            s.chop(1);
        return s;
    };
    // What the control holds is still the head of the text, ending with a
    // whole entry: add the new entries as paragraphs instead of rewriting it
    // all. (An empty control shows a lone empty entry as no paragraph at all.)
    const bool holdsHead = m_controlLength > 0 && m_controlLength <= unchanged;
    const bool endsWithEntry = holdsHead && m_controlLength >= 2 &&
                               text.compare(m_controlLength - 2, 2, "\r\n") == 0 &&
                               !m_history->document()->isEmpty();
    if (holdsHead && take == m_controlLength)
        return;
    if (endsWithEntry && take > m_controlLength)
        m_history->appendPlainText(display(text.data() + m_controlLength, take - m_controlLength));
    else
        m_history->setPlainText(display(text.data(), take));
    m_controlLength = take;
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
    return ShowMessageBox(this, text, type);
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
    if (const ProcessorEntry* entry = m_catalogue->Find(id))
        RunProcessorEntry(this, *entry);
}

void CKestavaneDlg::OnRunTest()
{
    const std::string server = m_controls->Get<QLineEdit>(IDC_SERVER)->text().toStdString();
    const std::string port = m_controls->Get<QLineEdit>(IDC_PORT)->text().toStdString();
    RunManualTest(this, server, port);
}

void CKestavaneDlg::OnClearHistory() { ClearHistory(); }
void CKestavaneDlg::OnNovaTest() { RunNovaApiTest(this); }
void CKestavaneDlg::OnThisPc() { RunThisPc(this); }
void CKestavaneDlg::OnCheckDns() { RunCheckDns(this); }
void CKestavaneDlg::OnCheckDhcp() { RunCheckDhcp(this); }

void CKestavaneDlg::OnUrlAndPortInfo()
{
    CSourceAndPortInfoDlg page(this, *m_catalogue, kSitePageFile);
    page.exec();
}

void CKestavaneDlg::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CKestavaneDlg::ShowContextMenu(const QPoint& at)
{
    if (m_surface->childAt(at) != nullptr)
        return;
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(tr("&About Kestavane..."), this, &CKestavaneDlg::OnAbout);
    menu.exec(m_surface->mapToGlobal(at));
}
