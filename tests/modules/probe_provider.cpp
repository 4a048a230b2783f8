// A provider module for tests: it forwards every call to the real provider
// and counts what the caller holds of it (credentials handles, security
// contexts, tokens not yet given back), and fails one query when a test asks.
#include "sspi.h"

#include <cstring>
#include <dlfcn.h>
#include <string>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
void* g_real = nullptr;
SecurityFunctionTableA* g_forward = nullptr;
SecurityFunctionTableA g_table{};
std::string g_fault;
int g_credentials = 0;
int g_contexts = 0;
int g_tokens = 0;

bool Ok(SECURITY_STATUS status) { return status >= 0; }

void CountTokens(SecBufferDesc* output, ULONG contextReq)
{
    if (output == nullptr || !(contextReq & ISC_REQ_ALLOCATE_MEMORY))
        return;
    for (ULONG i = 0; i < output->cBuffers; ++i)
        if (output->pBuffers[i].BufferType == SECBUFFER_TOKEN && output->pBuffers[i].pvBuffer != nullptr)
            ++g_tokens;
}

SECURITY_STATUS WINAPI Acquire(char* principal, char* package, ULONG use, void* logonId, void* authData,
                               SEC_GET_KEY_FN getKey, void* getKeyArgument, CredHandle* credential,
                               TimeStamp* expiry)
{
    const SECURITY_STATUS status = g_forward->AcquireCredentialsHandleA(
        principal, package, use, logonId, authData, getKey, getKeyArgument, credential, expiry);
    g_credentials += status == SEC_E_OK;
    return status;
}

SECURITY_STATUS WINAPI FreeCredentials(CredHandle* credential)
{
    const SECURITY_STATUS status = g_forward->FreeCredentialsHandle(credential);
    g_credentials -= status == SEC_E_OK;
    return status;
}

SECURITY_STATUS WINAPI Initialize(CredHandle* credential, CtxtHandle* context, char* target, ULONG contextReq,
                                  ULONG reserved1, ULONG dataRep, SecBufferDesc* input, ULONG reserved2,
                                  CtxtHandle* newContext, SecBufferDesc* output, ULONG* attributes,
                                  TimeStamp* expiry)
{
    const SECURITY_STATUS status =
        g_forward->InitializeSecurityContextA(credential, context, target, contextReq, reserved1, dataRep,
                                              input, reserved2, newContext, output, attributes, expiry);
    if (context == nullptr && newContext != nullptr && Ok(status))
        ++g_contexts;
    CountTokens(output, contextReq);
    return status;
}

SECURITY_STATUS WINAPI Delete(CtxtHandle* context)
{
    const SECURITY_STATUS status = g_forward->DeleteSecurityContext(context);
    g_contexts -= status == SEC_E_OK;
    return status;
}

SECURITY_STATUS WINAPI FreeBuffer(void* buffer)
{
    const SECURITY_STATUS status = g_forward->FreeContextBuffer(buffer);
    g_tokens -= buffer != nullptr && status == SEC_E_OK;
    return status;
}

SECURITY_STATUS WINAPI Query(CtxtHandle* context, ULONG attribute, void* buffer)
{
    if ((g_fault == "connection-info" && attribute == SECPKG_ATTR_CONNECTION_INFO) ||
        (g_fault == "stream-sizes" && attribute == SECPKG_ATTR_STREAM_SIZES) ||
        (g_fault == "remote-cert" && attribute == SECPKG_ATTR_REMOTE_CERT_CONTEXT))
        return SEC_E_UNSUPPORTED_FUNCTION;
    return g_forward->QueryContextAttributesA(context, attribute, buffer);
}
} // namespace

// The real provider's file; set before the first InitSecurityInterfaceA.
PROBE_EXPORT void ProbeForwardTo(const char* path)
{
    if (g_real == nullptr)
        g_real = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

// "", "connection-info", "stream-sizes" or "remote-cert": that query fails.
PROBE_EXPORT void ProbeSetFault(const char* fault) { g_fault = fault; }

// "credentials", "contexts" or "tokens": how many the callers hold now.
PROBE_EXPORT int ProbeLive(const char* what)
{
    const std::string kind = what;
    return kind == "credentials" ? g_credentials : kind == "contexts" ? g_contexts : g_tokens;
}

PROBE_EXPORT SecurityFunctionTableA* InitSecurityInterfaceA()
{
    if (g_forward == nullptr && g_real != nullptr)
    {
        auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(::dlsym(g_real, "InitSecurityInterfaceA"));
        g_forward = init ? init() : nullptr;
        if (g_forward == nullptr)
            return nullptr;
        g_table = *g_forward;
        g_table.AcquireCredentialsHandleA = Acquire;
        g_table.FreeCredentialsHandle = FreeCredentials;
        g_table.InitializeSecurityContextA = Initialize;
        g_table.DeleteSecurityContext = Delete;
        g_table.FreeContextBuffer = FreeBuffer;
        g_table.QueryContextAttributesA = Query;
    }
    return g_forward ? &g_table : nullptr;
}
