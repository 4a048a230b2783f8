// Owners of what the certificate services hand out: a certificate context
// and a chain context, each released when its owner goes.
#pragma once

#include "cert_services.h"
#include "wincrypt.h"

#include <utility>

class CCertContext
{
public:
    explicit CCertContext(PCCERT_CONTEXT context = nullptr) : m_context(context) {}
    ~CCertContext() { Reset(); }
    CCertContext(const CCertContext&) = delete;
    CCertContext& operator=(const CCertContext&) = delete;
    CCertContext& operator=(CCertContext&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_context = std::exchange(other.m_context, nullptr);
        }
        return *this;
    }

    PCCERT_CONTEXT Get() const { return m_context; }
    // For a call that writes the context it hands out.
    PCCERT_CONTEXT* Receive()
    {
        Reset();
        return &m_context;
    }
    explicit operator bool() const { return m_context != nullptr; }
    void Reset()
    {
        if (m_context != nullptr)
            CertFreeCertificateContext(std::exchange(m_context, nullptr));
    }

private:
    PCCERT_CONTEXT m_context;
};

class CCertChain
{
public:
    CCertChain() = default;
    ~CCertChain()
    {
        if (m_chain != nullptr)
            ChainServices().freeCertificateChain(m_chain);
    }
    CCertChain(const CCertChain&) = delete;
    CCertChain& operator=(const CCertChain&) = delete;

    PCCERT_CHAIN_CONTEXT Get() const { return m_chain; }
    // For a call that writes the chain it builds.
    PCCERT_CHAIN_CONTEXT* Receive()
    {
        if (m_chain != nullptr)
            ChainServices().freeCertificateChain(std::exchange(m_chain, nullptr));
        return &m_chain;
    }

private:
    PCCERT_CHAIN_CONTEXT m_chain = nullptr;
};
