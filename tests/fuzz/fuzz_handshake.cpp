// libFuzzer target: the security provider's client handshake fed what a
// server may send, then its close-notify.
//
// Input: four bytes that say how the stream is cut into reads, then the
// server's bytes. The provider's randomness is fixed, so a flight captured
// from a real server (scripts/capture_flights.sh) is the answer to this
// client's hello and carries the handshake to its end.
//
//   byte 0 % 4: 0 one read of everything, as one socket read of a quick
//               server; 1 reads of (byte 1 + 1) bytes; 2 reads of 1 to
//               (byte 1 + 1) bytes, drawn from bytes 2-3; 3 reads drawn
//               from the sizes that cut records' headers and bodies
#include "handshake_driver.h"

#include <algorithm>
#include <cstring>

namespace
{
class Cuts
{
public:
    Cuts(const uint8_t* head)
        : m_mode(head[0] % 4), m_size(head[1] + 1u), m_state(head[2] << 8 | head[3] | 1u)
    {}

    size_t Next()
    {
        static const size_t kAwkward[] = {1, 2, 4, 5, 6, 13, 64, 517, 4096, 16389};
        switch (m_mode)
        {
        case 0: return SIZE_MAX;
        case 1: return m_size;
        case 2: return 1 + Draw() % m_size;
        default: return kAwkward[Draw() % (sizeof kAwkward / sizeof kAwkward[0])];
        }
    }

private:
    uint32_t Draw()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    unsigned m_mode;
    size_t m_size;
    uint32_t m_state;
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::FixRandom();
    fuzzing::Credentials(); // the shared client context draws its keys once, before any reset
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    Cuts cuts(data);
    const uint8_t* stream = data + 4;
    const size_t length = size - 4;
    size_t at = 0;

    fuzzing::ResetRandom();
    const auto read = [&](char* to, size_t room) {
        const size_t n = std::min({cuts.Next(), room, length - at});
        std::memcpy(to, stream + at, n);
        at += n;
        return n;
    };
    const auto send = [](const char*, size_t) {};
    const fuzzing::Outcome outcome = fuzzing::Handshake(read, send);
    fuzzing::Expect(!outcome.established || outcome.extra <= at, "EXTRA beyond the bytes read",
                    static_cast<long long>(outcome.extra));
    return 0;
}
