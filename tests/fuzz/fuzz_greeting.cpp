// libFuzzer target: the plain tester's greeting reader against the rule
// written the plain, unbounded way, on the same reads.
//
// Input: reads, each a length byte b and then its bytes: b + 1 bytes for b
// below 128, else (b - 127) * 16 (up to 2048, about what one socket read of
// the tester takes). The reader must answer every read as the reference
// does, hold no more than its tail between reads, and allocate nothing.
#include "greeting_reader.h"
#include "support/greeting_reference.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
bool g_watching = false;
size_t g_allocations = 0;

void OnAllocation(const volatile void*, size_t)
{
    if (g_watching)
        ++g_allocations;
}
void OnFree(const volatile void*) {}

void Check(bool holds, const char* what, size_t read)
{
    if (!holds)
    {
        std::fprintf(stderr, "greeting reader: %s at read %zu\n", what, read);
        std::abort();
    }
}
} // namespace

static_assert(sizeof(CGreetingReader) <= 32, "the reader is a few bytes whatever the peer sends");

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CGreetingReader reader;
    testing_support::GreetingReference reference;
    size_t at = 0;
    for (size_t read = 0; at < size; ++read)
    {
        const unsigned b = data[at++];
        const size_t n = std::min<size_t>(b < 128 ? b + 1 : (b - 127) * 16, size - at);
        const auto* bytes = reinterpret_cast<const char*>(data + at);
        at += n;

        g_allocations = 0;
        g_watching = true;
        const bool greets = reader.Take(bytes, n);
        g_watching = false;
        Check(g_allocations == 0, "allocated", read);
        Check(reader.HeldBytes() <= CGreetingReader::kTailBytes, "held more than the tail", read);
        Check(greets == reference.Take(std::string(bytes, n)), "verdict differs from the unbounded rule",
              read);
    }
    return 0;
}
