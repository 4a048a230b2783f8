// The client handshake as the TLS tester drives the security provider, with
// the provider linked in and its randomness fixed, so that a server flight
// recorded once (capture_flights) answers the same ClientHello when it is
// replayed (fuzz_handshake) and the handshake can run to its end.
//
// Every call checks what the tester relies on and stops the process when the
// provider breaks it.
#pragma once

#include "sspi.h"
#include "wincrypt.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace fuzzing
{

// OpenSSL's random bytes become a fixed stream, restarted by ResetRandom.
void FixRandom();
void ResetRandom();

// The provider's table and the tester's credentials (TLS 1.0 to 1.2, manual
// validation), made once per process before any ResetRandom.
SecurityFunctionTableA* Provider();
CredHandle* Credentials();

struct Outcome
{
    SECURITY_STATUS status = 0; // the loop's last status
    bool established = false;
    size_t extra = 0;       // bytes past the handshake
    size_t closeNotify = 0; // bytes of the close-notify token
    int calls = 0;          // provider calls of the loop
};

// Reads at most `room` bytes into `to`; 0 ends the stream (peer gone,
// nothing within the wait).
using Reader = std::function<size_t(char* to, size_t room)>;
using Sender = std::function<void(const char* data, size_t size)>;

// The whole client side: first token, the read/answer loop over a 64 KiB
// input buffer, then the connection facts, the server certificate and the
// close-notify, and the context's deletion.
Outcome Handshake(const Reader& read, const Sender& send, const char* host = "server.test");

// Stops the process with a message when a promise is broken.
[[noreturn]] void Broken(const char* what, long long value);
inline void Expect(bool holds, const char* what, long long value = 0)
{
    if (!holds)
        Broken(what, value);
}

} // namespace fuzzing
