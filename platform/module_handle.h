// The one owner of a loaded module: frees it when it goes, so no way out of
// a caller can forget the FreeLibrary.
#pragma once

#include "module.h"

#include <utility>

class CModuleHandle
{
public:
    CModuleHandle() = default;
    ~CModuleHandle() { Reset(); }
    CModuleHandle(const CModuleHandle&) = delete;
    CModuleHandle& operator=(const CModuleHandle&) = delete;
    CModuleHandle(CModuleHandle&& other) noexcept : m_hModule(std::exchange(other.m_hModule, nullptr)) {}
    CModuleHandle& operator=(CModuleHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_hModule = std::exchange(other.m_hModule, nullptr);
        }
        return *this;
    }

    // Loads by the Windows name; false (and the loader's last error) when it cannot.
    bool Load(const char* fileName)
    {
        Reset();
        m_hModule = LoadLibraryA(fileName);
        return m_hModule != nullptr;
    }
    void Reset()
    {
        if (m_hModule != nullptr)
            FreeLibrary(std::exchange(m_hModule, nullptr));
    }

    HMODULE Get() const { return m_hModule; }
    explicit operator bool() const { return m_hModule != nullptr; }

    // An exported entry point by name, as the caller's function type; null when missing.
    template <typename Fn> Fn Proc(const char* name) const
    {
        return reinterpret_cast<Fn>(GetProcAddress(m_hModule, name));
    }

private:
    HMODULE m_hModule = nullptr;
};
