#include "winuser.h"

#include <atomic>

namespace
{
std::atomic<platform::CWindowSystem*> g_system{nullptr};
}

void platform::SetWindowSystem(CWindowSystem* system) { g_system.store(system); }

HWND FindWindowA(const char* className, const char* windowName)
{
    platform::CWindowSystem* system = g_system.load();
    return system ? system->FindTopLevel(className, windowName) : nullptr;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM value)
{
    platform::CWindowSystem* system = g_system.load();
    if (system == nullptr || proc == nullptr || !system->Exists(parent))
        return FALSE;
    system->EnumDescendants(parent, proc, value);
    return TRUE;
}

int GetClassNameA(HWND window, char* className, int maxCount)
{
    platform::CWindowSystem* system = g_system.load();
    int length = 0;
    if (system == nullptr || className == nullptr || maxCount <= 0 ||
        !system->ClassName(window, className, maxCount, &length))
        return 0;
    return length;
}

BOOL IsWindow(HWND window)
{
    platform::CWindowSystem* system = g_system.load();
    return system && window && system->Exists(window);
}

BOOL IsWindowVisible(HWND window)
{
    platform::CWindowSystem* system = g_system.load();
    return system && window && system->Exists(window) && system->Visible(window);
}
