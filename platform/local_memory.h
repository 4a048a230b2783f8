// The one owner of a block from the local heap: LocalFree when it goes.
#pragma once

#include "winbase.h"

#include <utility>

class CLocalMemory
{
public:
    explicit CLocalMemory(size_t bytes) : m_memory(LocalAlloc(LMEM_FIXED, bytes)) {}
    ~CLocalMemory()
    {
        if (m_memory != nullptr)
            LocalFree(std::exchange(m_memory, nullptr));
    }
    CLocalMemory(const CLocalMemory&) = delete;
    CLocalMemory& operator=(const CLocalMemory&) = delete;

    explicit operator bool() const { return m_memory != nullptr; }
    template <typename T> T* As() const { return static_cast<T*>(m_memory); }

private:
    void* m_memory;
};
