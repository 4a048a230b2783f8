// Application-wide facts found once at start-up.
#pragma once

// The platform is of the Windows 9x family (platform id below 2).
extern bool IsWin9x;

// Queries the platform version and sets IsWin9x; false when the query fails.
bool InitPlatformFlags();
