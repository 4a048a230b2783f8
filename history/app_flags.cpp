#include "app_flags.h"

#include "version.h"

bool IsWin9x = false;

bool InitPlatformFlags()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return false;
    IsWin9x = info.dwPlatformId < VER_PLATFORM_WIN32_NT;
    return true;
}
