// The one owner of a buffer the security provider allocated (a token it
// hands out under ISC_REQ_ALLOCATE_MEMORY): freed through the provider's own
// FreeContextBuffer when the owner goes, on every way out of its caller.
#pragma once

#include "sspi.h"

#include <utility>

class CContextBuffer
{
public:
    // Starts as an empty token buffer for an output descriptor.
    explicit CContextBuffer(const SecurityFunctionTableA* table) : m_table(table) {}
    ~CContextBuffer() { Reset(); }
    CContextBuffer(const CContextBuffer&) = delete;
    CContextBuffer& operator=(const CContextBuffer&) = delete;

    // The SecBuffer the provider fills; what it puts there is owned from then on.
    SecBuffer* Buffer() { return &m_buffer; }
    bool HasData() const { return m_buffer.cbBuffer != 0 && m_buffer.pvBuffer != nullptr; }
    const char* Data() const { return static_cast<const char*>(m_buffer.pvBuffer); }
    int Size() const { return static_cast<int>(m_buffer.cbBuffer); }

    void Reset()
    {
        if (m_buffer.pvBuffer != nullptr && m_table != nullptr)
            m_table->FreeContextBuffer(std::exchange(m_buffer.pvBuffer, nullptr));
        m_buffer.cbBuffer = 0;
    }

private:
    const SecurityFunctionTableA* m_table;
    SecBuffer m_buffer{0, SECBUFFER_TOKEN, nullptr};
};
