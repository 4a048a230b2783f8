// The dialog templates of the program's windows: controls in template (tab)
// order with their rectangles in dialog units. Plain data, no toolkit.
#pragma once

#include <vector>

enum class ControlKind
{
    Button,        // flat, multi-line push button
    DefaultButton, // the default push button
    Edit,          // single-line edit
    History,       // the multi-line read-only history edit
    RichEdit,      // the read-only rich-text page
    Label,
    GroupBox,
    Icon
};

struct ControlTemplate
{
    int id; // -1 for controls without an id
    ControlKind kind;
    const char* caption; // a carriage return breaks a caption; "&&" shows one ampersand
    int x, y, width, height;
};

struct DialogTemplate
{
    int id;
    const char* title;
    int width, height;
    std::vector<ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();        // 102
const DialogTemplate& AboutDialogTemplate();       // 100
const DialogTemplate& GatewayAccessDialogTemplate(); // 129

// Dialog units to pixels through the dialog font's base units, as the
// platform's MapDialogRect does.
struct DialogBaseUnits
{
    int cx;
    int cy;
    int X(int du) const { return (du * cx + 2) / 4; }
    int Y(int du) const { return (du * cy + 4) / 8; }
};
