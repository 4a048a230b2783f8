#include "private_bus.h"

#include "module.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace testing_support
{
namespace
{
// Generous for a test, short enough that nothing outlives a stuck run for long.
constexpr const char* kLifetimeSeconds = "120";
constexpr int kStartMs = 10000;
} // namespace

std::string FakeNetworkServicePath() { return platform::ExecutableDirectory() + "/fake_network_service"; }

PrivateBus::PrivateBus(Policy policy)
{
    char name[] = "/tmp/kvbusXXXXXX";
    if (::mkdtemp(name) == nullptr)
        return;
    m_dir = name;
    m_address = "unix:path=" + m_dir + "/bus";
    std::ofstream(m_dir + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>"
        << m_address
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
        << (policy == Policy::DenyNetworkServices
                ? "    <deny send_destination=\"org.freedesktop.NetworkManager\"/>\n"
                  "    <deny send_destination=\"org.freedesktop.resolve1\"/>\n"
                : "")
        << "  </policy>\n"
           "  <limit name=\"max_completed_connections\">32</limit>\n"
           "  <limit name=\"max_incomplete_connections\">8</limit>\n"
           "</busconfig>\n";
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{"timeout", kLifetimeSeconds, "dbus-daemon", "--nofork", "--nopidfile",
                                 "--print-address", "--config-file=" + m_dir + "/bus.conf"});
    m_started = m_daemon->Started() && m_daemon->WaitForOutput("guid=", kStartMs);
}

PrivateBus::~PrivateBus()
{
    m_service.reset();
    m_daemon.reset();
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir);
}

bool PrivateBus::Serve(const std::string& scenario)
{
    if (!m_started)
        return false;
    const std::string file = m_dir + "/scenario";
    std::ofstream(file) << scenario;
    m_service.reset();
    m_service = std::make_unique<ChildProcess>(
        std::vector<std::string>{FakeNetworkServicePath(), m_address, file, kLifetimeSeconds});
    return m_service->Started() && m_service->WaitForOutput("READY", kStartMs);
}
} // namespace testing_support
