// Start-up: the socket library check, the version query and the main
// dialog run modally; the program ends when it closes.
#pragma once

#include <QString>
#include <functional>

class CKestavaneDlg;

class CKestavaneApp
{
public:
    // Returns the process's exit status.
    int InitInstance();

    // What start-up shows and runs; tests put their own in place.
    std::function<void(const QString& text)> m_showBox;
    std::function<void(CKestavaneDlg& dialog)> m_runDialog;
};
