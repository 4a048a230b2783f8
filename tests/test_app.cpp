// The window under the offscreen platform.
#include "app_flags.h"
#include "catalogue.h"
#include "gateway_dlg.h"
#include "kestavane_app.h"
#include "kestavane_dlg.h"
#include "version.h"
#include "ws2.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

QStringList HistoryLines(const CKestavaneDlg& dlg)
{
    QString text = QString::fromStdString(dlg.HistoryText());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}

QPushButton* Button(CKestavaneDlg& dlg, int id) { return qobject_cast<QPushButton*>(dlg.Control(id)); }
} // namespace

class AppTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { ws2::SetResolver(nullptr); }

    void everyControlOfTheTemplateInTabOrder()
    {
        CKestavaneDlg dlg;
        const auto& controls = MainDialogTemplate().controls;
        for (const ControlTemplate& c : controls)
        {
            if (c.kind != ControlKind::Button && c.kind != ControlKind::DefaultButton)
                continue;
            QPushButton* button = Button(dlg, c.id);
            QVERIFY2(button, qPrintable(QString::number(c.id)));
            QString shown = button->text();
            QCOMPARE(shown.replace('\n', ' '), QString::fromUtf8(c.caption).replace('\r', ' '));
            QVERIFY(button->isEnabled()); // every Part is built
        }
        QVERIFY(Button(dlg, 1)->isDefault());
        QVERIFY(Button(dlg, 1021)->text().contains('\n')); // too wide for one line: wrapped, as the template's
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Kestavane"));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize()); // not resizable
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!dlg.windowIcon().isNull());

        // Tab order is template order.
        std::vector<QWidget*> focusable;
        for (QWidget* w : dlg.TemplateOrder())
            if (w->focusPolicy() != Qt::NoFocus)
                focusable.push_back(w);
        QWidget* at = focusable.front();
        for (size_t i = 1; i < focusable.size(); ++i)
        {
            at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus || at->parentWidget() != &dlg)
                at = at->nextInFocusChain();
            QCOMPARE(at, focusable[i]);
        }
    }

    void historyControlIsTheLiveViewOfTheHistory()
    {
        CKestavaneDlg dlg;
        QPlainTextEdit* history = dlg.HistoryControl();
        QVERIFY(history->isReadOnly());
        QCOMPARE(history->lineWrapMode(), QPlainTextEdit::NoWrap);
        QVERIFY(history->font().fixedPitch() || QFontInfo(history->font()).fixedPitch());
        {
            CTestFrame frame(&dlg);
            AddToHistory(&dlg, "%-30s%s", "Adapter Name:", "eth0");
        }
        QCOMPARE(history->toPlainText().split('\n'), HistoryLines(dlg));
        Button(dlg, 1018)->click(); // Clear History
        QCOMPARE(dlg.HistoryText(), std::string());
        QCOMPARE(history->toPlainText(), QString());
        AddToHistory(&dlg, "after");
        QCOMPARE(history->toPlainText(), QStringLiteral("after"));
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
        AddToHistory(&dlg, "%s", std::string(40, 'y').c_str()); // No: everything kept, the control holds what it took
        QCOMPARE(asked.size(), 3);
        QCOMPARE(dlg.HistoryText(), "x\r\n" + std::string(40, 'y') + "\r\n");
        QCOMPARE(dlg.HistoryControl()->toPlainText(), QStringLiteral("x\n") + QString(27, 'y'));
    }

    void runTestWritesTheFramedFailure()
    {
        CKestavaneDlg dlg;
        const int port = ClosedLoopbackPort();
        qobject_cast<QLineEdit*>(dlg.Control(1027))->setText(QStringLiteral("localhost"));
        qobject_cast<QLineEdit*>(dlg.Control(1029))->setText(QString::number(port));
        Button(dlg, 1024)->click();
        const QStringList lines = HistoryLines(dlg);
        QCOMPARE(lines.value(1), QString::fromUtf8(kOpeningBanner).mid(2));
        QCOMPARE(lines.value(2), QString::fromUtf8(kPlainSeparator));
        QCOMPARE(lines.value(3), QStringLiteral("Attempting USER DEFINED GATEWAY AND PORT"));
        QCOMPARE(lines.value(lines.size() - 3),
                 QStringLiteral("** FAILED to Connect to USER DEFINED GATEWAY AND PORT! ** Socket Connect to USER "
                                "DEFINED GATEWAY AND PORT Failed."));
        QCOMPARE(lines.last(), QString::fromUtf8(kClosingBanner));
        QCOMPARE(dlg.HistoryControl()->toPlainText().split('\n'), lines);
    }

    void catalogueAndTerminalButtonsRunTheirTests()
    {
        ws2::SetResolver([](const std::string&) { return std::optional<in_addr>(); }); // nothing leaves this PC
        CKestavaneDlg dlg;
        Button(dlg, 1003)->click();
        QStringList lines = HistoryLines(dlg);
        QCOMPARE(lines.value(2), QString::fromUtf8(NumberedSeparator(1)));
        QCOMPARE(lines.value(3), QStringLiteral("Attempting PAYMENTECH NETCONNECT Primary"));
        QVERIFY(!lines.contains(QString::fromUtf8(NumberedSeparator(2))));
        dlg.ClearHistory();
        Button(dlg, 1002)->click(); // THIS PC
        lines = HistoryLines(dlg);
        QCOMPARE(lines.value(3), QStringLiteral("Loading IpHlpApi.dll..."));
        QCOMPARE(lines.value(4), QStringLiteral("Attempting to Read Ip Configuration..."));
        dlg.ClearHistory();
        Button(dlg, 1010)->click();
        lines = HistoryLines(dlg);
        QCOMPARE(lines.mid(3, 2), (QStringList{QStringLiteral("Attempting NOVA API..."),
                                               QStringLiteral("Error -- NOVA API DLL Not Loaded!")}));
        QVERIFY(dlg.isEnabled());
    }

    void urlAndPortInfoOpensTheGatewayPage()
    {
        CKestavaneDlg dlg;
        QString title;
        QTimer::singleShot(100, [&] {
            QWidget* page = QApplication::activeModalWidget();
            QVERIFY(page && page != &dlg);
            title = page->windowTitle();
            qobject_cast<QDialog*>(page)->reject();
        });
        Button(dlg, 1021)->click();
        QCOMPARE(title, QStringLiteral("Gateway Access"));
        QCOMPARE(dlg.HistoryText(), std::string()); // it writes nothing to the history
    }

    void enterAndEscapeClose()
    {
        for (int key : {int(Qt::Key_Return), int(Qt::Key_Escape)})
        {
            CKestavaneDlg dlg;
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            QTest::keyClick(&dlg, Qt::Key(key));
            QVERIFY(!dlg.isVisible());
            QCOMPARE(dlg.result(), key == Qt::Key_Return ? int(QDialog::Accepted) : int(QDialog::Rejected));
        }
    }

    void contextMenuOffersTheAboutBox()
    {
        CKestavaneDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QString aboutText;
        QTimer::singleShot(100, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QCOMPARE(menu->actions().size(), 2);
            QVERIFY(menu->actions()[0]->isSeparator());
            QCOMPARE(menu->actions()[1]->text(), QStringLiteral("&About Kestavane..."));
            QTimer::singleShot(100, [&] {
                QWidget* about = QApplication::activeModalWidget();
                QVERIFY(about && about != &dlg);
                for (QLabel* label : about->findChildren<QLabel*>())
                    aboutText += label->text() + "|";
                qobject_cast<QDialog*>(about)->accept();
            });
            menu->actions()[1]->trigger();
            menu->close();
        });
        // The background between the button columns and the history.
        const QPoint background(dlg.width() - 5, dlg.height() / 2);
        QContextMenuEvent event(QContextMenuEvent::Mouse, background, dlg.mapToGlobal(background));
        QApplication::sendEvent(&dlg, &event);
        QVERIFY(aboutText.contains(QStringLiteral("Kestavane Version 2.10|")));
    }

    void gatewayPageShowsTheFileOfTheCurrentFolder()
    {
        QTemporaryDir dir;
        const QString saved = QDir::currentPath();
        QDir::setCurrent(dir.path());
        {
            CSourceAndPortInfoDlg absent;
            QCOMPARE(absent.Page()->toPlainText(), QString());
            QVERIFY(absent.Page()->isReadOnly());
        }
        QFile file(dir.filePath(QStringLiteral("Kestavane.rtf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\\rtf1{\\fonttbl{\\f0 Arial;}}\\f0 Host {\\b gw.example} port 443\\par}");
        file.close();
        {
            CSourceAndPortInfoDlg present;
            QCOMPARE(present.Page()->toPlainText().trimmed(), QStringLiteral("Host gw.example port 443"));
        }
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\\rtf1 readable part\\par {\\b {{{ \\'zz \\u-99999999999 \\");
        file.close();
        {
            CSourceAndPortInfoDlg corrupt;
            QVERIFY(corrupt.Page()->toPlainText().startsWith(QStringLiteral("readable part")));
        }
        QDir::setCurrent(saved);
    }

    void startUpChecks()
    {
        {
            ws2::SetStartupFailure(ws2::WSASYSNOTREADY);
            CKestavaneApp app;
            QStringList boxes;
            bool ran = false;
            app.m_showBox = [&](const QString& text) { boxes << text; };
            app.m_runDialog = [&](CKestavaneDlg&) { ran = true; };
            QCOMPARE(app.InitInstance(), 1);
            ws2::SetStartupFailure(0);
            QCOMPARE(boxes, QStringList{QStringLiteral("Windows sockets initialization failed.")});
            QVERIFY(!ran);
        }
        {
            platform::SetVersionAnswer(platform::VersionAnswer{true, VER_PLATFORM_WIN32_WINDOWS, 4, 10});
            CKestavaneApp app;
            QStringList boxes;
            bool ran = false;
            app.m_showBox = [&](const QString& text) { boxes << text; };
            app.m_runDialog = [&](CKestavaneDlg&) { ran = IsWin9x; };
            QCOMPARE(app.InitInstance(), 0);
            platform::SetVersionAnswer(std::nullopt);
            IsWin9x = false;
            QCOMPARE(boxes, QStringList{QStringLiteral("This software has extreme limitations when run on Win9X Platforms.")});
            QVERIFY(ran);
        }
    }

    void screenshotOfTheMainWindow()
    {
        CKestavaneDlg dlg;
        AddToHistory(&dlg, "%s", "");
        AddToHistory(&dlg, "%-30s%s", "Screenshot:", "the main window");
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QString path = QStringLiteral(KV_SCREENSHOT_DIR "/main_window.png");
        QVERIFY(dlg.grab().save(path));
    }
};

QTEST_MAIN(AppTest)
#include "test_app.moc"
