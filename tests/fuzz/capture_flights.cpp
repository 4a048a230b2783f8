// Records what a real server sends to the fuzzed client, for the handshake
// target's seed corpus: the same provider with the same fixed randomness as
// fuzz_handshake, over a TCP connection to 127.0.0.1:PORT.
//
//   capture_flights PORT OUT   writes OUT (one read of everything) and
//                              OUT-cut (reads of 1 to 64 bytes), then
//                              replays OUT to prove it still fits the hello.
#include "handshake_driver.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int ConnectLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 50; ++attempt) // the server may still be starting
    {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        ::usleep(100 * 1000);
    }
    return -1;
}

void Write(const std::string& path, const std::string& head, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << head << bytes;
}

const char* StatusText(const fuzzing::Outcome& o) { return o.established ? "established" : "failed"; }
} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: %s PORT OUT\n", argv[0]);
        return 2;
    }
    fuzzing::FixRandom();
    fuzzing::Credentials();
    fuzzing::ResetRandom();

    const int fd = ConnectLoopback(std::atoi(argv[1]));
    if (fd < 0)
    {
        std::perror("connect");
        return 1;
    }
    std::string flight;
    const auto read = [&](char* to, size_t room) -> size_t {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0)
            return 0;
        const ssize_t n = ::recv(fd, to, room, 0);
        if (n <= 0)
            return 0;
        flight.append(to, static_cast<size_t>(n));
        return static_cast<size_t>(n);
    };
    const auto send = [&](const char* data, size_t size) { ::send(fd, data, size, MSG_NOSIGNAL); };
    const fuzzing::Outcome live = fuzzing::Handshake(read, send);
    ::close(fd);

    const std::string out = argv[2];
    Write(out, std::string("\0\0\0\0", 4), flight);
    Write(out + "-cut", std::string("\x02\x3f\x12\x34", 4), flight);

    // The recorded bytes must carry a fresh client exactly as far.
    fuzzing::ResetRandom();
    size_t at = 0;
    const auto replayRead = [&](char* to, size_t room) {
        const size_t n = std::min(room, flight.size() - at);
        std::copy(flight.begin() + static_cast<long>(at), flight.begin() + static_cast<long>(at + n), to);
        at += n;
        return n;
    };
    const fuzzing::Outcome replay = fuzzing::Handshake(replayRead, [](const char*, size_t) {});
    const size_t slash = out.rfind('/');
    std::printf(
        "%s: %zu bytes, live %s (0x%08x), replay %s (0x%08x) in %d calls, extra %zu, close-notify %zu\n",
        out.c_str() + (slash == std::string::npos ? 0 : slash + 1), flight.size(), StatusText(live),
        static_cast<unsigned>(live.status), StatusText(replay), static_cast<unsigned>(replay.status),
        replay.calls, replay.extra, replay.closeNotify);
    return live.established == replay.established && live.status == replay.status ? 0 : 1;
}
