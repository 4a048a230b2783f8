#include "ssl_tester.h"

#include "causes.h"
#include "context_buffer.h"

#include <cstring>
#include <memory>
#include <new>

namespace
{
constexpr ULONG kContextRequirements = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                       ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr int kHandshakeBufferSize = 0x10000;

bool IsFailure(SECURITY_STATUS status) { return status < 0; }

// A token went out when send took at least one byte of it.
bool Sent(int result) { return result != -1 && result != 0; }

// A socket error in the handshake: a connection cut off, or this PC's own.
Cause SocketCause(int wsaError)
{
    return ConnectCause(wsaError) == Cause::Reset ? Cause::Reset : Cause::SocketError;
}
} // namespace

StepOutcome CSslTester::PerformHandshake()
{
    if (m_bContextValid)
    {
        m_pSecurityFunctions->DeleteSecurityContext(&m_hContext);
        m_bContextValid = false;
    }

    CContextBuffer token(m_pSecurityFunctions);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, token.Buffer()};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->InitializeSecurityContextA(
        &m_hCredentials, nullptr, m_host.data(), kContextRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0,
        &m_hContext, &outDesc, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED)
    {
        m_lastError = "InitializeSecurityContext Failed - Status = " + std::to_string(status);
        return Failure(TestStep::Handshake, Cause::TlsError, status, m_lastError);
    }
    m_bContextValid = true;

    if (token.HasData() && !Sent(Send(token.Data(), token.Size())))
    {
        const int error = ws2::WSAGetLastError();
        m_lastError = "Socket Error " + std::to_string(error) + " sending to " + m_label;
        return Failure(TestStep::Handshake, SocketCause(error), error, m_lastError);
    }
    token.Reset();

    // Bytes after the handshake are application data this test never reads.
    ULONG extraBytes = 0;
    StepOutcome failure;
    const SECURITY_STATUS ended = HandshakeLoop(&extraBytes, true, &failure);
    if (ended == SEC_E_OK)
        return StepOutcome(TestStep::Handshake);
    // A success code that is no loop code ends it with no reason of its own.
    if (!failure.Failed())
        failure = Failure(TestStep::Handshake, Cause::TlsError, ended, "");
    failure.detail = m_lastError;
    return failure;
}

StepOutcome CSslTester::ProviderFailure(SECURITY_STATUS status)
{
    StepOutcome failure = Failure(TestStep::Handshake, Cause::TlsError, status, "");
    SecPkgContext_KvHandshakeAlert alert{};
    if (m_bContextValid &&
        m_pSecurityFunctions->QueryContextAttributesA(&m_hContext, SECPKG_ATTR_KV_HANDSHAKE_ALERT, &alert) ==
            SEC_E_OK &&
        alert.dwSource == KV_ALERT_RECEIVED)
    {
        failure.cause = Cause::Alert;
        failure.alert = static_cast<int>(alert.dwDescription);
    }
    else if (status == SEC_E_INVALID_TOKEN)
        failure.cause = Cause::NotTls;
    else if (status == SEC_E_ALGORITHM_MISMATCH)
        failure.cause = Cause::NoCommonAlgorithm;
    return failure;
}

SECURITY_STATUS CSslTester::HandshakeLoop(ULONG* extraBytes, bool doInitialRead, StepOutcome* failure)
{
    *extraBytes = 0;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kHandshakeBufferSize]);
    if (!buffer)
    {
        m_lastError = "Out of memory in SSL Handshake.";
        *failure = Failure(TestStep::Handshake, Cause::TlsError, SEC_E_INTERNAL_ERROR, m_lastError);
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
                bool timedOut = false;
                const int n = ReceiveWithTimeout(buffer.get() + received, kHandshakeBufferSize - received,
                                                 kReadTimeoutMs, &timedOut);
                if (n == -1)
                {
                    const int error = ws2::WSAGetLastError();
                    m_lastError = "Socket Error " + std::to_string(error) + " receiving from " + m_label;
                    *failure = Failure(TestStep::Handshake, SocketCause(error), error, m_lastError);
                    status = SEC_E_INTERNAL_ERROR;
                    break;
                }
                if (n == 0)
                {
                    m_lastError = m_label + " disconnected unexpectedly.";
                    *failure =
                        Failure(TestStep::Handshake, timedOut ? Cause::HandshakeTimedOut : Cause::PeerClosed,
                                0, m_lastError);
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
        CContextBuffer token(m_pSecurityFunctions);
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, token.Buffer()};
        ULONG flags = 0;
        TimeStamp expiry;
        status = m_pSecurityFunctions->InitializeSecurityContextA(
            &m_hCredentials, &m_hContext, nullptr, kContextRequirements, 0, SECURITY_NATIVE_DREP, &inDesc, 0,
            nullptr, &outDesc, &flags, &expiry);

        // A failure that comes with an extended error carries the provider's
        // message for the server (an alert): it goes out like any token.
        const bool answer = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                            (IsFailure(status) && (flags & ISC_RET_EXTENDED_ERROR));
        if (answer && token.HasData() && !Sent(Send(token.Data(), token.Size())))
        {
            const int error = ws2::WSAGetLastError();
            m_lastError = "Socket Error " + std::to_string(error) + " sending to  " + m_label;
            *failure = Failure(TestStep::Handshake, SocketCause(error), error, m_lastError);
            return SEC_E_INTERNAL_ERROR;
        }

        if (status == SEC_E_INCOMPLETE_MESSAGE)
            continue;

        // A provider's count beyond what it was given is never trusted.
        const bool extra = inBuffers[1].BufferType == SECBUFFER_EXTRA &&
                           inBuffers[1].cbBuffer <= static_cast<ULONG>(received);

        if (status == SEC_E_OK)
        {
            *extraBytes = extra ? inBuffers[1].cbBuffer : 0;
            return SEC_E_OK;
        }

        if (IsFailure(status))
        {
            m_lastError = "InitializeSecurityContext Failed(2) - Status = " + std::to_string(status);
            *failure = ProviderFailure(status);
            break;
        }

        if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        {
            doRead = false;
            status = SEC_I_CONTINUE_NEEDED;
            continue;
        }

        // What the provider has not consumed starts the next pass.
        if (extra)
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

int CSslTester::ReceiveWithTimeout(char* buffer, int length, DWORD timeoutMs, bool* timedOut)
{
    if (m_socket == ws2::INVALID_SOCKET)
        return 0;
    const DWORD start = Ticks();
    if (!IsConnected())
        return 0;
    for (;;)
    {
        if (ElapsedSince(start, Ticks()) >= timeoutMs)
        {
            if (timedOut != nullptr)
                *timedOut = true;
            return 0;
        }
        WaitForData(start, timeoutMs);
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

    CContextBuffer token(m_pSecurityFunctions);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, token.Buffer()};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = m_pSecurityFunctions->InitializeSecurityContextA(
        &m_hCredentials, &m_hContext, nullptr, kContextRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0,
        nullptr, &outDesc, &attributes, &expiry);
    if (IsFailure(status))
        return false;
    return !token.HasData() || Sent(Send(token.Data(), token.Size()));
}
