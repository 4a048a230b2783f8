// The window's event loop while a press waits 10 s on a loopback peer that
// accepts and never speaks: the longest gap between two turns of the loop,
// as a 5 ms timer on the window's thread sees it, from the click until the
// press returns.
#include "dialog_template.h"
#include "kestavane_dlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    // The silent peer: the kernel completes the connection, nobody answers.
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(peer, 4) != 0 ||
        ::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        std::perror("listen");
        return 1;
    }

    CKestavaneDlg dlg;
    dlg.show();
    qobject_cast<QLineEdit*>(dlg.Control(IDC_SERVER))->setText(QStringLiteral("127.0.0.1"));
    qobject_cast<QLineEdit*>(dlg.Control(IDC_PORT))->setText(QString::number(ntohs(address.sin_port)));

    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    int turns = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        ++turns;
    });
    tick.start();
    clock.start();
    qobject_cast<QPushButton*>(dlg.Control(IDC_RUN_TEST))->click();
    const qint64 pressed = clock.nsecsElapsed();
    longest = std::max(longest, pressed - last);
    ::close(peer);

    std::printf("press: %.1f s, %d timer turns\nlongest gap between turns of the event loop: %.1f ms\n",
                static_cast<double>(pressed) / 1e9, turns, static_cast<double>(longest) / 1e6);
    return 0;
}
