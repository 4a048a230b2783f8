#include "ssl_tester.h"

#include "wintime.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace
{
constexpr ULONG kContextRequirements = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr int kHandshakeBufferSize = 0x10000;
constexpr DWORD kReadTimeoutMs = 10000;

bool IsFailure(SECURITY_STATUS status) { return status < 0; }
} // namespace

bool CSslTester::PerformHandshake()
{
    if (m_bContextValid)
    {
        m_pSecurityFunctions->DeleteSecurityContext(&m_hContext);
        m_bContextValid = false;
    }

    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->InitializeSecurityContextA(
        &m_hCredentials, nullptr, m_host.data(), kContextRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0, &m_hContext,
        &outDesc, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED)
    {
        m_lastError = "InitializeSecurityContext Failed - Status = " + std::to_string(status);
        return false;
    }
    m_bContextValid = true;

    if (outBuffer.cbBuffer != 0 && outBuffer.pvBuffer != nullptr)
    {
        const int sent = Send(static_cast<const char*>(outBuffer.pvBuffer), static_cast<int>(outBuffer.cbBuffer));
        if (sent == -1 || sent == 0)
        {
            m_lastError = "Socket Error " + std::to_string(ws2::WSAGetLastError()) + " sending to " + m_label;
            m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
            return false;
        }
        m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
    }

    SecBuffer extra{0, SECBUFFER_EMPTY, nullptr};
    const SECURITY_STATUS result = HandshakeLoop(&extra, true);
    if (extra.pvBuffer != nullptr)
        delete[] static_cast<char*>(extra.pvBuffer);
    return result == SEC_E_OK;
}

SECURITY_STATUS CSslTester::HandshakeLoop(SecBuffer* extra, bool doInitialRead)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kHandshakeBufferSize]);
    if (!buffer)
    {
        m_lastError = "Out of memory in SSL Handshake.";
        return SEC_E_INTERNAL_ERROR;
    }
    int received = 0;
    SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
    bool doRead = doInitialRead;

    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
           status == SEC_I_INCOMPLETE_CREDENTIALS)
    {
        if (received == 0 || status == SEC_E_INCOMPLETE_MESSAGE)
        {
            if (doRead)
            {
                const int n = ReceiveWithTimeout(buffer.get() + received, kHandshakeBufferSize - received,
                                                 kReadTimeoutMs);
                if (n == -1)
                {
                    m_lastError = "Socket Error " + std::to_string(ws2::WSAGetLastError()) + " receiving from " + m_label;
                    status = SEC_E_INTERNAL_ERROR;
                    break;
                }
                if (n == 0)
                {
                    m_lastError = m_label + " disconnected unexpectedly.";
                    status = SEC_E_INTERNAL_ERROR;
                    break;
                }
                received += n;
            }
            else
                doRead = true;
        }

        SecBuffer inBuffers[2] = {{static_cast<ULONG>(received), SECBUFFER_TOKEN, buffer.get()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        ULONG flags = 0;
        TimeStamp expiry;
        status = m_pSecurityFunctions->InitializeSecurityContextA(&m_hCredentials, &m_hContext, nullptr,
                                                                  kContextRequirements, 0, SECURITY_NATIVE_DREP,
                                                                  &inDesc, 0, nullptr, &outDesc, &flags, &expiry);

        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
            (IsFailure(status) && (flags & ISC_RET_EXTENDED_ERROR)))
        {
            if (outBuffer.cbBuffer != 0 && outBuffer.pvBuffer != nullptr)
            {
                const int sent =
                    Send(static_cast<const char*>(outBuffer.pvBuffer), static_cast<int>(outBuffer.cbBuffer));
                if (sent == -1 || sent == 0)
                {
                    m_lastError = "Socket Error " + std::to_string(ws2::WSAGetLastError()) + " sending to  " + m_label;
                    m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
                    return SEC_E_INTERNAL_ERROR;
                }
                m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
            }
        }
        else if (outBuffer.pvBuffer != nullptr)
            m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer); // never leak a token

        if (status == SEC_E_INCOMPLETE_MESSAGE)
            continue;

        if (status == SEC_E_OK)
        {
            if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer <= static_cast<ULONG>(received))
            {
                const int k = static_cast<int>(inBuffers[1].cbBuffer);
                char* copy = new (std::nothrow) char[k > 0 ? k : 1];
                if (copy == nullptr)
                {
                    m_lastError = "Out of memory in SSL Handshake.";
                    return SEC_E_INTERNAL_ERROR;
                }
                std::memcpy(copy, buffer.get() + (received - k), static_cast<size_t>(k));
                extra->pvBuffer = copy;
                extra->cbBuffer = static_cast<ULONG>(k);
                extra->BufferType = SECBUFFER_TOKEN;
            }
            else
            {
                extra->pvBuffer = nullptr;
                extra->cbBuffer = 0;
                extra->BufferType = SECBUFFER_EMPTY;
            }
            return SEC_E_OK;
        }

        if (IsFailure(status))
        {
            m_lastError = "InitializeSecurityContext Failed(2) - Status = " + std::to_string(status);
            break;
        }

        if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        {
            doRead = false;
            status = SEC_I_CONTINUE_NEEDED;
            continue;
        }

        // A provider's count beyond what it was given is never trusted.
        if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer <= static_cast<ULONG>(received))
        {
            const int k = static_cast<int>(inBuffers[1].cbBuffer);
            std::memmove(buffer.get(), buffer.get() + (received - k), static_cast<size_t>(k));
            received = k;
        }
        else
            received = 0;
    }
    return status;
}

int CSslTester::ReceiveWithTimeout(char* buffer, int length, DWORD timeoutMs)
{
    if (m_socket == ws2::INVALID_SOCKET)
        return 0;
    const DWORD start = GetTickCount();
    if (!IsConnected())
        return 0;
    for (;;)
    {
        if (ElapsedSince(start, GetTickCount()) >= timeoutMs)
            return 0;
        PauseForData(1);
        if (HasPendingData())
            return Receive(buffer, length);
        if (!IsConnected())
            return 0;
    }
}

bool CSslTester::SendSslShutdown()
{
    DWORD control = SCHANNEL_SHUTDOWN;
    SecBuffer controlBuffer{sizeof control, SECBUFFER_TOKEN, &control};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &controlBuffer};
    if (IsFailure(m_pSecurityFunctions->ApplyControlToken(&m_hContext, &controlDesc)))
        return false;

    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->InitializeSecurityContextA(
        &m_hCredentials, &m_hContext, nullptr, kContextRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0, nullptr,
        &outDesc, &attributes, &expiry);
    if (IsFailure(status))
    {
        if (outBuffer.pvBuffer)
            m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
        return false;
    }
    if (outBuffer.pvBuffer != nullptr && outBuffer.cbBuffer != 0)
    {
        const int sent = Send(static_cast<const char*>(outBuffer.pvBuffer), static_cast<int>(outBuffer.cbBuffer));
        m_pSecurityFunctions->FreeContextBuffer(outBuffer.pvBuffer);
        return !(sent == -1 || sent == 0);
    }
    return true;
}
