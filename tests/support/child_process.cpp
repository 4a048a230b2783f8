#include "child_process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support
{
ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    int pipeFds[2];
    int inputFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    if (::pipe2(inputFds, O_CLOEXEC) != 0)
    {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0)
    {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::dup2(inputFds[0], 0); // stays open: some servers quit at end of input
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(inputFds[0]);
    m_out = pipeFds[0];
    m_in = inputFds[1];
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0)
    {
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i)
        {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            {
                m_pid = -1;
                break;
            }
            ::usleep(10000);
        }
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    if (m_out >= 0)
        ::close(m_out);
    if (m_in >= 0)
        ::close(m_in);
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_output.find(text) == std::string::npos)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0 || m_out < 0)
            return false;
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[1024];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        m_output.append(buffer, static_cast<size_t>(n));
    }
    return true;
}
} // namespace testing_support

namespace testing_support
{
int ChildProcess::ExitStatus()
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    if (::waitpid(m_pid, &status, 0) != m_pid)
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace testing_support
