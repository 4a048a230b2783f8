#include "dialog_template.h"

namespace
{
using K = ControlKind;

const DialogTemplate kMain = {
    102,
    "Kestavane",
    628,
    399,
    {
        {1000, K::History, "", 7, 7, 323, 373},
        {1, K::DefaultButton, "Exit", 571, 372, 49, 19},
        {1019, K::Button, "Check DNS", 386, 13, 49, 22},
        {1020, K::Button, "Check DHCP", 442, 13, 49, 22},
        {1021, K::Button, "URL && PORT INFO", 498, 13, 49, 22},
        {1001, K::Button, "TSYS-VITAL TNS", 335, 44, 92, 19},
        {1003, K::Button, "PAYMENTECH\rNETCONNECT", 432, 44, 92, 19},
        {1006, K::Button, "WORLDPAY-LYNK", 528, 44, 92, 19},
        {1009, K::Button, "CONCORD EFSNET", 335, 67, 92, 19},
        {1010, K::Button, "ELAVON-NOVA\r(Term)", 432, 67, 92, 19},
        {1008, K::Button, "CARDNET-BUYPASS\rNASHVILLE", 528, 67, 92, 19},
        {1011, K::Button, "MERCURY LOMBRIX", 335, 90, 92, 19},
        {1013, K::Button, "STERLING LOMBRIX", 432, 89, 92, 19},
        {1004, K::Button, "ELAVON-NOVA\r(Host)", 528, 89, 92, 19},
        {1007, K::Button, "VANTIV-5th3rd", 335, 112, 92, 19},
        {1017, K::Button, "MONERIS", 431, 112, 92, 19},
        {1016, K::Button, "HEARTLAND EXCHANGE", 528, 112, 92, 19},
        {1015, K::Button, "GLOBAL ADVANTAGE", 335, 135, 92, 19},
        {1022, K::Button, "ALLIANCE DATA", 432, 135, 92, 19},
        {1012, K::Button, "MERCURY GIFT", 335, 186, 92, 19},
        {1014, K::Button, "STERLING GIFT", 431, 186, 92, 19},
        {1023, K::Button, "SVS GIFT TNS", 528, 186, 92, 19},
        {1026, K::Button, "CHOCKSTONE\rHEARTLAND GIFT", 335, 208, 92, 19},
        {1028, K::Button, "EPI GIFT", 431, 208, 92, 19},
        {1030, K::Button, "PROFIT POINT GIFT", 528, 208, 92, 19},
        {1031, K::Button, "UNIPERK GIFT", 335, 231, 92, 19},
        {1032, K::Button, "CARDDOG GIFT", 431, 231, 92, 19},
        {1033, K::Button, "SPARKBASE GIFT", 528, 231, 92, 19},
        {1034, K::Button, "STS GIFT", 335, 253, 92, 19},
        {1035, K::Button, "WORLD GIFT", 431, 253, 92, 19},
        {1036, K::Button, "OPTICARD GIFT", 528, 253, 92, 19},
        {1037, K::Button, "GIVEX GIFT", 335, 275, 92, 19},
        {1038, K::Button, "SECUREPAY GIFT", 431, 275, 92, 19},
        {1039, K::Button, "WORLDPAY-LYNK GIFT", 528, 275, 92, 19},
        {1040, K::Button, "VALUELINK GIFT", 335, 297, 92, 19},
        {1041, K::Button, "VALUTEC-MELLENIA GIFT", 431, 297, 92, 19},
        {-1, K::Label, "Server", 344, 334, 22, 8},
        {1027, K::Edit, "", 340, 344, 118, 15},
        {-1, K::Label, "Port", 470, 333, 14, 8},
        {1029, K::Edit, "", 466, 344, 40, 14},
        {1024, K::Button, "Run TEST", 522, 344, 62, 14},
        {1018, K::Button, "Clear History", 336, 372, 49, 19},
        {1002, K::Button, "THIS PC", 400, 372, 49, 19},
        {1042, K::Button, "TORVAL Connect Test", 465, 372, 92, 19},
        {-1, K::GroupBox, "Manual Test", 335, 320, 268, 47},
        {-1, K::GroupBox, "Preliminary Tests (Do This First!)", 373, 3, 188, 38},
        {1025, K::Button, "HEARTLAND PORTICO", 528, 135, 92, 19},
        {1043, K::Button, "FDMS RAPIDCONNECT", 335, 158, 92, 19},
    },
};

const DialogTemplate kAbout = {
    100,
    "About Kestavane",
    235,
    55,
    {
        {-1, K::Icon, "", 11, 17, 21, 20},
        {-1, K::Label, "Kestavane Version 2.10", 40, 10, 119, 8},
        {-1, K::Label, "Reachability of payment processors", 40, 25, 119, 8},
        {1, K::DefaultButton, "OK", 178, 7, 50, 16},
    },
};

const DialogTemplate kGatewayAccess = {
    129,
    "Gateway Access",
    465,
    298,
    {
        {1, K::DefaultButton, "OK", 174, 266, 50, 22},
        {2, K::Button, "Cancel", 241, 266, 50, 22},
        {1020, K::RichEdit, "", 7, 7, 443, 252},
    },
};
} // namespace

const DialogTemplate& MainDialogTemplate() { return kMain; }
const DialogTemplate& AboutDialogTemplate() { return kAbout; }
const DialogTemplate& GatewayAccessDialogTemplate() { return kGatewayAccess; }
