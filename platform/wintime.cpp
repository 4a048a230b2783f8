#include "wintime.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace
{
std::atomic<DWORD> g_tickOffset{0};
} // namespace

DWORD GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms) + g_tickOffset.load(std::memory_order_relaxed);
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void platform::SetTickCountOffset(DWORD offset) { g_tickOffset.store(offset, std::memory_order_relaxed); }
