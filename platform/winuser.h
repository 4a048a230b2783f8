// Window search of the platform's user interface. Linux has no windows of
// another program's classes to find, so the real search finds none; tests
// supply a window tree through the seam below.
#pragma once

#include "windef.h"

#include <cstdint>

typedef intptr_t LPARAM;
typedef BOOL (*WNDENUMPROC)(HWND window, LPARAM value);

HWND FindWindowA(const char* className, const char* windowName);
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM value);
int GetClassNameA(HWND window, char* className, int maxCount);
BOOL IsWindow(HWND window);
BOOL IsWindowVisible(HWND window);

namespace platform
{
// What the window functions ask of a desktop.
class CWindowSystem
{
public:
    virtual ~CWindowSystem() = default;
    virtual HWND FindTopLevel(const char* className, const char* windowName) = 0;
    // Calls proc for every descendant of parent, depth first, until proc returns FALSE.
    virtual void EnumDescendants(HWND parent, WNDENUMPROC proc, LPARAM value) = 0;
    virtual bool ClassName(HWND window, char* out, int maxCount, int* length) = 0;
    virtual bool Exists(HWND window) = 0;
    virtual bool Visible(HWND window) = 0;
};
// nullptr restores the real desktop, which holds no such windows.
void SetWindowSystem(CWindowSystem* system);
} // namespace platform
