// The calling thread in a network namespace of its own, with its loopback
// up, until the object goes; threads it starts meanwhile are in it too. The
// catalogue's own ports and addresses are then the test's alone.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support
{
class PrivateNetworkOnThisThread
{
public:
    PrivateNetworkOnThisThread()
    {
        m_saved = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (m_saved < 0 || ::unshare(CLONE_NEWNET) != 0)
        {
            m_why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        m_bInside = true;
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        const bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                        (request.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &request) == 0);
        if (s >= 0)
            ::close(s);
        if (!up)
            m_why = "cannot bring the namespace's loopback up";
    }
    ~PrivateNetworkOnThisThread()
    {
        if (m_bInside)
            ::setns(m_saved, CLONE_NEWNET);
        if (m_saved >= 0)
            ::close(m_saved);
    }
    PrivateNetworkOnThisThread(const PrivateNetworkOnThisThread&) = delete;
    PrivateNetworkOnThisThread& operator=(const PrivateNetworkOnThisThread&) = delete;

    bool Entered() const { return m_bInside && m_why.empty(); }
    const std::string& Why() const { return m_why; }

private:
    int m_saved = -1;
    bool m_bInside = false;
    std::string m_why;
};
} // namespace testing_support
