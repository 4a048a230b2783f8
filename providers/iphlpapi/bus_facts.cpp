// What NetworkManager and systemd-resolved say about this PC's links, asked
// over the system bus. Their DHCP client keeps the server identifier and the
// lease times only in memory, so the bus is the one place to learn them.
// Any refusal (no bus, no service, no permission, no answer in time) leaves
// the view empty where it failed, and the files speak alone.
#include "adapter_facts.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <systemd/sd-bus.h>

namespace iphelper
{
namespace
{
constexpr const char* kManager = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kDevice = "org.freedesktop.NetworkManager.Device";
constexpr const char* kDhcp4Config = "org.freedesktop.NetworkManager.DHCP4Config";
constexpr const char* kIp4Config = "org.freedesktop.NetworkManager.IP4Config";
constexpr const char* kResolver = "org.freedesktop.resolve1";
constexpr const char* kResolverPath = "/org/freedesktop/resolve1";
constexpr const char* kResolverManager = "org.freedesktop.resolve1.Manager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// Bounds on what a misbehaving service can make us read.
constexpr size_t kMaxDevices = 1024;
constexpr size_t kMaxEntries = 4096;

struct BusCloser
{
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref
{
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError
{
public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&m_error); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    sd_bus_error* Get() { return &m_error; }

private:
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

Bus Open(const std::string& address)
{
    sd_bus* raw = nullptr;
    if (address.empty())
    {
        if (sd_bus_open_system(&raw) < 0)
            return nullptr;
        return Bus(raw);
    }
    if (sd_bus_new(&raw) < 0)
        return nullptr;
    Bus bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}

// Calls one method and keeps the reply; a time-out stops every later call.
class Asker
{
public:
    Asker(sd_bus* bus, const CBusDeadline& deadline) : m_bus(bus), m_deadline(deadline) {}

    bool GaveUp() const { return m_gaveUp; }

    Message Call(const char* destination, const char* path, const char* interface, const char* member,
                 const char* argument1 = nullptr, const char* argument2 = nullptr)
    {
        const uint64_t leftUsec = m_deadline.LeftUsec();
        m_gaveUp = m_gaveUp || leftUsec == 0; // and a wait of 0 would be sd-bus's default of 25 s
        if (m_gaveUp)
            return nullptr;
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(m_bus, &raw, destination, path, interface, member) < 0)
            return nullptr;
        Message call(raw);
        sd_bus_message_set_auto_start(raw, 0); // never start a service just to ask it
        if (argument1 != nullptr && sd_bus_message_append(raw, "ss", argument1, argument2) < 0)
            return nullptr;
        BusError error;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call(m_bus, raw, leftUsec, error.Get(), &reply);
        if (r < 0)
        {
            m_gaveUp = r == -ETIMEDOUT || r == -ECONNRESET || r == -ENOTCONN;
            return nullptr;
        }
        return Message(reply);
    }

    // A property's reply, entered into its variant of the expected signature.
    Message Property(const char* destination, const char* path, const char* interface, const char* name,
                     const char* signature)
    {
        Message reply = Call(destination, path, kProperties, "Get", interface, name);
        if (!reply || sd_bus_message_enter_container(reply.get(), 'v', signature) <= 0)
            return nullptr;
        return reply;
    }

    std::string String(const char* destination, const char* path, const char* interface, const char* name,
                       char type = 's')
    {
        const char signature[] = {type, '\0'};
        Message reply = Property(destination, path, interface, name, signature);
        const char* value = nullptr;
        if (!reply || sd_bus_message_read_basic(reply.get(), type, &value) <= 0 || value == nullptr)
            return std::string();
        return value;
    }

private:
    sd_bus* m_bus;
    const CBusDeadline& m_deadline;
    bool m_gaveUp = false;
};

std::string Ipv4Text(const void* bytes)
{
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, bytes, text, sizeof text) ? text : "";
}

bool IsObject(const std::string& path) { return !path.empty() && path != "/"; }

// Options a{sv}: every option NetworkManager holds is a string.
std::map<std::string, std::string> DhcpOptions(Asker& ask, const std::string& path)
{
    std::map<std::string, std::string> options;
    Message reply = ask.Property(kManager, path.c_str(), kDhcp4Config, "Options", "a{sv}");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "{sv}") <= 0)
        return options;
    sd_bus_message* m = reply.get();
    while (options.size() < kMaxEntries && sd_bus_message_enter_container(m, 'e', "sv") > 0)
    {
        const char* key = nullptr;
        const char* value = nullptr;
        if (sd_bus_message_read_basic(m, 's', &key) <= 0)
            break;
        if (sd_bus_message_enter_container(m, 'v', "s") > 0)
        {
            if (sd_bus_message_read_basic(m, 's', &value) > 0 && key != nullptr && value != nullptr)
                options[key] = value;
            sd_bus_message_exit_container(m);
        }
        else if (sd_bus_message_skip(m, "v") < 0)
            break;
        sd_bus_message_exit_container(m);
    }
    return options;
}

