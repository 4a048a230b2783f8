// Loopback peers for tests. Every server here listens on 127.0.0.1 only,
// serves a bounded number of connections and stops by itself.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support
{

// Where a listener binds: 127.0.0.1 and a kernel-chosen port unless a test
// (in a network namespace of its own) names another loopback address or port.
struct ListenAddress
{
    std::string address = "127.0.0.1";
    int port = 0;
};

// A listening socket on a loopback address, by default 127.0.0.1 with a kernel-chosen port.
class LoopbackListener
{
public:
    explicit LoopbackListener(int backlog = 8) : LoopbackListener(ListenAddress{}, backlog) {}
    explicit LoopbackListener(const ListenAddress& at, int backlog = 8);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Port() const { return m_port; }
    int Fd() const { return m_fd; }
    // Waits at most timeoutMs for a connection; -1 when none came.
    int Accept(int timeoutMs) const;

private:
    int m_fd = -1;
    int m_port = 0;
};

// A listener whose backlog is already full: every further SYN is dropped and
// a connect waits out its whole bound, as behind a firewall that drops all.
class DroppingListener
{
public:
    DroppingListener();
    ~DroppingListener();
    DroppingListener(const DroppingListener&) = delete;
    DroppingListener& operator=(const DroppingListener&) = delete;

    int Port() const { return m_listener.Port(); }

private:
    LoopbackListener m_listener{0};
    std::vector<int> m_fillers;
};

// Accepts up to `connections` connections, one after another, and runs the
// script on each; gives up after `lifetime`.
class ScriptedServer
{
public:
    using Script = std::function<void(int fd)>;
    explicit ScriptedServer(Script script, int connections = 1,
                            std::chrono::milliseconds lifetime = std::chrono::seconds(30),
                            const ListenAddress& at = {});
    ~ScriptedServer();

    int Port() const { return m_listener.Port(); }
    int Served() const { return m_served.load(); }
    void Join();

private:
    LoopbackListener m_listener;
    std::thread m_thread;
    std::atomic<int> m_served{0};
};

// Runs body on a thread of its own in a new network namespace with its
// loopback up; threads it starts are in that namespace too. False (and why)
// when this machine gives the test no namespace.
bool InPrivateNetwork(const std::function<void()>& body, std::string* why);

// A port on 127.0.0.1 where nothing listens.
int ClosedPort();

// Socket helpers for scripts.
bool SendAll(int fd, const std::string& data);
// Waits until the peer closes or timeoutMs passes; reads and drops what comes.
void DrainUntilClosed(int fd, int timeoutMs);
void SleepMs(int ms);

} // namespace testing_support
