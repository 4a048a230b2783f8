#include "kestavane_dlg.h"

#include "about_dlg.h"
#include "dialog_helpers.h"
#include "gateway_dlg.h"
#include "ip_helper.h"
#include "nova_api.h"
#include "press.h"
#include "results.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <ctime>
#include <exception>
#include <thread>
#include <utility>

namespace
{
// Room for what the window manager adds around the window before it has
// told us: a frame and a title bar.
const QMargins kFrameAllowance(4, 32, 4, 4);

// How long a closed window waits for its cancelled press before it says the
// press is stuck: every wait of the press ends at once when it is cancelled.
constexpr int kCancelGraceMs = 900;

bool IsInput(QEvent::Type type)
{
    switch (type)
    {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease: return true;
    default: return false;
    }
}

// The history's CR LF line ends as LF, as the report and the clipboard take them.
std::string WithLfEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n')
            out += text[i];
    return out;
}
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
            connect(button, &QPushButton::clicked, this, [this, route] {
                if (!PressRunning())
                    route.handler(*this, route.id);
            });

    // Window managers own the system menu here; the window's background
    // (or the Menu key, or Shift+F10) offers the window's menu instead.
    m_surface->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_surface, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (m_surface->childAt(at) == nullptr)
            ShowContextMenu(m_surface->mapToGlobal(at));
    });

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

template <typename Call> void CKestavaneDlg::OnWindowThread(Call&& call) const
{
    if (QThread::currentThread() == thread())
        call();
    else
        QMetaObject::invokeMethod(const_cast<CKestavaneDlg*>(this), std::forward<Call>(call),
                                  Qt::BlockingQueuedConnection);
}

bool CKestavaneDlg::HistoryIsWindow() const { return m_history != nullptr; }

void CKestavaneDlg::HistorySetText(const std::string& text, size_t unchanged)
{
    OnWindowThread([&] {
        // A history that starts over during a press holds the press's lines only.
        if (m_pPress && unchanged == 0)
            m_pressFrom = 0;
        SetControlText(text, unchanged);
    });
}

void CKestavaneDlg::SetControlText(const std::string& text, size_t unchanged)
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

int CKestavaneDlg::HistoryGetLineCount() const
{
    int lines = 0;
    OnWindowThread([&] { lines = m_history->document()->blockCount(); });
    return lines;
}

void CKestavaneDlg::HistoryLineScroll(int /*lines*/)
{
    OnWindowThread([this] {
        QScrollBar* bar = m_history->verticalScrollBar();
        bar->setValue(bar->maximum());
    });
}

