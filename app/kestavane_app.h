// Start-up: the socket library check, the version query, the site's host
// names, and the main dialog run modally; the program ends when it closes.
#pragma once

#include "catalogue.h"

#include <QString>
#include <functional>
#include <string>

class CKestavaneDlg;

class CKestavaneApp
{
public:
    // Returns the process's exit status.
    int InitInstance();

    // What start-up shows and runs; tests put their own in place.
    std::function<void(const QString& text)> m_showBox;
    std::function<void(CKestavaneDlg& dialog)> m_runDialog;
    // The site hosts file read at start; tests name their own.
    std::string m_siteHostsFile = kSiteHostsFile;
};
