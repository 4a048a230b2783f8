// The window under the offscreen platform, on screens this test describes:
// a 1024x768 one, an 800x600 one and a 1024x768 one at a device-pixel ratio of 2.
#include "about_dlg.h"
#include "app_flags.h"
#include "catalogue.h"
#include "dialog_helpers.h"
#include "gateway_dlg.h"
#include "kestavane_app.h"
#include "kestavane_dlg.h"
#include "support/loopback.h"
#include "support/private_network.h"
#include "support/test_clock.h"
#include "version.h"
#include "ws2.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fstream>
#include <future>
#include <map>
#include <set>

namespace
{
// Room a desktop's panel takes from a 1024x768 screen, and the title bar
// the window manager adds above the window.
constexpr int kPanel = 48;
constexpr int kTitleBar = 32;

// A loopback peer that takes connections and never speaks; gone with the object.
class CSilentPeer
{
public:
    CSilentPeer() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_fd, 4);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~CSilentPeer() { ::close(m_fd); }
    int Port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

// A loopback port nobody listens on: a peer's, once it is gone.
int ClosedLoopbackPort() { return CSilentPeer().Port(); }

// A style that gives dialog buttons their theme icons, as some desktops' do.
class CButtonIconStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override
    {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

QStringList HistoryLines(const CKestavaneDlg& dlg)
{
    QString text = QString::fromStdString(dlg.HistoryText());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}

QPushButton* Button(const CKestavaneDlg& dlg, int id) { return qobject_cast<QPushButton*>(dlg.Control(id)); }

QScreen* ScreenNamed(const char* name)
{
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->name() == QLatin1String(name))
            return screen;
    return nullptr;
}

// Shows `w` on the screen of that name and waits until it is active.
bool ShowOn(QWidget& w, const char* name)
{
    QScreen* screen = ScreenNamed(name);
    if (screen == nullptr)
        return false;
    w.setScreen(screen);
    w.move(screen->availableGeometry().topLeft());
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w) && w.screen() == screen;
}

// Runs `check` on the modal window that opens next, then closes it.
void OnNextModal(std::function<void(QWidget*)> check)
{
    QTimer::singleShot(50, [check] {
        QWidget* modal = QApplication::activeModalWidget();
        check(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
    });
}

// Opens the window's menu with Shift+F10 and picks the item of that text.
void PickFromMenu(CKestavaneDlg& dlg, const QString& text)
{
    QTimer::singleShot(50, &dlg, [text] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        const QList<QAction*> actions = menu->actions();
        const auto it =
            std::find_if(actions.begin(), actions.end(), [&](QAction* a) { return a->text() == text; });
        QVERIFY2(it != actions.end(), qPrintable(text));
        menu->close();
        (*it)->trigger();
    });
    QTest::keyClick(&dlg, Qt::Key_F10, Qt::ShiftModifier);
}

// Asserts that every caption of `controls` is drawn whole with the dialog
// font: measured where the control's style draws it.
void VerifyCaptionsFit(const std::vector<QWidget*>& controls, const QFont& dialogFont)
{
    for (QWidget* w : controls)
    {
        w->ensurePolished(); // as it is before it is drawn
        QString what;
        QRect area;
        QRect need;
        if (auto* button = qobject_cast<QPushButton*>(w))
        {
            QStyleOptionButton option;
            option.initFrom(button);
            option.rect = button->rect();
            option.features = button->isFlat() ? QStyleOptionButton::Flat : QStyleOptionButton::None;
            option.text = button->text();
            area = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            need = button->fontMetrics().boundingRect(area, Qt::AlignCenter | Qt::TextShowMnemonic,
                                                      button->text());
            what = button->text();
        }
        else if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty())
        {
            area = label->contentsRect();
            need = label->fontMetrics().boundingRect(area, int(label->alignment()), label->text());
            what = label->text();
        }
        else if (auto* group = qobject_cast<QGroupBox*>(w))
        {
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = group->title();
            option.textAlignment = group->alignment();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            option.lineWidth = 1;
            const QRect title =
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
            const QRect frame =
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, group);
            // Inside the group's rectangle, across the top edge of its frame.
            QVERIFY2(group->rect().contains(title), qPrintable(group->title()));
            QVERIFY2(title.top() < frame.top() && frame.top() < title.bottom(), qPrintable(group->title()));
            // Clear of every control it frames.
            for (QWidget* other : controls)
                if (other != group && other->parentWidget() == group->parentWidget())
                    QVERIFY2(!title.translated(group->pos()).intersects(other->geometry()),
                             qPrintable(group->title() + " / " + other->objectName()));
            area = title;
            need = QRect(title.topLeft(), QSize(group->fontMetrics().horizontalAdvance(group->title()),
                                                group->fontMetrics().height()));
            what = group->title();
        }
        else
            continue;
        QVERIFY2(QFontInfo(w->font()).family() == QFontInfo(dialogFont).family() &&
                     w->font().pointSizeF() == dialogFont.pointSizeF(),
                 qPrintable(what + ": " + w->font().toString()));
        QVERIFY2(area.contains(need), qPrintable(QStringLiteral("\"%1\" needs %2x%3, has %4x%5")
                                                     .arg(what)
                                                     .arg(need.width())
                                                     .arg(need.height())
                                                     .arg(area.width())
                                                     .arg(area.height())));
    }
}
} // namespace

class AppTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        ws2::SetResolver(
            [](const std::string&) { return std::optional<in_addr>(); }); // nothing leaves this PC
    }
    void cleanup() { ws2::SetResolver(nullptr); }

    void everyControlOfTheTemplateInTabOrder()
    {
        CKestavaneDlg dlg;
        for (const ControlTemplate& c : MainDialogTemplate().controls)
        {
            if (!IsPushButton(c.kind))
                continue;
            QPushButton* button = Button(dlg, c.id);
            QVERIFY2(button, qPrintable(QString::number(c.id)));
            QString shown = button->text();
            QCOMPARE(shown.replace('\n', ' '), QString::fromUtf8(c.caption).replace('\r', ' '));
            QVERIFY(button->isEnabled());
            QVERIFY(button->autoDefault());
            QCOMPARE(button->isDefault(), c.id == IDC_EXIT);
        }
        QVERIFY(Button(dlg, IDC_URL_PORT_INFO)
                    ->text()
                    .contains('\n')); // too wide for one line: wrapped, as the template's
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Kestavane"));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize()); // not resizable
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!dlg.windowIcon().isNull());

        // Tab order is template order.
        std::vector<QWidget*> focusable;
        for (QWidget* w : dlg.TemplateOrder())
            if (w->focusPolicy() != Qt::NoFocus)
                focusable.push_back(w);
        const std::set<QWidget*> members(focusable.begin(), focusable.end());
        QWidget* at = focusable.front();
        for (size_t i = 1; i < focusable.size(); ++i)
        {
            do
                at = at->nextInFocusChain();
            while (members.count(at) == 0 && at != focusable.front());
            QCOMPARE(at, focusable[i]);
        }
    }

    void oneRouteForEveryButtonOfTheTemplate()
    {
        const auto& controls = MainDialogTemplate().controls;
        std::multiset<int> buttonIds;
        for (const ControlTemplate& c : controls)
            if (IsPushButton(c.kind))
                buttonIds.insert(c.id);
        std::multiset<int> routed;
        for (const CKestavaneDlg::Route& route : CKestavaneDlg::Routes())
            routed.insert(route.id);
        QVERIFY(routed == buttonIds); // each id once, none left out, none extra

        // The catalogue and the template name each processor button alike, once.
        for (const ProcessorEntry& entry : ProcessorCatalogue())
        {
            int ids = 0;
            int captions = 0;
            for (const ControlTemplate& c : controls)
            {
                ids += c.id == entry.id;
                captions += std::string(c.caption) == entry.caption;
            }
            QVERIFY2(ids == 1 && captions == 1, entry.caption);
            const auto it = std::find_if(controls.begin(), controls.end(),
                                         [&](const ControlTemplate& c) { return c.id == entry.id; });
            QCOMPARE(QString::fromUtf8(it->caption), QString::fromUtf8(entry.caption));
        }
    }

    void buttonsRunTheirHandlers_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QStringList>("expected"); // lines from the fourth on
        QTest::addColumn<int>("boxes");
        QTest::newRow("processor") << 1003
                                   << QStringList{QStringLiteral("Attempting PAYMENTECH NETCONNECT Primary")}
                                   << 0;
        QTest::newRow("gift processor")
            << 1041 << QStringList{QStringLiteral("Attempting VALUTEC GIFT")} << 0;
        QTest::newRow("THIS PC") << int(IDC_THIS_PC)
                                 << QStringList{QStringLiteral("Loading IpHlpApi.dll..."),
                                                QStringLiteral("Attempting to Read Ip Configuration...")}
                                 << 0;
        QTest::newRow("Check DNS") << int(IDC_CHECK_DNS)
                                   << QStringList{QStringLiteral("Loading IpHlpApi.dll..."),
                                                  QStringLiteral(
                                                      "Attempting to Determine DNS Configuration...")}
                                   << 1;
        QTest::newRow("Check DHCP") << int(IDC_CHECK_DHCP)
                                    << QStringList{QStringLiteral("Loading IpHlpApi.dll..."),
                                                   QStringLiteral(
                                                       "Attempting to Determine DHCP Configuration...")}
                                    << 1;
        QTest::newRow("terminal API") << int(IDC_NOVA_TERM)
                                      << QStringList{QStringLiteral("Attempting NOVA API..."),
                                                     QStringLiteral("Error -- NOVA API DLL Not Loaded!")}
                                      << 0;
    }

    void buttonsRunTheirHandlers()
    {
        QFETCH(int, id);
        QFETCH(QStringList, expected);
        QFETCH(int, boxes);
        CKestavaneDlg dlg;
        int asked = 0;
        bool onWindowThread = true; // a press's boxes are the window's
        dlg.m_boxAnswer = [&](const std::string&, unsigned) {
            onWindowThread = onWindowThread && QThread::currentThread() == dlg.thread();
            return ++asked, IDOK;
        };
        Button(dlg, id)->click();
        const QStringList lines = HistoryLines(dlg);
        QCOMPARE(lines.mid(3, expected.size()), expected);
        QCOMPARE(lines.last(), QString::fromUtf8(kClosingBanner));
        QCOMPARE(asked, boxes);
        QVERIFY(onWindowThread);
        QVERIFY(dlg.isEnabled());
    }

    void historyControlIsTheLiveViewOfTheHistory()
    {
        CKestavaneDlg dlg;
        QPlainTextEdit* history = dlg.HistoryControl();
        QVERIFY(history->isReadOnly());
        QCOMPARE(history->lineWrapMode(), QPlainTextEdit::NoWrap);
        // Every glyph as wide as the next, so the padded columns line up.
        const QFontMetricsF metrics(history->font());
        for (QChar c : QStringLiteral("il.:* -0|WM_@"))
            QCOMPARE(metrics.horizontalAdvance(c), metrics.horizontalAdvance(QLatin1Char('x')));
        AddToHistory(&dlg, "%s", "");
        {
            CTestFrame frame(&dlg);
            AddToHistory(&dlg, "%-30s%s", "Adapter Name:", "eth0");
            AddToHistory(&dlg, "%s", "two lines\r\nin one entry");
        }
        QCOMPARE(history->toPlainText().split('\n'), HistoryLines(dlg));
        Button(dlg, IDC_CLEAR_HISTORY)->click();
        QCOMPARE(dlg.HistoryText(), std::string());
        QCOMPARE(history->toPlainText(), QString());
        AddToHistory(&dlg, "after");
        AddToHistory(&dlg, "and more");
        QCOMPARE(history->toPlainText(), QStringLiteral("after\nand more"));
    }

    void historyControlCatchesUpWhenItTakesMore()
    {
        // The control held part of an entry; once it takes everything, it
        // shows the text as it is, with no line break of its own between.
        CKestavaneDlg dlg;
        dlg.m_boxAnswer = [](const std::string&, unsigned) { return IDNO; };
        dlg.m_controlLimit = 8;
        AddToHistory(&dlg, "0123456789");
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("01234567"));
        dlg.m_controlLimit = static_cast<size_t>(-1);
        AddToHistory(&dlg, "next");
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("0123456789\nnext"));
    }

    void overflowAnsweredYesKeepsTheNewLine()
    {
        CKestavaneDlg dlg;
        dlg.m_controlLimit = 30;
        QStringList asked;
        dlg.m_boxAnswer = [&](const std::string& text, unsigned) {
            asked << QString::fromStdString(text);
            return IDYES;
        };
        AddToHistory(&dlg, "0123456789");
        AddToHistory(&dlg, "abcdefghijklmnopqrstuvwxyz");
        QCOMPARE(asked.size(), 1);
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
        AddToHistory(&dlg, "x"); // 31 characters: over the limit again, and asked again
        QCOMPARE(asked.size(), 2);
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("x"));
        dlg.m_boxAnswer = [&](const std::string& text, unsigned) {
            asked << QString::fromStdString(text);
            return IDNO;
        };
        AddToHistory(&dlg, "%s",
                     std::string(40, 'y').c_str()); // No: everything kept, the control holds what it took
        QCOMPARE(asked.size(), 3);
        QCOMPARE(dlg.HistoryText(), "x\r\n" + std::string(40, 'y') + "\r\n");
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("x\n") + QString(27, 'y'));
        dlg.m_boxAnswer = [](const std::string&, unsigned) { return IDYES; };
        AddToHistory(&dlg, "%s",
                     std::string(50, 'z').c_str()); // Yes: the new line alone, as much as the control takes
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QString(30, 'z'));
    }

    void runTestWritesTheFramedFailure()
    {
        ws2::SetResolver(nullptr); // localhost only
        CKestavaneDlg dlg;
        const int port = ClosedLoopbackPort();
        qobject_cast<QLineEdit*>(dlg.Control(IDC_SERVER))->setText(QStringLiteral("localhost"));
        qobject_cast<QLineEdit*>(dlg.Control(IDC_PORT))->setText(QString::number(port));
        Button(dlg, IDC_RUN_TEST)->click();
        const QStringList lines = HistoryLines(dlg);
        QCOMPARE(lines.value(1), QString::fromUtf8(kOpeningBanner).mid(2));
        QCOMPARE(lines.value(2), QString::fromUtf8(kPlainSeparator));
        QCOMPARE(lines.value(3), QStringLiteral("Attempting USER DEFINED GATEWAY AND PORT"));
        QCOMPARE(
            lines.value(lines.size() - 3),
            QStringLiteral("** FAILED to Connect to USER DEFINED GATEWAY AND PORT! ** Socket Connect to USER "
                           "DEFINED GATEWAY AND PORT Failed."));
        QCOMPARE(lines.last(), QString::fromUtf8(kClosingBanner));
        QCOMPARE(dlg.HistoryControl()->toPlainText().split('\n'), lines);
    }

    void urlAndPortInfoOpensTheGatewayPage()
    {
        CKestavaneDlg dlg;
        QString title;
        OnNextModal([&](QWidget* page) {
            QVERIFY(page && page != &dlg);
            title = page->windowTitle();
        });
        Button(dlg, IDC_URL_PORT_INFO)->click();
        QCOMPARE(title, QStringLiteral("Gateway Access"));
        QCOMPARE(dlg.HistoryText(), std::string()); // it writes nothing to the history
    }

    void focusedButtonTakesTheKey_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("Space") << int(Qt::Key_Space);
    }

    void focusedButtonTakesTheKey()
    {
        QFETCH(int, key);
        CKestavaneDlg dlg;
        dlg.m_boxAnswer = [](const std::string&, unsigned) { return IDOK; };
        QVERIFY(ShowOn(dlg, "main"));
        // Every kind of press, the terminal API test (which disables the
        // window) among them, twice: the focus comes back to the button.
        for (int id : {1003, 1022, int(IDC_RUN_TEST), int(IDC_NOVA_TERM), int(IDC_THIS_PC),
                       int(IDC_CHECK_DNS), int(IDC_CHECK_DHCP)})
        {
            dlg.ClearHistory();
            Button(dlg, id)->setFocus(Qt::TabFocusReason);
            QCOMPARE(QApplication::focusWidget(), dlg.Control(id));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
            const std::string once = dlg.HistoryText();
            QVERIFY(once.ends_with(std::string(kClosingBanner) + "\r\n"));
            if (const ProcessorEntry* entry = FindProcessorEntry(id))
                QCOMPARE(HistoryLines(dlg).value(3),
                         QStringLiteral("Attempting %1").arg(QString::fromUtf8(entry->targets[0].label)));
            QCOMPARE(QApplication::focusWidget(), dlg.Control(id));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
            QVERIFY(dlg.isVisible()); // the work stays on the screen
            QCOMPARE(dlg.HistoryText(), once + once);
        }
    }

    void keysWhereNoButtonHasTheFocus_data()
    {
        QTest::addColumn<int>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("result"); // -1: the window stays open
        QTest::addColumn<QString>("ran");
        const QString manual = QStringLiteral("Attempting USER DEFINED GATEWAY AND PORT");
        QTest::newRow("history, Return") << int(IDC_HISTORY) << int(Qt::Key_Return) << -1 << QString();
        QTest::newRow("history, Enter") << int(IDC_HISTORY) << int(Qt::Key_Enter) << -1 << QString();
        QTest::newRow("Server, Return") << int(IDC_SERVER) << int(Qt::Key_Return) << -1 << manual;
        QTest::newRow("Port, Enter") << int(IDC_PORT) << int(Qt::Key_Enter) << -1 << manual;
        QTest::newRow("Exit, Return")
            << int(IDC_EXIT) << int(Qt::Key_Return) << int(QDialog::Accepted) << QString();
        QTest::newRow("processor, Escape")
            << 1003 << int(Qt::Key_Escape) << int(QDialog::Rejected) << QString();
        QTest::newRow("history, Escape")
            << int(IDC_HISTORY) << int(Qt::Key_Escape) << int(QDialog::Rejected) << QString();
    }

    void keysWhereNoButtonHasTheFocus()
    {
        QFETCH(int, focus);
        QFETCH(int, key);
        QFETCH(int, result);
        QFETCH(QString, ran);
        CKestavaneDlg dlg;
        QVERIFY(ShowOn(dlg, "main"));
        QCOMPARE(QApplication::focusWidget(), dlg.Control(IDC_HISTORY)); // the first control of the tab order
        if (auto* edit = qobject_cast<QLineEdit*>(dlg.Control(focus)))
            edit->setText(QStringLiteral("443"));
        dlg.Control(focus)->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), dlg.Control(focus));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(dlg.isVisible(), result < 0);
        if (result >= 0)
            QCOMPARE(dlg.result(), result);
        if (ran.isEmpty())
            QCOMPARE(dlg.HistoryText(), std::string()); // nothing run
        else
            QCOMPARE(HistoryLines(dlg).value(3), ran);
    }

    void pressDropsInputAndEndsWithTheWindow_data()
    {
        QTest::addColumn<int>("closeAt"); // 0: not closed; 1: during the silent wait; 2: at the host lookup
        QTest::addColumn<QString>("shownLast");
        const QString handshake = QStringLiteral("Attempting SSL Handshake... ");
        QTest::newRow("clicks and keys") << 0 << handshake;
        QTest::newRow("close box during the wait") << 1 << handshake;
        QTest::newRow("close box before the wait")
            << 2 << QStringLiteral("Attempting to resolve 127.0.0.1...");
    }

    void pressDropsInputAndEndsWithTheWindow()
    {
        QFETCH(int, closeAt);
        QFETCH(QString, shownLast);
        CSilentPeer peer;
        // The silent wait ends by its bound on this clock, or when the press is cancelled.
        CTestClock clock(1000, closeAt ? 20000 : 200);
        CKestavaneDlg dlg;
        int asked = 0;
        dlg.m_boxAnswer = [&](const std::string&, unsigned) { return ++asked, IDNO; };
        bool stuck = false;
        dlg.m_onPressStuck = [&] { stuck = true; };
        QVERIFY(ShowOn(dlg, "main"));
        qobject_cast<QLineEdit*>(dlg.Control(IDC_SERVER))->setText(QStringLiteral("127.0.0.1"));
        qobject_cast<QLineEdit*>(dlg.Control(IDC_PORT))->setText(QString::number(peer.Port()));
        QWidget* started = dlg.Control(IDC_RUN_TEST);
        started->setFocus(Qt::TabFocusReason);

        // Midway through the press, on the window's thread while the press
        // waits for it: what the history shows, then clicks, keys, a control
        // that takes no more (so every later line asks the overflow question)
        // and the close box.
        QStringList shown;
        int interrupted = 0;
        auto interrupt = [&] {
            std::promise<void> handled;
            QMetaObject::invokeMethod(
                &dlg,
                [&] {
                    shown = dlg.HistoryControl()->toPlainText().split('\n');
                    QTest::mouseClick(Button(dlg, 1003), Qt::LeftButton);
                    Button(dlg, IDC_CLEAR_HISTORY)->click(); // not even from code
                    QTest::mouseClick(Button(dlg, IDC_EXIT), Qt::LeftButton);
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
                    dlg.m_controlLimit = dlg.HistoryText().size();
                    if (closeAt != 0)
                        dlg.close();
                    handled.set_value();
                },
                Qt::QueuedConnection);
            handled.get_future().wait();
        };
        ws2::SetResolver([&](const std::string&) {
            if (closeAt == 2 && interrupted++ == 0)
                interrupt();
            return std::optional<in_addr>(in_addr{htonl(INADDR_LOOPBACK)});
        });
        clock.onWait = [&](ws2::SOCKET, CWaitClock::Event event) {
            if (closeAt != 2 && event == CWaitClock::Event::Readable && interrupted++ == 0)
                interrupt();
        };
        QTest::keyClick(started, Qt::Key_Return);

        const QStringList lines = HistoryLines(dlg);
        QCOMPARE(interrupted, 1);
        QVERIFY(!stuck);
        QCOMPARE(lines.count(QString::fromUtf8(kOpeningBanner).mid(2)), 1); // nothing else ran
        QCOMPARE(lines.last(), QString::fromUtf8(kClosingBanner));
        // Live: the lines up to that point were on the screen.
        QCOMPARE(shown.last(), shownLast);
        QCOMPARE(shown, lines.mid(0, shown.size()));
        QCOMPARE(dlg.isVisible(), closeAt == 0);
        if (closeAt != 0)
        {
            QCOMPARE(dlg.result(), int(QDialog::Rejected));
            QVERIFY(clock.Moved() < 10000); // no wait ran to its bound
            QCOMPARE(asked, 0);             // a closed window asks nothing
        }
        else
        {
            QCOMPARE(QApplication::focusWidget(), started);
            QCOMPARE(clock.Moved(), uint64_t(10000)); // the wait ran its whole bound
            QVERIFY(asked > 0);
        }
    }

    void gatewayPageTakesEnterItself_data()
    {
        QTest::addColumn<int>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("result");
        QTest::newRow("page, Return") << int(IDC_GATEWAY_PAGE) << int(Qt::Key_Return) << true << 0;
        QTest::newRow("page, Enter") << int(IDC_GATEWAY_PAGE) << int(Qt::Key_Enter) << true << 0;
        QTest::newRow("OK, Return") << int(IDC_OK) << int(Qt::Key_Return) << false << int(QDialog::Accepted);
        QTest::newRow("Cancel, Return")
            << int(IDC_CANCEL) << int(Qt::Key_Return) << false << int(QDialog::Rejected);
        QTest::newRow("page, Escape")
            << int(IDC_GATEWAY_PAGE) << int(Qt::Key_Escape) << false << int(QDialog::Rejected);
    }

    void gatewayPageTakesEnterItself()
    {
        QFETCH(int, focus);
        QFETCH(int, key);
        QFETCH(bool, open);
        QFETCH(int, result);
        CSourceAndPortInfoDlg page(nullptr, *CCatalogue::BuiltIn(), "");
        QVERIFY(ShowOn(page, "main"));
        page.Controls().Control(focus)->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), page.Controls().Control(focus));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(page.isVisible(), open);
        if (!open)
            QCOMPARE(page.result(), result);
    }

    void contextMenuOffersTheAboutBox_data()
    {
        QTest::addColumn<int>("focus"); // where the key goes; none: a right click on the background
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("right click") << 0 << 0 << 0;
        QTest::newRow("Menu key, button") << 1003 << int(Qt::Key_Menu) << 0;
        QTest::newRow("Shift+F10, history") << int(IDC_HISTORY) << int(Qt::Key_F10) << int(Qt::ShiftModifier);
        QTest::newRow("Menu key, Port") << int(IDC_PORT) << int(Qt::Key_Menu) << 0;
    }

    void contextMenuOffersTheAboutBox()
    {
        QFETCH(int, focus);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        CKestavaneDlg dlg;
        QVERIFY(ShowOn(dlg, "main"));
        QString aboutText;
        QTimer::singleShot(100, &dlg, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QStringList texts;
            for (const QAction* action : menu->actions())
                texts << action->text();
            QCOMPARE(texts, QStringList({QStringLiteral("Save report…"), QStringLiteral("Copy history"),
                                         QString(), QStringLiteral("&About Kestavane...")}));
            QVERIFY(menu->actions()[2]->isSeparator());
            OnNextModal([&](QWidget* about) {
                QVERIFY(about && about != &dlg);
                for (QLabel* label : about->findChildren<QLabel*>())
                    aboutText += label->text() + "|";
            });
            menu->actions()[3]->trigger();
            menu->close();
        });
        if (focus != 0)
        {
            dlg.Control(focus)->setFocus(Qt::TabFocusReason);
            QTest::keyClick(dlg.Control(focus), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        }
        else
        {
            // The background right of the button columns.
            const QPoint background(dlg.width() - 5, dlg.height() / 2);
            QWidget* surface = dlg.childAt(background);
            QVERIFY(surface && surface == dlg.ScrollArea()->widget());
            const QPoint local = surface->mapFrom(&dlg, background);
            QContextMenuEvent event(QContextMenuEvent::Mouse, local, surface->mapToGlobal(local));
            QApplication::sendEvent(surface, &event);
        }
        QTRY_VERIFY_WITH_TIMEOUT(aboutText.contains(QStringLiteral("Kestavane Version 2.10|")), 1000);
    }

    // "Save report…" after one press on a loopback peer: the report holds that
    // press, its lines and records, and nothing written before it; saving
    // presses nothing again. A file that cannot be written gets one box.
    // "Copy history" copies the whole history.
    void saveReportAndCopyHistory_data()
    {
        QTest::addColumn<QString>("where"); // in a temporary folder
        QTest::addColumn<QString>("box");   // %1 the file, %2 its folder
        QTest::newRow("saved") << QStringLiteral("report.html") << QString();
        QTest::newRow("no such folder")
            << QStringLiteral("gone/report.html")
            << QStringLiteral(
                   "The report was not saved as %1: cannot create a file in '%2': No such file or directory");
    }

    void saveReportAndCopyHistory()
    {
        using namespace testing_support;
        QFETCH(QString, where);
        QFETCH(QString, box);
        ws2::SetResolver(nullptr);          // localhost only
        ScriptedServer peer([](int) {}, 2); // closes at once: the handshake fails
        CKestavaneDlg dlg;
        QVERIFY(ShowOn(dlg, "main"));
        AddToHistory(&dlg, "%s", "written before the press");
        qobject_cast<QLineEdit*>(dlg.Control(IDC_SERVER))->setText(QStringLiteral("localhost"));
        qobject_cast<QLineEdit*>(dlg.Control(IDC_PORT))->setText(QString::number(peer.Port()));
        Button(dlg, IDC_RUN_TEST)->click();
        QTRY_COMPARE(peer.Served(), 1);
        const std::string history = dlg.HistoryText();
        const QString lines = QString::fromStdString(history).replace(QStringLiteral("\r\n"), "\n");

        QTemporaryDir dir;
        const QString path = dir.filePath(where);
        QString suggested;
        dlg.m_chooseReportFile = [&](const QString& offered) {
            suggested = offered;
            return path;
        };
        QStringList boxes;
        dlg.m_boxAnswer = [&](const std::string& text, unsigned) {
            boxes << QString::fromStdString(text);
            return IDOK;
        };
        PickFromMenu(dlg, QStringLiteral("Save report…"));
        QTRY_VERIFY(!suggested.isEmpty());
        QCOMPARE(QFileInfo(suggested).dir(), QDir::home());
        QVERIFY(QRegularExpression(QStringLiteral("^kestavane-%1-\\d{8}-\\d{4}\\.html$")
                                       .arg(QRegularExpression::escape(QSysInfo::machineHostName())))
                    .match(QFileInfo(suggested).fileName())
                    .hasMatch());
        QCOMPARE(dlg.HistoryText(), history);
        QCOMPARE(peer.Served(), 1);
        QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList{box.arg(path, QFileInfo(path).path())});
        QFile file(path);
        QCOMPARE(file.open(QIODevice::ReadOnly), box.isEmpty());
        if (box.isEmpty())
        {
            const QString html = QString::fromUtf8(file.readAll());
            QCOMPARE(html.count(QStringLiteral("<details id=\"press-")), 1);
            QVERIFY(html.contains(QStringLiteral("1 of 1 press failed")));
            QVERIFY(html.contains(QStringLiteral("localhost:%1</a>").arg(peer.Port())));
            QVERIFY(html.contains(QStringLiteral("\"host\":\"localhost\"")));
            QVERIFY(!html.contains(QStringLiteral("written before the press")));
            const QString press = lines.mid(lines.indexOf('\n') + 1).toHtmlEscaped();
            QVERIFY2(html.contains(QStringLiteral("<pre>") + press + QStringLiteral("</pre>")),
                     qPrintable(press));
        }

        PickFromMenu(dlg, QStringLiteral("Copy history"));
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), lines);
        Button(dlg, IDC_RUN_TEST)->click(); // the peer's second connection, which ends it
        QTRY_COMPARE(peer.Served(), 2);
    }

    // The start folder's page, else the site's, else the page of the
    // catalogue in effect; a corrupt page shows what can be read of it.
    void gatewayPageComesFromTheStartFolderTheSiteOrTheCatalogue_data()
    {
        QTest::addColumn<QByteArray>("startFolderPage");
        QTest::addColumn<QByteArray>("sitePage");
        QTest::addColumn<QString>("shown");
        const QByteArray start = "{\\rtf1{\\fonttbl{\\f0 Arial;}}\\f0 Host {\\b gw.example} port 443\\par}";
        const QByteArray site = "{\\rtf1 Site page\\par}";
        QTest::newRow("start folder") << start << site << QStringLiteral("Host gw.example port 443");
        QTest::newRow("site") << QByteArray() << site << QStringLiteral("Site page");
        QTest::newRow("catalogue") << QByteArray() << QByteArray() << QStringLiteral("torval.site.test");
        QTest::newRow("corrupt") << QByteArray("{\\rtf1 readable part\\par {\\b {{{ \\'zz \\u-99999999999 \\")
                                 << site << QStringLiteral("readable part");
    }

    void gatewayPageComesFromTheStartFolderTheSiteOrTheCatalogue()
    {
        QFETCH(QByteArray, startFolderPage);
        QFETCH(QByteArray, sitePage);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        auto write = [&](const QString& name, const QByteArray& bytes) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        };
        if (!startFolderPage.isEmpty())
            write(QStringLiteral("Kestavane.rtf"), startFolderPage);
        if (!sitePage.isEmpty())
            write(QStringLiteral("site.rtf"), sitePage);
        const CatalogueRef catalogue =
            CCatalogue::WithSiteHosts({{"1042", "torval.site.test", 1}}, "hosts.conf");
        const QString saved = QDir::currentPath();
        QDir::setCurrent(dir.path());
        CSourceAndPortInfoDlg page(nullptr, *catalogue,
                                   dir.filePath(QStringLiteral("site.rtf")).toStdString());
        QDir::setCurrent(saved);
        QVERIFY2(page.Page()->toPlainText().contains(shown), qPrintable(page.Page()->toPlainText()));
        QVERIFY(page.Page()->isReadOnly());
    }

    void gatewayPageWrapsProseAndKeepsHostLinesWhole()
    {
        // The page written from the catalogue, where no file gives one.
        QTemporaryDir dir;
        const QString saved = QDir::currentPath();
        QDir::setCurrent(dir.path());
        CSourceAndPortInfoDlg page(nullptr, *CCatalogue::BuiltIn(), "");
        QDir::setCurrent(saved);
        QVERIFY(ShowOn(page, "main"));
        QTextDocument* document = page.Page()->document();
        QVERIFY(document->blockCount() > 40);
        int wrapped = 0;
        int hostLines = 0;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        {
            const int lines = block.layout()->lineCount();
            if (block.text().replace(QChar::Nbsp, ' ').contains(QStringLiteral(" port ")))
            {
                ++hostLines;
                QVERIFY(block.blockFormat().nonBreakableLines());
                QCOMPARE(lines, 1);
            }
            else
                wrapped += lines > 1;
        }
        int targets = 0;
        for (const ProcessorEntry& entry : ProcessorCatalogue())
            targets += entry.targetCount;
        QCOMPARE(hostLines, targets);
        QVERIFY(wrapped >= 1);                                      // the opening paragraph
        QCOMPARE(page.Page()->horizontalScrollBar()->maximum(), 0); // nothing runs off to the right
        const QRect frame = page.frameGeometry().adjusted(0, -kTitleBar, 0, 0);
        QVERIFY(frame.width() <= 1024 && frame.height() <= 768 - kPanel);
    }

    void captionsFitTheirControls()
    {
        CKestavaneDlg main;
        VerifyCaptionsFit(main.TemplateOrder(), DialogFont(MainDialogTemplate()));
        CAboutDlg about;
        VerifyCaptionsFit(about.Controls().Order(), DialogFont(AboutDialogTemplate()));
        CSourceAndPortInfoDlg page(nullptr, *CCatalogue::BuiltIn(), "");
        VerifyCaptionsFit(page.Controls().Order(), DialogFont(GatewayAccessDialogTemplate()));
    }

    void dialogFontSetsTheWindowSize()
    {
        CKestavaneDlg dlg;
        const DialogTemplate& t = MainDialogTemplate();
        QCOMPARE(dlg.font().pointSize(), 8);
        const DialogBaseUnits units = BaseUnitsOf(dlg.font());
        QCOMPARE(dlg.ScrollArea()->widget()->size(), QSize(units.X(t.width), units.Y(t.height)));
        const ControlTemplate& exit = *std::find_if(
            t.controls.begin(), t.controls.end(), [](const ControlTemplate& c) { return c.id == IDC_EXIT; });
        QCOMPARE(dlg.Control(IDC_EXIT)->geometry(),
                 QRect(units.X(exit.x), units.Y(exit.y), units.X(exit.width), units.Y(exit.height)));

        // A 1024x768 screen shows it whole, with room for a panel.
        QVERIFY(ShowOn(dlg, "main"));
        QCOMPARE(dlg.size(), dlg.ScrollArea()->widget()->size());
        QVERIFY(!dlg.ScrollArea()->horizontalScrollBar()->isVisible());
        QVERIFY(!dlg.ScrollArea()->verticalScrollBar()->isVisible());
        const QRect frame = dlg.frameGeometry().adjusted(0, -kTitleBar, 0, 0);
        QVERIFY2(frame.width() <= 1024 && frame.height() <= 768 - kPanel,
                 qPrintable(QStringLiteral("%1x%2").arg(frame.width()).arg(frame.height())));
        const QSize at96 = dlg.size();
        qInfo("main window at 96 DPI: %dx%d pixels, base units %dx%d", at96.width(), at96.height(), units.cx,
              units.cy);

        // A device-pixel ratio draws the same window with that many times the
        // pixels. The offscreen platform of Qt 6.8 keeps its screens at 1.
        CKestavaneDlg sharp;
        QVERIFY(ShowOn(sharp, "sharp"));
        const qreal ratio = sharp.devicePixelRatio();
#if QT_VERSION < QT_VERSION_CHECK(6, 8, 0)
        QCOMPARE(ratio, 2.0);
#endif
        QCOMPARE(sharp.size(), at96);
        const QPixmap pixels = sharp.grab();
        QCOMPARE(pixels.size(), at96 * ratio);
        qInfo("main window at a device-pixel ratio of %g: %dx%d pixels", ratio, pixels.width(),
              pixels.height());
    }

    void dialogFontKeepsTheBaseUnits_data()
    {
        QTest::addColumn<QStringList>("faces");
        QTest::addColumn<QString>("family"); // empty: none of the faces, the system's sans face
        QTest::newRow("a face of the metrics")
            << QStringList{QStringLiteral("No Such Face"), QStringLiteral("Liberation Sans")}
            << QStringLiteral("Liberation Sans");
        QTest::newRow("none of them") << QStringList{QStringLiteral("No Such Face")} << QString();
    }

    void dialogFontKeepsTheBaseUnits()
    {
        QFETCH(QStringList, faces);
        QFETCH(QString, family);
        const QFont font = DialogFont(MainDialogTemplate(), faces);
        // Within the template face's 6x13 at 96 DPI, the main window stays
        // within 942x648 pixels and fits a 1024x768 screen with a panel.
        const DialogBaseUnits units = BaseUnitsOf(font);
        QVERIFY2(units.cx <= 6 && units.cy <= 13,
                 qPrintable(QStringLiteral("%1: %2x%3").arg(font.toString()).arg(units.cx).arg(units.cy)));
        if (!family.isEmpty())
        {
            QCOMPARE(QFontInfo(font).family(), family);
            QCOMPARE(font.pointSizeF(), 8.0);
            return;
        }
        // As large as fits: a quarter point more would not.
        QVERIFY(font.pointSizeF() > 5.0);
        if (font.pointSizeF() < 8.0)
        {
            QFont larger = font;
            larger.setPointSizeF(font.pointSizeF() + 0.25);
            const DialogBaseUnits more = BaseUnitsOf(larger);
            QVERIFY(more.cx > 6 || more.cy > 13);
        }
        qInfo("without a face of the metrics: %s, base units %dx%d", qPrintable(QFontInfo(font).family()),
              units.cx, units.cy);
    }

    void smallScreenKeepsEveryControlReachable()
    {
        CKestavaneDlg dlg;
        QVERIFY(ShowOn(dlg, "small"));
        QVERIFY(ScreenNamed("small")->availableGeometry().contains(dlg.frameGeometry()));
        QScrollArea* scroll = dlg.ScrollArea();
        QVERIFY(scroll->horizontalScrollBar()->isVisible() && scroll->verticalScrollBar()->isVisible());

        // Tab walks every control into view.
        std::set<QWidget*> seen;
        QWidget* viewport = scroll->viewport();
        for (int i = 0; i < 200 && seen.size() < 45; ++i)
        {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus);
            if (focus->parentWidget() != scroll->widget())
                continue; // inside a control
            seen.insert(focus);
            // Whole in view; of a text control, its text cursor is what must be.
            QRect shown(focus->mapTo(viewport, QPoint(0, 0)), focus->size());
            const QRect cursor = focus->inputMethodQuery(Qt::ImCursorRectangle).toRect();
            if (cursor != focus->QWidget::inputMethodQuery(Qt::ImCursorRectangle).toRect())
                shown = QRect(focus->mapTo(viewport, cursor.topLeft()), cursor.size());
            QVERIFY2(viewport->rect().contains(shown), qPrintable(QStringLiteral("%1 at %2,%3 %4x%5 in %6x%7")
                                                                      .arg(focus->objectName())
                                                                      .arg(shown.x())
                                                                      .arg(shown.y())
                                                                      .arg(shown.width())
                                                                      .arg(shown.height())
                                                                      .arg(viewport->width())
                                                                      .arg(viewport->height())));
        }
        int focusable = 0;
        for (QWidget* w : dlg.TemplateOrder())
            focusable += w->focusPolicy() != Qt::NoFocus;
        QCOMPARE(int(seen.size()), focusable);
    }

    void messageBoxesArePlain_data()
    {
        QTest::addColumn<unsigned>("type");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("answer");
        QTest::newRow("OK") << MB_OK << int(QMessageBox::Ok) << int(QMessageBox::Ok) << IDOK;
        QTest::newRow("Yes") << MB_YESNO << int(QMessageBox::Yes | QMessageBox::No) << int(QMessageBox::Yes)
                             << IDYES;
        QTest::newRow("No") << MB_YESNO << int(QMessageBox::Yes | QMessageBox::No) << int(QMessageBox::No)
                            << IDNO;
    }

    void messageBoxesArePlain()
    {
        QFETCH(unsigned, type);
        QFETCH(int, buttons);
        QFETCH(int, press);
        QFETCH(int, answer);
        CKestavaneDlg dlg;
        // A desktop whose style puts icons on the boxes' buttons.
        const QString style = QApplication::style()->name();
        QApplication::setStyle(new CButtonIconStyle(style));
        QMessageBox::Icon icon = QMessageBox::Critical;
        QString title, text;
        int shownButtons = 0;
        QStringList withIcons;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            icon = box->icon();
            title = box->windowTitle();
            text = box->text();
            shownButtons = int(box->standardButtons());
            for (QAbstractButton* button : box->buttons())
                if (!button->icon().isNull())
                    withIcons << button->text();
            box->button(QMessageBox::StandardButton(press))->click();
        });
        const int got = dlg.MessageBox("FAILURE It appears...\r\nUse 'THIS PC'", type);
        QApplication::setStyle(style);
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(title, ApplicationName());
        QCOMPARE(text, QStringLiteral("FAILURE It appears...\nUse 'THIS PC'"));
        QCOMPARE(shownButtons, buttons);
        QCOMPARE(withIcons, QStringList());
        QCOMPARE(got, answer);
    }

    void startUpChecks_data()
    {
        QTest::addColumn<int>("socketFailure");
        QTest::addColumn<bool>("versionKnown");
        QTest::addColumn<int>("platform");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("ran");
        QTest::addColumn<bool>("win9x");
        QTest::addColumn<int>("exit");
        QTest::newRow("sockets fail")
            << int(ws2::WSASYSNOTREADY) << true << int(VER_PLATFORM_WIN32_NT)
            << QStringList{QStringLiteral("Windows sockets initialization failed.")} << false << false << 1;
        QTest::newRow("version unknown")
            << 0 << false << int(VER_PLATFORM_WIN32_NT)
            << QStringList{QStringLiteral("Failed to determine windows version...")} << true << false << 0;
        QTest::newRow("Windows 9x")
            << 0 << true << int(VER_PLATFORM_WIN32_WINDOWS)
            << QStringList{QStringLiteral(
                   "This software has extreme limitations when run on Win9X Platforms.")}
            << true << true << 0;
        QTest::newRow("Win32s") << 0 << true << int(VER_PLATFORM_WIN32s)
                                << QStringList{QStringLiteral(
                                       "This software has extreme limitations when run on Win9X Platforms.")}
                                << true << true << 0;
        QTest::newRow("NT") << 0 << true << int(VER_PLATFORM_WIN32_NT) << QStringList{} << true << false << 0;
    }

    void startUpChecks()
    {
        QFETCH(int, socketFailure);
        QFETCH(bool, versionKnown);
        QFETCH(int, platform);
        QFETCH(QStringList, boxes);
        QFETCH(bool, ran);
        QFETCH(bool, win9x);
        QFETCH(int, exit);
        ws2::SetStartupFailure(socketFailure);
        platform::SetVersionAnswer(platform::VersionAnswer{versionKnown, DWORD(platform), 4, 10});
        CKestavaneApp app;
        QStringList shown;
        bool dialogRan = false;
        bool flagBeforeDialog = false;
        app.m_showBox = [&](const QString& text) {
            shown << text;
            QVERIFY(!IsWin9x); // set only after the box has closed
        };
        app.m_runDialog = [&](CKestavaneDlg&) {
            dialogRan = true;
            flagBeforeDialog = IsWin9x;
        };
        const int status = app.InitInstance();
        ws2::SetStartupFailure(0);
        platform::SetVersionAnswer(std::nullopt);
        const bool flag = IsWin9x;
        IsWin9x = false;
        QCOMPARE(status, exit);
        QCOMPARE(shown, boxes);
        QCOMPARE(dialogRan, ran);
        QCOMPARE(flagBeforeDialog, win9x);
        QCOMPARE(flag, win9x);
    }

    void startUpBoxIsPlain()
    {
        platform::SetVersionAnswer(platform::VersionAnswer{false, VER_PLATFORM_WIN32_NT, 10, 0});
        CKestavaneApp app;
        bool ran = false;
        app.m_runDialog = [&](CKestavaneDlg&) { ran = true; };
        QString text;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->windowTitle(), ApplicationName());
            QCOMPARE(box->standardButtons(), QMessageBox::Ok);
            box->accept();
        });
        QCOMPARE(app.InitInstance(), 0);
        platform::SetVersionAnswer(std::nullopt);
        QCOMPARE(text, QStringLiteral("Failed to determine windows version..."));
        QVERIFY(ran);
        QVERIFY(!IsWin9x);
    }

    // The site's hosts file at start: absent, nothing is said; faulty or
    // unreadable, one plain box names it and the window runs on the
    // built-in hosts, taking nothing from it.
    void siteHostsFileAtStartUp_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<absent>", "<folder>" or the file
        QTest::addColumn<QString>("box");        // %1: the file's path
        QTest::newRow("absent") << QByteArray("<absent>") << QString();
        QTest::newRow("faulty") << QByteArray("S1 one.site.test\n1099 two.site.test\n")
                                << QStringLiteral(
                                       "%1:2: unknown role '1099'\nThe built-in host names are used.");
        QTest::newRow("folder") << QByteArray("<folder>")
                                << QStringLiteral("%1: cannot be read: Is a directory\n"
                                                  "The built-in host names are used.");
    }

    void siteHostsFileAtStartUp()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, box);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("hosts.conf"));
        if (content == "<folder>")
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("hosts.conf")));
        else if (content != "<absent>")
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        CKestavaneApp app;
        app.m_siteHostsFile = path.toStdString();
        QStringList shown;
        app.m_showBox = [&](const QString& text) { shown << text; };
        CatalogueRef used;
        app.m_runDialog = [&](CKestavaneDlg& dlg) { used = dlg.Catalogue(); };
        QCOMPARE(app.InitInstance(), 0);
        QCOMPARE(shown, box.isEmpty() ? QStringList() : QStringList{box.arg(path)});
        QCOMPARE(used, CCatalogue::BuiltIn());
    }

    // The placeholder roles of the site's file on loopback peers: the button
    // passes, and the gateway page lists the site's hosts.
    void placeholderRolesOnLoopbackPeersPass()
    {
        using namespace testing_support;
        PrivateNetworkOnThisThread network;
        if (!network.Entered())
            QSKIP("no network namespace for the test");
        std::vector<std::unique_ptr<ScriptedServer>> greeters;
        for (const char* address : {"127.0.3.1", "127.0.3.2", "127.0.3.3"})
            greeters.push_back(std::make_unique<ScriptedServer>(
                [](int fd) {
                    SendAll(fd, "CONNECTED\x03");
                    DrainUntilClosed(fd, 3000);
                },
                1, std::chrono::seconds(30), ListenAddress{address, 9000}));
        ws2::SetResolver([](const std::string& name) -> std::optional<in_addr> {
            const std::map<std::string, std::string> names = {{"sterling-1.site.test", "127.0.3.1"},
                                                              {"sterling-2.site.test", "127.0.3.2"},
                                                              {"sterling-3.site.test", "127.0.3.3"}};
            in_addr address{};
            if (!names.count(name) || ::inet_pton(AF_INET, names.at(name).c_str(), &address) != 1)
                return std::nullopt;
            return address;
        });
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("hosts.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("S1 sterling-1.site.test\nS2 sterling-2.site.test\nS3 sterling-3.site.test\n");
        file.close();

        CKestavaneApp app;
        app.m_siteHostsFile = path.toStdString();
        QStringList shown;
        app.m_showBox = [&](const QString& text) { shown << text; };
        QStringList lines;
        QString page;
        app.m_runDialog = [&](CKestavaneDlg& dlg) {
            Button(dlg, 1013)->click();
            QTRY_VERIFY(HistoryLines(dlg).last() == QString::fromUtf8(kClosingBanner));
            lines = HistoryLines(dlg);
            const QString saved = QDir::currentPath();
            QDir::setCurrent(dir.path());
            CSourceAndPortInfoDlg gateway(&dlg, *dlg.Catalogue(), "");
            QDir::setCurrent(saved);
            page = gateway.Page()->toPlainText();
        };
        QCOMPARE(app.InitInstance(), 0);
        QCOMPARE(shown, QStringList());
        QCOMPARE(lines.count(QStringLiteral("Connection Closed -- TEST SUCCESSFUL. ")), 3);
        QVERIFY(lines.contains(QStringLiteral("Attempting to resolve sterling-3.site.test...")));
        for (const char* host :
             {"sterling-1.site.test", "sterling-2.site.test", "sterling-3.site.test", ".conf"})
            QVERIFY2(page.contains(QString::fromUtf8(host)), host);
    }

    void screenshotOfTheMainWindow()
    {
        CKestavaneDlg dlg;
        AddToHistory(&dlg, "%s", "");
        AddToHistory(&dlg, "%-30s%s", "Screenshot:", "the main window");
        QVERIFY(ShowOn(dlg, "main"));
        dlg.move(ScreenNamed("main")->availableGeometry().center() - dlg.rect().center());

        // The history shows where the focus is: its frame changes colour.
        QPlainTextEdit* history = dlg.HistoryControl();
        const QPoint edge(0, history->height() / 2);
        Button(dlg, 1003)->setFocus(Qt::TabFocusReason);
        const QColor unfocused = history->grab().toImage().pixelColor(edge);
        history->setFocus(Qt::TabFocusReason);
        const QColor focused = history->grab().toImage().pixelColor(edge);
        QCOMPARE(focused, history->palette().color(QPalette::Highlight));
        QVERIFY(unfocused != focused);
        QVERIFY(dlg.grab().save(QStringLiteral(KV_SCREENSHOT_DIR "/main_window.png")));

        // The window where it stands on the 1024x768 screen.
        QScreen* screen = ScreenNamed("main");
        QImage desktop(screen->geometry().size(), QImage::Format_RGB32);
        desktop.fill(QColor(58, 110, 165));
        QPainter painter(&desktop);
        const QPoint at = dlg.pos() - screen->geometry().topLeft();
        painter.fillRect(QRect(at - QPoint(0, kTitleBar), QSize(dlg.width(), kTitleBar)), QColor(40, 40, 40));
        painter.setPen(Qt::white);
        painter.drawText(QRect(at - QPoint(-8, kTitleBar), QSize(dlg.width(), kTitleBar)), Qt::AlignVCenter,
                         dlg.windowTitle());
        painter.drawPixmap(at, dlg.grab());
        painter.fillRect(QRect(0, desktop.height() - kPanel, desktop.width(), kPanel), QColor(30, 30, 30));
        painter.end();
        QVERIFY(desktop.save(QStringLiteral(KV_SCREENSHOT_DIR "/screen_1024x768.png")));
        QVERIFY(QRect(QPoint(0, 0), desktop.size() - QSize(0, kPanel))
                    .contains(QRect(at - QPoint(0, kTitleBar), dlg.size() + QSize(0, kTitleBar))));
    }
};

int main(int argc, char** argv)
{
    // Screens of known size and pixel ratio for the offscreen platform.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen")
    {
        const std::string config = KV_SCREENSHOT_DIR "/app_tests_screens.json";
        std::ofstream(config) << R"({"screens": [
            {"name": "main", "x": 0, "y": 0, "width": 1024, "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
            {"name": "small", "x": 1024, "y": 0, "width": 800, "height": 600, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
            {"name": "sharp", "x": 1824, "y": 0, "width": 1024, "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 2}
        ]})";
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
    }
    QApplication application(argc, argv);
    AppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app.moc"
