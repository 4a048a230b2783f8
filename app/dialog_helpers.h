// What the program's windows share: the icon, the application's name, the
// dialog font and its base units, and the plain message box.
#pragma once

#include "dialog_template.h"

#include <QFont>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>

class QMessageBox;
class QWidget;

QIcon KestavaneIcon();

// The application's name: the executable's file name, as message boxes are captioned.
QString ApplicationName();

// The template's font: the first of `faces` this system has, at the
// template's point size; without any of them the system's sans face, at the
// size whose base units stay within the template face's (6x13 at 96 DPI), so
// the windows keep their size. Points become pixels through the screen's
// logical DPI, and the device-pixel ratio scales those.
QFont DialogFont(const DialogTemplate& t, const QStringList& faces);
// With the template's face, else a face of the same metrics.
QFont DialogFont(const DialogTemplate& t);

// The average character width and the height of `font`, as the platform
// derives a dialog's base units.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A box as the platform shows the program's own: no icon, captioned with
// the application's name, OK or (MB_YESNO) Yes and No. CR LF breaks a line.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const std::string& text, unsigned type);

// Shows the box modally; returns IDOK, IDYES or IDNO.
int ShowMessageBox(QWidget* parent, const std::string& text, unsigned type);
