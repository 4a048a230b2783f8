// The command line as its tests run it: in this process through RunCli with
// both streams captured, or as the built program with its two streams kept
// apart; a network namespace of the test's own, where catalogue hosts
// resolve to loopback addresses and peers listen on the catalogue's ports.
#pragma once

#include "cli.h"
#include "loopback.h"
#include "private_network.h"
#include "ws2.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <net/if.h>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testing_support
{
struct Captured
{
    int status = -1;
    std::string out, err;
};

// siteHostsFile: the site's hosts file the command line reads; by default
// none, whatever this machine has.
inline Captured Cli(const std::vector<std::string>& args, const std::string& siteHostsFile = "")
{
    char *outText = nullptr, *errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* out = ::open_memstream(&outText, &outSize);
    FILE* err = ::open_memstream(&errText, &errSize);
    const int status = RunCli(args, out, err, siteHostsFile);
    std::fclose(out);
    std::fclose(err);
    Captured c{status, std::string(outText, outSize), std::string(errText, errSize)};
    std::free(outText);
    std::free(errText);
    return c;
}

// Runs a program to its end, standard output and standard error read apart,
// with this process's environment and the NAME=value entries of extraEnv;
// killed when it outlives timeoutMs (status -1 then). inChild runs in the
// child just before the program starts (system calls only: it follows a fork).
inline Captured RunProgram(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnv = {}, int timeoutMs = 30000,
                           void (*inChild)() = nullptr)
{
    Captured c;
    // Made before the fork: the child only execs.
    std::vector<std::string> envText(extraEnv);
    for (char** e = environ; *e != nullptr; ++e)
    {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extraEnv.begin(), extraEnv.end(),
                         [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
            envText.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& entry : envText)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int outFds[2], errFds[2];
    if (::pipe2(outFds, O_CLOEXEC) != 0)
        return c;
    if (::pipe2(errFds, O_CLOEXEC) != 0)
    {
        ::close(outFds[0]);
        ::close(outFds[1]);
        return c;
    }
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::dup2(outFds[1], 1);
        ::dup2(errFds[1], 2);
        if (inChild != nullptr)
            inChild();
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFds[1]);
    ::close(errFds[1]);
    pollfd fds[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* into[2] = {&c.out, &c.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    while (pid > 0 && (fds[0].fd >= 0 || fds[1].fd >= 0))
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0 || ::poll(fds, 2, static_cast<int>(left)) <= 0)
        {
            timedOut = true;
            break;
        }
        for (int i = 0; i < 2; ++i)
            if (fds[i].fd >= 0 && fds[i].revents != 0)
            {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    into[i]->append(buffer, static_cast<size_t>(n));
                else
                {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            ::close(p.fd);
    if (pid <= 0)
        return c;
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && !timedOut && WIFEXITED(status))
        c.status = WEXITSTATUS(status);
    return c;
}

// One parsed object per line of JSON Lines text; a line that is not JSON
// fails the test and is left out.
inline std::vector<nlohmann::json> JsonLines(const std::string& text)
{
    std::vector<nlohmann::json> objects;
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    size_t start = 0;
    for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1)
    {
        const std::string line = text.substr(start, at - start);
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object())
            ADD_FAILURE() << "not a JSON object: " << line;
        else
            objects.push_back(std::move(j));
    }
    return objects;
}

// The kernel picks the source port; nothing else in the lines may differ.
inline std::string SourcePortsMasked(const std::string& text)
{
    static const std::regex port("(Source Port\\(1024-5000\\):)[0-9]+ ");
    return std::regex_replace(text, port, "$1N ");
}

// Names to addresses from a table fixed before the first lookup, so any
// number of threads may ask at once. Anything else is unknown.
class CatalogueResolver
{
public:
    explicit CatalogueResolver(std::map<std::string, std::string> table)
    {
        auto fixed = std::make_shared<const std::map<std::string, std::string>>(std::move(table));
        ws2::SetResolver([fixed](const std::string& name) -> std::optional<in_addr> {
            const auto it = fixed->find(name);
            in_addr address{};
            if (it == fixed->end() || ::inet_pton(AF_INET, it->second.c_str(), &address) != 1)
                return std::nullopt;
            return address;
        });
    }
    ~CatalogueResolver() { ws2::SetResolver(nullptr); }
    CatalogueResolver(const CatalogueResolver&) = delete;
    CatalogueResolver& operator=(const CatalogueResolver&) = delete;
};
} // namespace testing_support