int CKestavaneDlg::MessageBox(const std::string& text, unsigned type)
{
    // A cancelled press asks nothing more: a box would outlive the window.
    int answer = (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    OnWindowThread([&] {
        if (m_pPress && m_pPress->clock->Cancelled())
            return;
        answer = m_boxAnswer ? m_boxAnswer(text, type) : ShowMessageBox(this, text, type);
    });
    return answer;
}

void CKestavaneDlg::BeginWaitCursor()
{
    OnWindowThread([] { QApplication::setOverrideCursor(Qt::WaitCursor); });
}

void CKestavaneDlg::EndWaitCursor()
{
    OnWindowThread([] { QApplication::restoreOverrideCursor(); });
}

void CKestavaneDlg::EnableWindow(bool enable)
{
    OnWindowThread([this, enable] { setEnabled(enable); });
}

void CKestavaneDlg::SetFocus()
{
    // The control that had the focus gets it back when the press returns.
    OnWindowThread([this] { activateWindow(); });
}

// The window's thread turns its event loop all through a press; a round
// trip to it lets everything queued before run.
void CKestavaneDlg::PumpMessages()
{
    OnWindowThread([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
}

void CKestavaneDlg::RunPress(const std::function<void(const PressContext&)>& work, ReportPress* kept)
{
    if (m_pPress)
        return;
    CPressClock clock(WaitClock());
    const PressContext press{this, &clock, m_catalogue};
    CCollectingSink sink;
    if (kept)
        SetResultSink(&sink);
    m_pressFrom = HistoryText().size();
    m_pPress = &press;
    m_pressFocus = QApplication::focusWidget();
    SetClock(&clock);
    qApp->installEventFilter(this);

    std::atomic<bool> done{false};
    std::exception_ptr failure;
    std::thread worker([&] {
        try
        {
            work(press);
        }
        catch (...)
        {
            failure = std::current_exception();
        }
        done = true;
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection); // wakes the loop below
    });
    QDeadlineTimer grace(QDeadlineTimer::Forever);
    while (!done)
    {
        if (clock.Cancelled() && grace.isForever())
        {
            grace.setRemainingTime(kCancelGraceMs);
            QTimer::singleShot(kCancelGraceMs, this, [] {});
        }
        else if (grace.hasExpired() && m_onPressStuck)
            std::exchange(m_onPressStuck, nullptr)();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    worker.join();

    qApp->removeEventFilter(this);
    SetClock(nullptr);
    SetResultSink(nullptr);
    m_pPress = nullptr;
    if (kept && !failure)
    {
        kept->history = WithLfEnds(HistoryText().substr(std::min(m_pressFrom, HistoryText().size())));
        kept->records = sink.Take();
        m_madePresses.push_back(std::move(*kept));
    }
    // A click dropped during the press may still have moved the focus.
    if (m_pressFocus && isEnabled())
        m_pressFocus->setFocus(Qt::OtherFocusReason);
    m_pressFocus = nullptr;
    if (failure)
        std::rethrow_exception(failure);
}

bool CKestavaneDlg::eventFilter(QObject* watched, QEvent* event)
{
    // Installed while a press runs: input for this window is dropped, not
    // queued. Boxes the press raises are windows of their own and take theirs.
    if (IsInput(event->type()) && watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this)
        return true;
    return QDialog::eventFilter(watched, event);
}

void CKestavaneDlg::closeEvent(QCloseEvent* event)
{
    // The close box ends a press too: its waits end at once, its socket is shut.
    if (m_pPress)
        m_pPress->clock->Cancel();
    QDialog::closeEvent(event);
}

void CKestavaneDlg::keyPressEvent(QKeyEvent* event)
{
    // A focused push button takes Enter itself. Elsewhere Enter does not
    // reach "Exit": in the Server and Port fields it runs "Run TEST", and
    // anywhere else it does nothing.
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
    {
        QWidget* focus = focusWidget();
        const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
        if (modifiers == Qt::NoModifier && focus != nullptr &&
            (focus == Control(IDC_SERVER) || focus == Control(IDC_PORT)))
            m_controls->Get<QPushButton>(IDC_RUN_TEST)->click();
        event->accept();
        return;
    }
    if (key == Qt::Key_Menu || (key == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier))
    {
        QWidget* focus = focusWidget();
        ShowContextMenu(focus ? focus->mapToGlobal(focus->rect().center()) : mapToGlobal(rect().center()));
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CKestavaneDlg::OnProcessorButton(int id)
{
    ReportPress kept;
    kept.buttonId = id;
    RunPress(
        [&kept](const PressContext& press) {
            if (const ProcessorEntry* entry = press.catalogue->Find(kept.buttonId))
            {
                kept.caption = entry->caption;
                kept.passed = RunProcessorEntry(press.owner, *entry);
            }
        },
        &kept);
}

void CKestavaneDlg::OnRunTest()
{
    // Both texts are read before anything is written.
    const std::string server = m_controls->Get<QLineEdit>(IDC_SERVER)->text().toStdString();
    const std::string port = m_controls->Get<QLineEdit>(IDC_PORT)->text().toStdString();
    ReportPress kept;
    kept.caption = server + ":" + port;
    RunPress([&](const PressContext& press) { kept.passed = RunManualTest(press.owner, server, port); },
             &kept);
}

void CKestavaneDlg::OnClearHistory() { ClearHistory(); }
void CKestavaneDlg::OnNovaTest()
{
    ReportPress kept;
    kept.buttonId = IDC_NOVA_TERM;
    for (const ControlTemplate& control : MainDialogTemplate().controls)
        if (control.id == IDC_NOVA_TERM)
            kept.caption = control.caption;
    RunPress([&kept](const PressContext& press) { kept.passed = RunNovaApiTest(press.owner); }, &kept);
}
void CKestavaneDlg::OnThisPc()
{
    RunPress([](const PressContext& press) { RunThisPc(press.owner); });
}
void CKestavaneDlg::OnCheckDns()
{
    RunPress([](const PressContext& press) { RunCheckDns(press.owner); });
}
void CKestavaneDlg::OnCheckDhcp()
{
    RunPress([](const PressContext& press) { RunCheckDhcp(press.owner); });
}

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

void CKestavaneDlg::OnSaveReport()
{
    if (PressRunning())
        return;
    ReportFacts named;
    named.generatedAt = std::time(nullptr);
    named.hostName = QSysInfo::machineHostName().toStdString();
    const QString suggested = QDir::home().filePath(QString::fromStdString(DefaultReportFileName(named)));
    const QString chosen =
        m_chooseReportFile
            ? m_chooseReportFile(suggested)
            : QFileDialog::getSaveFileName(this, tr("Save report"), suggested, tr("HTML pages (*.html)"));
    if (chosen.isEmpty())
        return;

    // This PC's facts ask the system bus, each source bounded: gathered on
    // a worker thread while the window keeps painting. No test is run.
    ReportFacts facts;
    {
        CWaitCursor wait(this);
        const CatalogueRef catalogue = m_catalogue;
        RunPress([&](const PressContext&) { facts = CollectReportFacts(*catalogue); });
    }
    const std::string path = chosen.toStdString();
    if (std::string error; !ReplaceFile(path, ReportHtml(facts, m_madePresses), &error))
        MessageBox("The report was not saved as " + path + ": " + error, MB_OK | MB_ICONERROR);
}

void CKestavaneDlg::OnCopyHistory()
{
    QGuiApplication::clipboard()->setText(QString::fromStdString(WithLfEnds(HistoryText())));
}

void CKestavaneDlg::ShowContextMenu(const QPoint& globalAt)
{
    // The window's own items go first; the About item stands last, after a
    // separator, as on a system menu.
    QMenu menu(this);
    menu.addAction(tr("Save report…"), this, &CKestavaneDlg::OnSaveReport)->setEnabled(!PressRunning());
    menu.addAction(tr("Copy history"), this, &CKestavaneDlg::OnCopyHistory);
    menu.addSeparator();
    menu.addAction(tr("&About Kestavane..."), this, &CKestavaneDlg::OnAbout);
    menu.exec(globalAt);
}
