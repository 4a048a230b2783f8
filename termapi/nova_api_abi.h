/*
 * The NOVA terminal API as Kestavane calls it on Linux.
 *
 * A vendor builds the library as a shared module named libnova_api.so (the
 * program asks for "NOVA_API.DLL" and maps the name), installed beside the
 * program or in lib/kestavane under its install prefix.
 *
 * Calling convention: the platform's C convention (System V on x86-64; cdecl
 * on 32-bit x86). Every integer argument and result is a 32-bit signed
 * integer; pointers are the platform's pointers. Entry points are exported
 * by the names below, unmangled.
 *
 * Parameters set through NOVA_SetParam:
 *   8   a 32-bit integer                      size 4
 *   9   the address of a NovaEventCallback    size sizeof(void*): 8 on 64-bit
 *                                             platforms, 4 on 32-bit ones; 0 withdraws it
 *   10  the development key, NUL-terminated   size: its length without the NUL
 *
 * NOVA_GetLastError writes a length-prefixed text into a 68-byte buffer: one
 * byte holding the length (at most 67), then that many characters.
 */
#ifndef KESTAVANE_NOVA_API_ABI_H
#define KESTAVANE_NOVA_API_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    typedef void (*NovaEventCallbackFn)(int32_t event, int32_t value);

    typedef int32_t (*NOVA_CONNECT_FN)(void);                         /* "Connect": non-zero when connected */
    typedef int32_t (*NOVA_DEBUG_MODE_FN)(int32_t on);                /* "DebugMode" */
    typedef int32_t (*NOVA_DISCONNECT_FN)(void);                      /* "Disconnect" */
    typedef int32_t (*NOVA_GET_IP_INTERFACE_FN)(void* area);          /* "GetIPInterface": a 140-byte area */
    typedef int32_t (*NOVA_GET_LAST_ERROR_FN)(unsigned char* buffer); /* "GetLastError": 68 bytes */
    typedef int32_t (*NOVA_GET_PARAM_FN)(int32_t number, void* value, int32_t* size); /* "GetParam" */
    typedef int32_t (*NOVA_SEND_REQUEST_FN)(void* request, int32_t size);             /* "SendRequest" */
    typedef int32_t (*NOVA_SET_IP_INTERFACE_FN)(const void* area);                    /* "SetIPInterface" */
    typedef int32_t (*NOVA_SET_PARAM_FN)(int32_t number, const void* value,
                                         const int32_t* size); /* "SetParam": non-zero when accepted */

#define NOVA_IP_INTERFACE_SIZE 140
#define NOVA_ERROR_BUFFER_SIZE 68

#ifdef __cplusplus
}
#endif

#endif
