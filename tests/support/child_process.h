// A program started by a test, its output read line by line; ended when the
// object goes (SIGTERM, then SIGKILL).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support
{
class ChildProcess
{
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // Reads output until a line holding `text` shows or timeoutMs passes.
    bool WaitForOutput(const std::string& text, int timeoutMs);
    const std::string& Output() const { return m_output; }
    // Waits for the program to end; its exit status, or -1.
    int ExitStatus();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_in = -1;
    std::string m_output;
};
} // namespace testing_support
