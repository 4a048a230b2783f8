// A provider module whose entry point gives no table.
#include "sspi.h"

extern "C" __attribute__((visibility("default"))) SecurityFunctionTableA* InitSecurityInterfaceA()
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
