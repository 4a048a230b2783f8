// tinyproxy, Debian's small HTTP proxy, as a peer for tests: on a loopback
// address with a configuration of the test's own (CONNECT only to the ports
// it allows, a user and password when asked), stopped when the object goes
// and by itself after a minute whatever happens to the test.
#pragma once

#include "child_process.h"
#include "loopback.h"
#include "temp_folder.h"

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testing_support
{
struct TinyProxyOptions
{
    std::vector<int> connectPorts; // empty: CONNECT to any port
    std::string user, password;    // both set: Basic credentials required
    int port = 0;                  // 0: a free port on 127.0.0.1
};

class TinyProxy
{
public:
    explicit TinyProxy(const TinyProxyOptions& options)
        : m_port(options.port != 0 ? options.port : ClosedPort())
    {
        const std::string config = (m_folder.path / "tinyproxy.conf").string();
        std::ofstream out(config);
        out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 10\nMaxClients 16\nAllow 127.0.0.1\n"
            << "LogLevel Critical\n";
        for (const int port : options.connectPorts)
            out << "ConnectPort " << port << "\n";
        if (!options.user.empty())
            out << "BasicAuth " << options.user << " " << options.password << "\n";
        out.close();
        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"timeout", "60", "tinyproxy", "-d", "-c", config});
        // Ready once it takes a connection.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!m_ready && std::chrono::steady_clock::now() < deadline)
        {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(static_cast<uint16_t>(m_port));
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            m_ready = ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
            ::close(fd);
            if (!m_ready)
                SleepMs(20);
        }
    }

    bool Ready() const { return m_ready; }
    int Port() const { return m_port; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

private:
    TempFolder m_folder;
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
};
} // namespace testing_support