// NameserverData aa{sv} with an "address" text each; the older Nameservers
// (au, addresses in network order) when a release lacks it.
std::vector<std::string> Nameservers(Asker& ask, const std::string& path)
{
    std::vector<std::string> servers;
    auto add = [&](const std::string& text) {
        const auto list = ParseDnsList(text);
        servers.insert(servers.end(), list.begin(), list.end());
    };
    if (Message reply = ask.Property(kManager, path.c_str(), kIp4Config, "NameserverData", "aa{sv}"))
    {
        sd_bus_message* m = reply.get();
        if (sd_bus_message_enter_container(m, 'a', "a{sv}") > 0)
            while (servers.size() < kMaxEntries && sd_bus_message_enter_container(m, 'a', "{sv}") > 0)
            {
                while (sd_bus_message_enter_container(m, 'e', "sv") > 0)
                {
                    const char* key = nullptr;
                    const char* value = nullptr;
                    if (sd_bus_message_read_basic(m, 's', &key) <= 0)
                        return servers;
                    if (key != nullptr && std::string(key) == "address" &&
                        sd_bus_message_enter_container(m, 'v', "s") > 0)
                    {
                        if (sd_bus_message_read_basic(m, 's', &value) > 0 && value != nullptr)
                            add(value);
                        sd_bus_message_exit_container(m);
                    }
                    else if (sd_bus_message_skip(m, "v") < 0)
                        return servers;
                    sd_bus_message_exit_container(m);
                }
                sd_bus_message_exit_container(m);
            }
        return servers;
    }
    if (Message reply = ask.Property(kManager, path.c_str(), kIp4Config, "Nameservers", "au"))
    {
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(reply.get(), 'u', &data, &size) > 0)
            for (size_t i = 0; i + 4 <= size && servers.size() < kMaxEntries; i += 4)
                servers.push_back(Ipv4Text(static_cast<const unsigned char*>(data) + i));
    }
    return servers;
}

void AskManager(Asker& ask, BusView& view)
{
    Message reply = ask.Call(kManager, kManagerPath, kManager, "GetDevices");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "o") <= 0)
        return;
    std::vector<std::string> paths;
    const char* path = nullptr;
    while (paths.size() < kMaxDevices && sd_bus_message_read_basic(reply.get(), 'o', &path) > 0)
        paths.emplace_back(path);
    for (const auto& p : paths)
    {
        ManagedDevice device;
        device.iface = ask.String(kManager, p.c_str(), kDevice, "IpInterface");
        if (device.iface.empty())
            device.iface = ask.String(kManager, p.c_str(), kDevice, "Interface");
        if (device.iface.empty())
            continue;
        const std::string dhcp = ask.String(kManager, p.c_str(), kDevice, "Dhcp4Config", 'o');
        if (IsObject(dhcp))
        {
            device.dhcp = true;
            device.dhcpOptions = DhcpOptions(ask, dhcp);
        }
        const std::string ip4 = ask.String(kManager, p.c_str(), kDevice, "Ip4Config", 'o');
        if (IsObject(ip4))
            device.dns = Nameservers(ask, ip4);
        if (ask.GaveUp())
            return; // half an answer: the files know this device better
        view.devices.push_back(std::move(device));
    }
}

// The resolver's DNS property a(iiay): interface index (0 for the global
// list), address family, address bytes.
void AskResolver(Asker& ask, BusView& view)
{
    Message reply = ask.Property(kResolver, kResolverPath, kResolverManager, "DNS", "a(iiay)");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(iiay)") <= 0)
        return;
    sd_bus_message* m = reply.get();
    while (view.linkDns.size() < kMaxEntries && sd_bus_message_enter_container(m, 'r', "iiay") > 0)
    {
        int32_t ifindex = 0, family = 0;
        const void* bytes = nullptr;
        size_t size = 0;
        if (sd_bus_message_read(m, "ii", &ifindex, &family) < 0 ||
            sd_bus_message_read_array(m, 'y', &bytes, &size) < 0)
            break;
        if (ifindex > 0 && family == AF_INET && size == 4)
            view.linkDns.emplace_back(ifindex, Ipv4Text(bytes));
        sd_bus_message_exit_container(m);
    }
}
} // namespace

uint64_t MonotonicUsec()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

CBusDeadline::CBusDeadline(uint64_t budgetUsec, BusClock clock)
    : m_clock(clock), m_endUsec(clock() + budgetUsec)
{}

uint64_t CBusDeadline::LeftUsec() const
{
    const uint64_t now = m_clock();
    return now < m_endUsec ? m_endUsec - now : 0;
}

BusView QueryBus(const std::string& address, const CBusDeadline& deadline)
{
    BusView view;
    Bus bus = Open(address);
    if (!bus)
        return view;
    Asker ask(bus.get(), deadline);
    AskManager(ask, view);
    AskResolver(ask, view);
    return view;
}

} // namespace iphelper
