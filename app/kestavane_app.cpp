#include "kestavane_app.h"

#include "app_flags.h"
#include "dialog_helpers.h"
#include "history.h"
#include "kestavane_dlg.h"
#include "version.h"
#include "ws2.h"

#include <cstdlib>

int CKestavaneApp::InitInstance()
{
    auto box = [this](const QString& text) {
        if (m_showBox)
            m_showBox(text);
        else
            ShowMessageBox(nullptr, text.toStdString(), MB_OK);
    };

    ws2::WSADATA data{};
    if (ws2::WSAStartup(0x0101, &data) != 0)
    {
        box(QStringLiteral("Windows sockets initialization failed."));
        return 1;
    }

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        box(QStringLiteral("Failed to determine windows version..."));
    else if (info.dwPlatformId < VER_PLATFORM_WIN32_NT)
    {
        box(QStringLiteral("This software has extreme limitations when run on Win9X Platforms."));
        IsWin9x = true;
    }

    // A faulty site file is shown once and left out whole: the window runs
    // with the built-in host names.
    const SiteCatalogue site = LoadSiteCatalogue(m_siteHostsFile, true);
    if (!site.problem.empty())
        box(QString::fromStdString(site.problem + "\nThe built-in host names are used."));

    {
        CKestavaneDlg dialog;
        dialog.SetCatalogue(site.catalogue);
        // A closed window's press stuck outside its waits does not keep the program.
        dialog.m_onPressStuck = [] { std::_Exit(EXIT_SUCCESS); };
        if (m_runDialog)
            m_runDialog(dialog);
        else
            dialog.exec();
    }
    ws2::WSACleanup();
    return 0;
}
