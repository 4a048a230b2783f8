#include "version.h"

#include <cstring>
#include <mutex>

namespace
{
std::mutex g_mutex;
std::optional<platform::VersionAnswer> g_answer;
} // namespace

void platform::SetVersionAnswer(std::optional<VersionAnswer> answer)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answer = answer;
}

BOOL GetVersionExA(OSVERSIONINFOA* info)
{
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    platform::VersionAnswer answer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_answer)
            answer = *g_answer;
    }
    if (!answer.succeeds)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = answer.major;
    info->dwMinorVersion = answer.minor;
    info->dwBuildNumber = 0;
    info->dwPlatformId = answer.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}
