#include "loopback.h"

#include "private_network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support
{

LoopbackListener::LoopbackListener(const ListenAddress& at, int backlog)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw std::runtime_error("socket");
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(at.port));
    if (::inet_pton(AF_INET, at.address.c_str(), &address.sin_addr) != 1 ||
        (ntohl(address.sin_addr.s_addr) >> 24) != 127)
        throw std::runtime_error("not a loopback address: " + at.address);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd, backlog) != 0)
        throw std::runtime_error("bind/listen");
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int LoopbackListener::Accept(int timeoutMs) const
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

ScriptedServer::ScriptedServer(Script script, int connections, std::chrono::milliseconds lifetime,
                               const ListenAddress& at)
    : m_listener(at)
{
    m_thread = std::thread([this, script = std::move(script), connections, lifetime] {
        const auto deadline = std::chrono::steady_clock::now() + lifetime;
        for (int i = 0; i < connections; ++i)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            const int fd = m_listener.Accept(static_cast<int>(left.count()));
            if (fd < 0)
                return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            script(fd);
            ::close(fd);
            ++m_served;
        }
    });
}

ScriptedServer::~ScriptedServer() { Join(); }

void ScriptedServer::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

DroppingListener::DroppingListener()
{
    for (int i = 0; i < 3; ++i)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_fillers.push_back(fd);
    }
    SleepMs(50); // the handshakes of the fillers complete
}

DroppingListener::~DroppingListener()
{
    for (auto it = m_fillers.rbegin(); it != m_fillers.rend(); ++it)
        ::close(*it);
}

bool InPrivateNetwork(const std::function<void()>& body, std::string* why)
{
    bool entered = false;
    std::thread([&] {
        PrivateNetworkOnThisThread network;
        *why = network.Why();
        if ((entered = network.Entered()))
            body();
    }).join();
    return entered;
}

int ClosedPort()
{
    LoopbackListener probe;
    return probe.Port(); // closed again when probe goes
}

bool SendAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size())
    {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void DrainUntilClosed(int fd, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return;
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
    }
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace testing_support
