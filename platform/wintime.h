// Millisecond tick counter and sleep, with the platform's 32-bit wrap.
#pragma once

#include "windef.h"

DWORD GetTickCount();
void Sleep(DWORD milliseconds);

namespace platform
{
// Shifts what GetTickCount reports, so tests can run a wait across the wrap.
void SetTickCountOffset(DWORD offset);
} // namespace platform
