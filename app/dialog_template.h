// The dialog templates of the program's windows: controls in template (tab)
// order with their rectangles in dialog units. Plain data, no toolkit.
#pragma once

#include <vector>

// Control ids, as the windows' code refers to them. The processor buttons
// are named by the catalogue's ids.
constexpr int IDC_OK = 1;     // the platform's OK command
constexpr int IDC_CANCEL = 2; // the platform's Cancel command
constexpr int IDC_EXIT = IDC_OK;
constexpr int IDC_HISTORY = 1000;
constexpr int IDC_THIS_PC = 1002;
constexpr int IDC_NOVA_TERM = 1010;
constexpr int IDC_CLEAR_HISTORY = 1018;
constexpr int IDC_CHECK_DNS = 1019;
constexpr int IDC_CHECK_DHCP = 1020;
constexpr int IDC_URL_PORT_INFO = 1021;
constexpr int IDC_RUN_TEST = 1024;
constexpr int IDC_SERVER = 1027;
constexpr int IDC_PORT = 1029;
constexpr int IDC_GATEWAY_PAGE = 1020; // in the "Gateway Access" window
constexpr int IDC_NONE = -1;           // labels, group boxes, the icon

enum class ControlKind
{
    FlatButton,        // flat, multi-line push button
    FlatDefaultButton, // flat, single-line, the default push button
    DefaultButton,     // the default push button
    Edit,              // single-line edit
    History,           // the multi-line read-only history edit
    RichEdit,          // the read-only rich-text page
    Label,
    GroupBox,
    Icon
};

constexpr bool IsPushButton(ControlKind kind)
{
    return kind == ControlKind::FlatButton || kind == ControlKind::FlatDefaultButton ||
           kind == ControlKind::DefaultButton;
}

struct ControlTemplate
{
    int id;
    ControlKind kind;
    const char* caption; // a carriage return breaks a caption; "&&" shows one ampersand
    int x, y, width, height;
};

struct DialogTemplate
{
    int id;
    const char* title;
    const char* fontFace;
    int pointSize;
    int width, height;
    std::vector<ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();          // 102
const DialogTemplate& AboutDialogTemplate();         // 100
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
