// One builder from a dialog template to widgets, used by every window of
// the program: each control at its rectangle, mapped through the dialog
// font's base units, in template (tab) order.
#pragma once

#include "dialog_template.h"

#include <QSize>
#include <Qt>
#include <map>
#include <vector>

class QDialog;
class QWidget;

// Title, icon, font, frame and the controls' look of a window of template
// `t`. `flags` adds the window's own title-bar buttons.
void SetUpDialog(QDialog* dialog, const DialogTemplate& t, Qt::WindowFlags flags);

class CTemplateControls
{
public:
    // Builds every control of `t` on `surface`, whose font is the dialog font.
    CTemplateControls(QWidget* surface, const DialogTemplate& t);

    QWidget* Control(int id) const;
    template <class T> T* Get(int id) const { return qobject_cast<T*>(Control(id)); }
    // Every control built, in template order, with an id or without.
    const std::vector<QWidget*>& Order() const { return m_order; }
    // The template's whole size in pixels.
    QSize Size() const { return m_size; }

private:
    std::map<int, QWidget*> m_byId;
    std::vector<QWidget*> m_order;
    QSize m_size;
};
