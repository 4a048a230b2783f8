// A development substitute for the terminal API library, for tests only: it
// honours the call contract, records every call, and is steered by the test.
// Variants built with NOVA_WITHOUT_<NAME> lack that entry point.
#include "nova_api_abi.h"

#include <algorithm>
#include <cstring>
#include <string>

#define NOVA_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
std::string g_mode = "accept";
std::string g_log;
std::string g_error;

void Log(const std::string& entry) { g_log += entry + "\n"; }
} // namespace

NOVA_EXPORT void NovaSubstituteSetMode(const char* mode)
{
    g_mode = mode;
    g_log.clear();
    g_error.clear();
}

NOVA_EXPORT const char* NovaSubstituteLog() { return g_log.c_str(); }

#ifndef NOVA_WITHOUT_CONNECT
NOVA_EXPORT int32_t Connect()
{
    Log("Connect");
    if (g_mode == "connect-fails")
        g_error = "Terminal did not answer";
    else if (g_mode == "empty-error")
        g_error = "";
    else if (g_mode == "long-error")
        g_error = std::string(200, 'L');
    else
        return 1;
    return 0;
}
#endif

NOVA_EXPORT int32_t DebugMode(int32_t on)
{
    Log("DebugMode " + std::to_string(on));
    return 1;
}

NOVA_EXPORT int32_t Disconnect()
{
    Log("Disconnect");
    return 1;
}

NOVA_EXPORT int32_t GetIPInterface(void* area)
{
    Log("GetIPInterface");
    std::memset(area, 0xAB, NOVA_IP_INTERFACE_SIZE);
    return 1;
}

#ifndef NOVA_WITHOUT_GET_LAST_ERROR
NOVA_EXPORT int32_t GetLastError(unsigned char* buffer)
{
    Log("GetLastError");
    // The length byte says what the library wants; the text fits the buffer.
    buffer[0] = static_cast<unsigned char>(std::min<size_t>(g_error.size(), 255));
    std::memcpy(buffer + 1, g_error.data(), std::min<size_t>(g_error.size(), NOVA_ERROR_BUFFER_SIZE - 1));
    return 1;
}
#endif

NOVA_EXPORT int32_t GetParam(int32_t, void*, int32_t*) { return 0; }
NOVA_EXPORT int32_t SendRequest(void*, int32_t) { return 0; }
NOVA_EXPORT int32_t SetIPInterface(const void*) { return 0; }

#ifndef NOVA_WITHOUT_SET_PARAM
NOVA_EXPORT int32_t SetParam(int32_t number, const void* value, const int32_t* size)
{
    std::string entry = "SetParam " + std::to_string(number) + " size " + std::to_string(*size);
    if (number == 10)
        entry += " '" + std::string(static_cast<const char*>(value)) + "'";
    else if (*size == sizeof(void*))
        entry += *static_cast<void* const*>(value) ? " set" : " cleared";
    else if (*size == 4)
        entry += " value " + std::to_string(*static_cast<const int32_t*>(value));
    Log(entry);
    if ((g_mode == "refuse9" && number == 9) || (g_mode == "refuse10" && number == 10))
    {
        g_error = "Parameter " + std::to_string(number) + " refused";
        return 0;
    }
    if (number == 9 && *size == sizeof(void*) && *static_cast<void* const*>(value))
        reinterpret_cast<NovaEventCallbackFn> (*static_cast<void* const*>(value))(1,
                                                                                  2); // it must be callable
    return 1;
}
#endif
