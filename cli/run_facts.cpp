#include "run_facts.h"

#include <cstdio>
#include <ctime>
#include <random>
#include <sys/random.h>
#include <sys/timex.h>

std::string NewRunId()
{
    unsigned char bytes[16];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    {
        std::random_device device;
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(device());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // the RFC's variant
    char text[37];
    char* at = text;
    for (int i = 0; i < 16; ++i)
    {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *at++ = '-';
        std::snprintf(at, 3, "%02x", bytes[i]);
        at += 2;
    }
    return std::string(text, at);
}

std::string UtcMilliseconds(std::chrono::system_clock::time_point when)
{
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(when).time_since_epoch().count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm parts{};
    if (::gmtime_r(&seconds, &parts) == nullptr)
        return std::string();
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>((ms % 1000 + 1000) % 1000));
    return text;
}

std::optional<bool> ClockSynchronised()
{
    // Read only (no mode bits): needs no privilege. The maximum error, as
    // timedatectl judges it, rather than STA_UNSYNC alone: some time daemons
    // leave that flag set to keep the kernel off the hardware clock.
    timex state{};
    if (::adjtimex(&state) < 0)
        return std::nullopt;
    return state.maxerror < 16000000; // microseconds: the kernel's own limit
}
