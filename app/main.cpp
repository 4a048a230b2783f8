#include "dialog_helpers.h"
#include "kestavane_app.h"
#include "std_descriptors.h"

#include <QApplication>

int main(int argc, char** argv)
{
    if (!platform::OpenStandardDescriptors())
        return 3;
    QApplication application(argc, argv);
    QApplication::setApplicationName(ApplicationName());
    QApplication::setWindowIcon(KestavaneIcon());
    CKestavaneApp theApp;
    return theApp.InitInstance();
}
