// A stand-in for NetworkManager and systemd-resolved on a private bus,
// answering just the calls the IP helper module makes, from a scenario file:
//
//   device IFACE [dhcp [OPTION=VALUE...]]    a device; with a DHCP4 configuration
//   nameservers IFACE ADDRESS...              its IPv4 configuration's NameserverData
//   old-nameservers IFACE ADDRESS...          the same as the older Nameservers (au) only
//   resolved IFINDEX ADDRESS...               systemd-resolved's DNS entries (IPv4 or IPv6)
//   no-resolver                               leave org.freedesktop.resolve1 unowned
//   silent                                    own the names but answer nothing; the number of
//                                             questions asked goes to the file SCENARIO.asked
//
// Usage: fake_network_service ADDRESS SCENARIO SECONDS. It prints READY once
// its names are owned and ends by itself after SECONDS (or when the bus goes).
#include <arpa/inet.h>
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{
struct Device
{
    std::string iface;
    bool dhcp = false;
    std::map<std::string, std::string> options;
    std::vector<std::string> nameservers;
    bool oldNameservers = false;
};

struct Scenario
{
    std::vector<Device> devices;
    std::vector<std::pair<int, std::string>> resolved;
    bool resolver = true;
    std::string askedFile; // silent: where the questions are counted
    int asked = 0;

    Device* Find(const std::string& iface)
    {
        for (auto& d : devices)
            if (d.iface == iface)
                return &d;
        return nullptr;
    }
};

bool Load(const char* path, Scenario& scenario)
{
    std::ifstream in(path);
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);)
    {
        std::istringstream words(line);
        std::string kind, name;
        words >> kind;
        if (kind.empty() || kind[0] == '#')
            continue;
        if (kind == "no-resolver")
        {
            scenario.resolver = false;
            continue;
        }
        if (kind == "silent")
        {
            scenario.askedFile = std::string(path) + ".asked";
            continue;
        }
        words >> name;
        if (kind == "device")
        {
            Device d;
            d.iface = name;
            std::string word;
            while (words >> word)
            {
                const size_t eq = word.find('=');
                if (word == "dhcp")
                    d.dhcp = true;
                else if (eq != std::string::npos)
                    d.options[word.substr(0, eq)] = word.substr(eq + 1);
            }
            scenario.devices.push_back(d);
        }
        else if (kind == "nameservers" || kind == "old-nameservers")
        {
            Device* d = scenario.Find(name);
            if (d == nullptr)
                return false;
            d->oldNameservers = kind == "old-nameservers";
            for (std::string a; words >> a;)
                d->nameservers.push_back(a);
        }
        else if (kind == "resolved")
            for (std::string a; words >> a;)
                scenario.resolved.emplace_back(std::atoi(name.c_str()), a);
        else
            return false;
    }
    return true;
}

const std::string kDevices = "/org/freedesktop/NetworkManager/Devices/";
const std::string kDhcp = "/org/freedesktop/NetworkManager/DHCP4Config/";
const std::string kIp4 = "/org/freedesktop/NetworkManager/IP4Config/";

// The device a numbered object path names, or null.
Device* Numbered(Scenario& s, const std::string& path, const std::string& prefix)
{
    if (path.compare(0, prefix.size(), prefix) != 0)
        return nullptr;
    const size_t n = std::strtoul(path.c_str() + prefix.size(), nullptr, 10);
    return n >= 1 && n <= s.devices.size() ? &s.devices[n - 1] : nullptr;
}

int Fail(sd_bus_message* call, const std::string& what)
{
    return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_UNKNOWN_PROPERTY, "%s", what.c_str());
}

