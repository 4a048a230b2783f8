// What the program's windows share: the icon, the application's name, the
// dialog font and its base units, and the plain message box.
#pragma once

#include "dialog_template.h"

#include <QFont>
#include <QIcon>
#include <QString>
#include <memory>
#include <string>

class QMessageBox;
class QWidget;

QIcon KestavaneIcon();

// The application's name: the executable's file name, as message boxes are captioned.
QString ApplicationName();

// The template's font: its face where this system has it, else a sans face
// of the same metrics, at the template's point size. Points become pixels
// through the screen's logical DPI, and the device-pixel ratio scales those.
QFont DialogFont(const DialogTemplate& t);

// The average character width and the height of `font`, as the platform
// derives a dialog's base units.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A box as the platform shows the program's own: no icon, captioned with
// the application's name, OK or (MB_YESNO) Yes and No. CR LF breaks a line.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const std::string& text, unsigned type);

// Shows the box modally; returns IDOK, IDYES or IDNO.
int ShowMessageBox(QWidget* parent, const std::string& text, unsigned type);
