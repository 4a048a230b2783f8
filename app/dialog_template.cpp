#include "dialog_template.h"

namespace
{
using K = ControlKind;

const DialogTemplate kMain = {
    102,
    "Kestavane",
    "MS Sans Serif",
    8,
    628,
    399,
    {
        {IDC_HISTORY, K::History, "", 7, 7, 323, 373},
        {IDC_EXIT, K::FlatDefaultButton, "Exit", 571, 372, 49, 19},
        {IDC_CHECK_DNS, K::FlatButton, "Check DNS", 386, 13, 49, 22},
        {IDC_CHECK_DHCP, K::FlatButton, "Check DHCP", 442, 13, 49, 22},
        {IDC_URL_PORT_INFO, K::FlatButton, "URL && PORT INFO", 498, 13, 49, 22},
        {1001, K::FlatButton, "TSYS-VITAL TNS", 335, 44, 92, 19},
        {1003, K::FlatButton, "PAYMENTECH\rNETCONNECT", 432, 44, 92, 19},
        {1006, K::FlatButton, "WORLDPAY-LYNK", 528, 44, 92, 19},
        {1009, K::FlatButton, "CONCORD EFSNET", 335, 67, 92, 19},
        {IDC_NOVA_TERM, K::FlatButton, "ELAVON-NOVA\r(Term)", 432, 67, 92, 19},
        {1008, K::FlatButton, "CARDNET-BUYPASS\rNASHVILLE", 528, 67, 92, 19},
        {1011, K::FlatButton, "MERCURY LOMBRIX", 335, 90, 92, 19},
        {1013, K::FlatButton, "STERLING LOMBRIX", 432, 89, 92, 19},
        {1004, K::FlatButton, "ELAVON-NOVA\r(Host)", 528, 89, 92, 19},
        {1007, K::FlatButton, "VANTIV-5th3rd", 335, 112, 92, 19},
        {1017, K::FlatButton, "MONERIS", 431, 112, 92, 19},
        {1016, K::FlatButton, "HEARTLAND EXCHANGE", 528, 112, 92, 19},
        {1015, K::FlatButton, "GLOBAL ADVANTAGE", 335, 135, 92, 19},
        {1022, K::FlatButton, "ALLIANCE DATA", 432, 135, 92, 19},
        {1012, K::FlatButton, "MERCURY GIFT", 335, 186, 92, 19},
        {1014, K::FlatButton, "STERLING GIFT", 431, 186, 92, 19},
        {1023, K::FlatButton, "SVS GIFT TNS", 528, 186, 92, 19},
        {1026, K::FlatButton, "CHOCKSTONE\rHEARTLAND GIFT", 335, 208, 92, 19},
        {1028, K::FlatButton, "EPI GIFT", 431, 208, 92, 19},
        {1030, K::FlatButton, "PROFIT POINT GIFT", 528, 208, 92, 19},
        {1031, K::FlatButton, "UNIPERK GIFT", 335, 231, 92, 19},
        {1032, K::FlatButton, "CARDDOG GIFT", 431, 231, 92, 19},
        {1033, K::FlatButton, "SPARKBASE GIFT", 528, 231, 92, 19},
        {1034, K::FlatButton, "STS GIFT", 335, 253, 92, 19},
        {1035, K::FlatButton, "WORLD GIFT", 431, 253, 92, 19},
        {1036, K::FlatButton, "OPTICARD GIFT", 528, 253, 92, 19},
        {1037, K::FlatButton, "GIVEX GIFT", 335, 275, 92, 19},
        {1038, K::FlatButton, "SECUREPAY GIFT", 431, 275, 92, 19},
        {1039, K::FlatButton, "WORLDPAY-LYNK GIFT", 528, 275, 92, 19},
        {1040, K::FlatButton, "VALUELINK GIFT", 335, 297, 92, 19},
        {1041, K::FlatButton, "VALUTEC-MELLENIA GIFT", 431, 297, 92, 19},
        {IDC_NONE, K::Label, "Server", 344, 334, 22, 8},
        {IDC_SERVER, K::Edit, "", 340, 344, 118, 15},
        {IDC_NONE, K::Label, "Port", 470, 333, 14, 8},
        {IDC_PORT, K::Edit, "", 466, 344, 40, 14},
        {IDC_RUN_TEST, K::FlatButton, "Run TEST", 522, 344, 62, 14},
        {IDC_CLEAR_HISTORY, K::FlatButton, "Clear History", 336, 372, 49, 19},
        {IDC_THIS_PC, K::FlatButton, "THIS PC", 400, 372, 49, 19},
        {1042, K::FlatButton, "TORVAL Connect Test", 465, 372, 92, 19},
        {IDC_NONE, K::GroupBox, "Manual Test", 335, 320, 268, 47},
        {IDC_NONE, K::GroupBox, "Preliminary Tests (Do This First!)", 373, 3, 188, 38},
        {1025, K::FlatButton, "HEARTLAND PORTICO", 528, 135, 92, 19},
        {1043, K::FlatButton, "FDMS RAPIDCONNECT", 335, 158, 92, 19},
    },
};

const DialogTemplate kAbout = {
    100,
    "About Kestavane",
    "MS Shell Dlg",
    8,
    235,
    55,
    {
        {IDC_NONE, K::Icon, "", 11, 17, 21, 20},
        {IDC_NONE, K::Label, "Kestavane Version 2.10", 40, 10, 119, 8},
        {IDC_NONE, K::Label, "Reachability of payment processors", 40, 25, 119, 8},
        {IDC_OK, K::DefaultButton, "OK", 178, 7, 50, 16},
    },
};

const DialogTemplate kGatewayAccess = {
    129,
    "Gateway Access",
    "MS Shell Dlg",
    8,
    465,
    298,
    {
        {IDC_OK, K::FlatDefaultButton, "OK", 174, 266, 50, 22},
        {IDC_CANCEL, K::FlatButton, "Cancel", 241, 266, 50, 22},
        {IDC_GATEWAY_PAGE, K::RichEdit, "", 7, 7, 443, 252},
    },
};
} // namespace

const DialogTemplate& MainDialogTemplate() { return kMain; }
const DialogTemplate& AboutDialogTemplate() { return kAbout; }
const DialogTemplate& GatewayAccessDialogTemplate() { return kGatewayAccess; }