// Writes the value of one property into the open reply; false when there is none.
bool Property(Scenario& s, const std::string& path, const std::string& name, sd_bus_message* r)
{
    if (Device* d = Numbered(s, path, kDevices))
    {
        const size_t n = static_cast<size_t>(d - s.devices.data()) + 1;
        if (name == "Interface" || name == "IpInterface")
            return sd_bus_message_append(r, "v", "s", d->iface.c_str()) >= 0;
        if (name == "Dhcp4Config")
            return sd_bus_message_append(r, "v", "o", d->dhcp ? (kDhcp + std::to_string(n)).c_str() : "/") >=
                   0;
        if (name == "Ip4Config")
            return sd_bus_message_append(
                       r, "v", "o", d->nameservers.empty() ? "/" : (kIp4 + std::to_string(n)).c_str()) >= 0;
        return false;
    }
    if (Device* d = Numbered(s, path, kDhcp); d && name == "Options")
    {
        sd_bus_message_open_container(r, 'v', "a{sv}");
        sd_bus_message_open_container(r, 'a', "{sv}");
        for (const auto& [key, value] : d->options)
            sd_bus_message_append(r, "{sv}", key.c_str(), "s", value.c_str());
        sd_bus_message_close_container(r);
        return sd_bus_message_close_container(r) >= 0;
    }
    if (Device* d = Numbered(s, path, kIp4))
    {
        if (name == "NameserverData" && !d->oldNameservers)
        {
            sd_bus_message_open_container(r, 'v', "aa{sv}");
            sd_bus_message_open_container(r, 'a', "a{sv}");
            for (const auto& a : d->nameservers)
                sd_bus_message_append(r, "a{sv}", 1, "address", "s", a.c_str());
            sd_bus_message_close_container(r);
            return sd_bus_message_close_container(r) >= 0;
        }
        if (name == "Nameservers")
        {
            std::vector<uint32_t> raw;
            for (const auto& a : d->nameservers)
            {
                in_addr addr{};
                ::inet_pton(AF_INET, a.c_str(), &addr);
                raw.push_back(addr.s_addr);
            }
            sd_bus_message_open_container(r, 'v', "au");
            sd_bus_message_append_array(r, 'u', raw.data(), raw.size() * sizeof(uint32_t));
            return sd_bus_message_close_container(r) >= 0;
        }
        return false;
    }
    if (path == "/org/freedesktop/resolve1" && name == "DNS")
    {
        sd_bus_message_open_container(r, 'v', "a(iiay)");
        sd_bus_message_open_container(r, 'a', "(iiay)");
        for (const auto& [ifindex, text] : s.resolved)
        {
            unsigned char bytes[16];
            const int family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
            ::inet_pton(family, text.c_str(), bytes);
            sd_bus_message_open_container(r, 'r', "iiay");
            sd_bus_message_append(r, "ii", ifindex, family);
            sd_bus_message_append_array(r, 'y', bytes, family == AF_INET ? 4 : 16);
            sd_bus_message_close_container(r);
        }
        sd_bus_message_close_container(r);
        return sd_bus_message_close_container(r) >= 0;
    }
    return false;
}

int Handle(sd_bus_message* call, void* userdata, sd_bus_error*)
{
    auto& s = *static_cast<Scenario*>(userdata);
    if (!s.askedFile.empty())
    {
        std::ofstream(s.askedFile) << ++s.asked << "\n";
        return 1; // taken, and never answered: the caller waits until its own deadline
    }
    const std::string path = sd_bus_message_get_path(call);
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_is_method_call(call, "org.freedesktop.NetworkManager", "GetDevices") &&
        path == "/org/freedesktop/NetworkManager")
    {
        sd_bus_message_new_method_return(call, &reply);
        sd_bus_message_open_container(reply, 'a', "o");
        for (size_t n = 1; n <= s.devices.size(); ++n)
            sd_bus_message_append(reply, "o", (kDevices + std::to_string(n)).c_str());
        sd_bus_message_close_container(reply);
    }
    else if (sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get"))
    {
        const char* interface = nullptr;
        const char* name = nullptr;
        if (sd_bus_message_read(call, "ss", &interface, &name) < 0)
            return Fail(call, "bad arguments");
        sd_bus_message_new_method_return(call, &reply);
        if (!Property(s, path, name, reply))
        {
            sd_bus_message_unref(reply);
            return Fail(call, path + " has no " + name);
        }
    }
    else
        return 0; // sd-bus answers "unknown method"
    const int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: %s ADDRESS SCENARIO SECONDS\n", argv[0]);
        return 2;
    }
    Scenario scenario;
    if (!Load(argv[2], scenario))
    {
        std::fprintf(stderr, "cannot read scenario %s\n", argv[2]);
        return 2;
    }
    const time_t deadline = std::time(nullptr) + std::atoi(argv[3]);
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[1]) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 || sd_bus_add_fallback(bus, nullptr, "/", Handle, &scenario) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.NetworkManager", 0) < 0 ||
        (scenario.resolver && sd_bus_request_name(bus, "org.freedesktop.resolve1", 0) < 0))
    {
        std::fprintf(stderr, "cannot serve on %s\n", argv[1]);
        sd_bus_flush_close_unref(bus);
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    for (time_t now; (now = std::time(nullptr)) < deadline;)
    {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break; // the bus went away
        if (r == 0 && sd_bus_wait(bus, static_cast<uint64_t>(deadline - now) * 1000000) < 0)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
