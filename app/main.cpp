#include "dialog_helpers.h"
#include "kestavane_app.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(ApplicationName());
    QApplication::setWindowIcon(KestavaneIcon());
    CKestavaneApp theApp;
    return theApp.InitInstance();
}
