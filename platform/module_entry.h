// Entry points of a module that carries its own C++ runtime. An exception
// thrown inside must not unwind into a caller built on another runtime, so
// each entry point answers with a status instead: one for memory running
// out, one for anything else.
#pragma once

#include <new>

template <auto Fn, auto NoMemory, auto Failure, typename... Args>
auto GuardedEntry(Args... args) noexcept -> decltype(Fn(args...))
{
    try
    {
        return Fn(args...);
    }
    catch (const std::bad_alloc&)
    {
        return NoMemory;
    }
    catch (...)
    {
        return Failure;
    }
}
