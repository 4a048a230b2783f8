// A provider module that refuses every credentials request.
#include "sspi.h"

namespace
{
SECURITY_STATUS WINAPI Refuse(char*, char*, ULONG, void*, void*, SEC_GET_KEY_FN, void*, CredHandle*,
                              TimeStamp*)
{
    return SEC_E_NO_CREDENTIALS;
}
SECURITY_STATUS WINAPI Nothing(CredHandle*) { return SEC_E_OK; }
SecurityFunctionTableA g_table = [] {
    SecurityFunctionTableA table{};
    table.AcquireCredentialsHandleA = Refuse;
    table.FreeCredentialsHandle = Nothing;
    return table;
}();
} // namespace

extern "C" __attribute__((visibility("default"))) SecurityFunctionTableA* InitSecurityInterfaceA()
{
    return &g_table;
}
