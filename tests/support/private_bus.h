// A D-Bus of a test's own: a dbus-daemon on a socket in a fresh folder, with
// the fake NetworkManager/systemd-resolved service answering on it. Both are
// bounded in time (they end by themselves) and the daemon in connections;
// both end when the object goes.
#pragma once

#include "child_process.h"

#include <fstream>
#include <memory>
#include <string>

namespace testing_support
{
class PrivateBus
{
public:
    enum class Policy
    {
        Open,
        DenyNetworkServices // the daemon refuses every call to the two services
    };
    explicit PrivateBus(Policy policy = Policy::Open);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool Started() const { return m_started; }
    const std::string& Address() const { return m_address; }
    // Starts the fake services with this scenario (the fake's file format);
    // true once they own their names.
    bool Serve(const std::string& scenario);
    // How many questions a silent service (scenario line "silent") was asked.
    int Questions() const
    {
        int asked = 0;
        std::ifstream(m_dir + "/scenario.asked") >> asked;
        return asked;
    }

private:
    std::string m_dir;
    std::string m_address;
    bool m_started = false;
    std::unique_ptr<ChildProcess> m_daemon;
    std::unique_ptr<ChildProcess> m_service;
};

// The fake service's program, beside the test programs.
std::string FakeNetworkServicePath();
} // namespace testing_support
