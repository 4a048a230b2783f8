#include "adapter_facts.h"

#include "iptypes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <map>
#include <net/if.h>
#include <net/if_arp.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iphelper
{
namespace
{
constexpr size_t kMaxFile = 1 << 20;
// Longer than any lease; a time plus this stays far inside int64_t.
constexpr uint64_t kMaxLifetime = 1000000000000;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::string text(kMaxFile, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::string Trim(std::string s)
{
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

bool IsIpv4(const std::string& text)
{
    in_addr a{};
    return !text.empty() && ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::vector<std::string> Split(const std::string& text, const char* separators)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at < text.size())
    {
        const size_t end = text.find_first_of(separators, at);
        const std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!part.empty())
            parts.push_back(part);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return parts;
}

std::map<std::string, std::string> KeyValues(const std::string& text, char separator = '=')
{
    std::map<std::string, std::string> values;
    for (const auto& line : Split(text, "\n"))
    {
        const size_t eq = line.find(separator);
        if (eq != std::string::npos && line[0] != '#')
            values[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
    }
    return values;
}

std::string LinkTarget(const std::string& path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    std::string target(buffer, static_cast<size_t>(n));
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

bool Exists(const std::string& path)
{
    struct stat st
    {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Hex4(std::string text)
{
    text = Trim(text);
    if (text.rfind("0x", 0) == 0)
        text = text.substr(2);
    return text;
}

std::string Ipv4FromBytes(const unsigned char* p)
{
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, p, text, sizeof text) ? text : "";
}

// A file descriptor, closed when its owner goes.
class CDescriptor
{
public:
    explicit CDescriptor(int fd) : m_fd(fd) {}
    ~CDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

struct DirectoryCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> List(const std::string& path)
{
    std::vector<std::string> names;
    const Directory dir(::opendir(path.c_str()));
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir.get()))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    return names;
}

// netlink dump of one request type; every message goes to visit.
template <typename Visit> bool NetlinkDump(int type, Visit visit)
{
    const CDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    const int fd = socket.Get();
    if (fd < 0)
        return false;
    struct
    {
        nlmsghdr header;
        rtgenmsg message;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = static_cast<uint16_t>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.rtgen_family = AF_INET;
    if (::send(fd, &request, sizeof request, 0) < 0)
        return false;
    std::vector<char> buffer(64 * 1024);
    bool done = false;
    for (int reads = 0; !done && reads < 10000; ++reads)
    {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        int left = static_cast<int>(n);
        // NLMSG_OK compares the signed length left with the header's unsigned one; the length stays
        // signed so that a short last message makes it negative and ends the walk.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left))
        {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR)
            {
                done = true;
                break;
            }
            visit(h);
        }
#pragma GCC diagnostic pop
    }
    return done;
}

class Netlink : public KernelSource
{
public:
    std::vector<KernelAddress> Addresses() override
    {
        std::vector<KernelAddress> out;
        NetlinkDump(RTM_GETADDR, [&](nlmsghdr* h) {
            auto* ifa = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
            if (ifa->ifa_family != AF_INET)
                return;
            uint32_t flags = ifa->ifa_flags;
            std::string local;
            int len = static_cast<int>(IFA_PAYLOAD(h));
            for (auto* a = IFA_RTA(ifa); RTA_OK(a, len); a = RTA_NEXT(a, len))
            {
                if (a->rta_type == IFA_LOCAL && RTA_PAYLOAD(a) == 4)
                    local = Ipv4FromBytes(static_cast<unsigned char*>(RTA_DATA(a)));
                else if (a->rta_type == IFA_ADDRESS && RTA_PAYLOAD(a) == 4 && local.empty())
                    local = Ipv4FromBytes(static_cast<unsigned char*>(RTA_DATA(a)));
                else if (a->rta_type == IFA_FLAGS && RTA_PAYLOAD(a) == 4)
                    std::memcpy(&flags, RTA_DATA(a), 4);
            }
            out.push_back({static_cast<int>(ifa->ifa_index), local, ifa->ifa_prefixlen,
                           (flags & IFA_F_PERMANENT) != 0, (flags & IFA_F_SECONDARY) != 0});
        });
        return out;
    }
    std::vector<KernelRoute> DefaultRoutes() override
    {
        std::vector<KernelRoute> out;
        NetlinkDump(RTM_GETROUTE, [&](nlmsghdr* h) {
            auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
            if (rt->rtm_family != AF_INET || rt->rtm_dst_len != 0 || rt->rtm_type != RTN_UNICAST)
                return;
            KernelRoute route{0, "", rt->rtm_protocol, 0};
            int len = static_cast<int>(RTM_PAYLOAD(h));
            for (auto* a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len))
            {
                if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) == 4)
                    route.gateway = Ipv4FromBytes(static_cast<unsigned char*>(RTA_DATA(a)));
                else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) == 4)
                    std::memcpy(&route.ifindex, RTA_DATA(a), 4);
                else if (a->rta_type == RTA_PRIORITY && RTA_PAYLOAD(a) == 4)
                    std::memcpy(&route.metric, RTA_DATA(a), 4);
            }
            if (!route.gateway.empty() && route.ifindex > 0)
                out.push_back(route);
        });
        return out;
    }
};

class Fixture : public KernelSource
{
public:
    explicit Fixture(const std::string& text)
    {
        for (const auto& line : Split(text, "\n"))
        {
            std::istringstream in(line);
            std::string kind;
            in >> kind;
            if (kind == "addr")
            {
                KernelAddress a{};
                std::string cidr, life, secondary;
                in >> a.ifindex >> cidr >> life >> secondary;
                const size_t slash = cidr.find('/');
                a.address = cidr.substr(0, slash);
                a.prefix = slash == std::string::npos ? 32 : std::atoi(cidr.c_str() + slash + 1);
                a.permanent = life != "dynamic";
                a.secondary = secondary == "secondary";
                m_addresses.push_back(a);
            }
            else if (kind == "route")
            {
                KernelRoute r{};
                in >> r.ifindex >> r.gateway >> r.protocol >> r.metric;
                m_routes.push_back(r);
            }
        }
    }
    std::vector<KernelAddress> Addresses() override { return m_addresses; }
    std::vector<KernelRoute> DefaultRoutes() override { return m_routes; }

private:
    std::vector<KernelAddress> m_addresses;
    std::vector<KernelRoute> m_routes;
};

// The record's interface type for a link of this hardware type.
unsigned InterfaceType(int arphrd, bool wireless)
{
    if (wireless)
        return IF_TYPE_IEEE80211; // cfg80211 links say ARPHRD_ETHER too
    switch (arphrd)
    {
    case ARPHRD_ETHER: return MIB_IF_TYPE_ETHERNET;
    case ARPHRD_PPP: return MIB_IF_TYPE_PPP;
    case ARPHRD_NONE: // tun, wireguard
    case ARPHRD_TUNNEL:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE: return IF_TYPE_TUNNEL;
    default: return MIB_IF_TYPE_OTHER;
    }
}

std::string Description(const std::string& root, const std::string& name, int ifindex,
                        const std::string& devtype, const std::string& sysdir)
{
    const auto udev = KeyValues(ReadFile(root + "/run/udev/data/n" + std::to_string(ifindex)));
    auto value = [&](const char* key) {
        const auto it = udev.find(std::string("E:") + key);
        return it == udev.end() ? std::string() : it->second;
    };
    std::string text = Trim(value("ID_VENDOR_FROM_DATABASE") + " " + value("ID_MODEL_FROM_DATABASE"));
    if (text.empty() && Exists(sysdir + "/device"))
    {
        std::string driver = LinkTarget(sysdir + "/device/driver");
        if (driver.empty())
            driver = KeyValues(ReadFile(sysdir + "/device/uevent"))["DRIVER"];
        const std::string vendor = Hex4(ReadFile(sysdir + "/device/vendor"));
        const std::string device = Hex4(ReadFile(sysdir + "/device/device"));
        text = driver.empty() ? name : driver;
        if (!vendor.empty() && !device.empty())
            text += " (PCI " + vendor + ":" + device + ")";
    }
    if (text.empty())
    {
        std::string kind = devtype;
        if (kind.empty() && Exists(sysdir + "/bridge"))
            kind = "bridge";
        if (kind.empty() && Exists(sysdir + "/bonding"))
            kind = "bond";
        if (kind.empty() && Exists(sysdir + "/tun_flags"))
            kind = "tun";
        text = "Virtual " + (kind.empty() ? std::string("interface") : kind) + " " + name;
    }
    constexpr size_t MAX_DESCRIPTION = 131;
    if (text.size() > MAX_DESCRIPTION)
    {
        size_t cut = MAX_DESCRIPTION;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut; // never inside a UTF-8 sequence
        text.resize(cut);
    }
    return text;
}
} // namespace

std::unique_ptr<KernelSource> NetlinkKernel() { return std::make_unique<Netlink>(); }
std::unique_ptr<KernelSource> FixtureKernel(const std::string& text)
{
    return std::make_unique<Fixture>(text);
}

std::string MaskFromPrefix(int prefix)
{
    prefix = std::clamp(prefix, 0, 32);
    const uint32_t mask = prefix == 0 ? 0 : htonl(~uint32_t{0} << (32 - prefix));
    return Ipv4FromBytes(reinterpret_cast<const unsigned char*>(&mask));
}

std::vector<std::string> ParseDnsList(const std::string& value)
{
    std::vector<std::string> out;
    for (std::string entry : Split(value, " \t,"))
    {
        entry = entry.substr(0, entry.find('#'));
        entry = entry.substr(0, entry.find('%'));
        if (entry.find('[') != std::string::npos)
            continue; // IPv6
        entry = entry.substr(0, entry.find(':'));
        if (IsIpv4(entry))
            out.push_back(entry);
    }
    return out;
}

std::vector<std::string> ParseNameservers(const std::string& resolvConf)
{
    std::vector<std::string> out;
    for (const auto& line : Split(resolvConf, "\n"))
    {
        std::istringstream in(line);
        std::string key, value;
        in >> key >> value;
        if (key == "nameserver" && IsIpv4(value))
            out.push_back(value);
    }
    return out;
}

uint64_t ParseTimespan(const std::string& text)
{
    static const std::pair<const char*, uint64_t> kUnits[] = {{"", 1},
                                                              {"s", 1},
                                                              {"sec", 1},
                                                              {"second", 1},
                                                              {"seconds", 1},
                                                              {"m", 60},
                                                              {"min", 60},
                                                              {"minute", 60},
                                                              {"minutes", 60},
                                                              {"h", 3600},
                                                              {"hr", 3600},
                                                              {"hour", 3600},
                                                              {"hours", 3600},
                                                              {"d", 86400},
                                                              {"day", 86400},
                                                              {"days", 86400},
                                                              {"w", 604800},
                                                              {"week", 604800},
                                                              {"weeks", 604800},
                                                              {"M", 2629800},
                                                              {"month", 2629800},
                                                              {"months", 2629800},
                                                              {"y", 31557600},
                                                              {"year", 31557600},
                                                              {"years", 31557600},
                                                              {"ms", 0},
                                                              {"msec", 0},
                                                              {"us", 0},
                                                              {"usec", 0}};
    uint64_t total = 0;
    size_t at = 0;
    bool any = false;
    while (true)
    {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at == text.size())
            break;
        if (!std::isdigit(static_cast<unsigned char>(text[at])))
            return 0;
        uint64_t number = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
        {
            if (number > UINT32_MAX)
                return 0; // beyond any lease
            number = number * 10 + static_cast<uint64_t>(text[at++] - '0');
        }
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        const size_t unitStart = at;
        while (at < text.size() && std::isalpha(static_cast<unsigned char>(text[at])))
            ++at;
        const std::string unit = text.substr(unitStart, at - unitStart);
        const auto* found = std::find_if(std::begin(kUnits), std::end(kUnits),
                                         [&](const auto& u) { return unit == u.first; });
        if (found == std::end(kUnits))
            return 0;
        total += number * found->second;
        if (total > kMaxLifetime)
            return 0; // beyond any lease, and a sum of such terms would wrap
        any = true;
    }
    return any ? total : 0;
}

Lease ParseNetworkdLease(const std::string& text)
{
    Lease lease;
    auto values = KeyValues(text);
    lease.address = values["ADDRESS"];
    lease.server = values["SERVER_ADDRESS"];
    lease.dns = ParseDnsList(values["DNS"]);
    lease.lifetime = ParseTimespan(values["LIFETIME"]);
    lease.found = IsIpv4(lease.address);
    if (!IsIpv4(lease.server))
        lease.server.clear();
    return lease;
}

Lease ParseManagerDhcp4Options(const std::map<std::string, std::string>& options)
{
    Lease lease;
    auto value = [&](const char* key) {
        const auto it = options.find(key);
        return it == options.end() ? std::string() : Trim(it->second);
    };
    lease.address = value("ip_address");
    lease.server = value("dhcp_server_identifier");
    if (!IsIpv4(lease.server))
        lease.server.clear();
    lease.dns = ParseDnsList(value("domain_name_servers"));
    lease.wins = ParseDnsList(value("netbios_name_servers"));
    const std::string lifetime = value("dhcp_lease_time");
    const std::string expiry = value("expiry");
    if (!lifetime.empty() && lifetime.find_first_not_of("0123456789") == std::string::npos &&
        lifetime.size() < 11)
        lease.lifetime = std::strtoull(lifetime.c_str(), nullptr, 10);
    if (!expiry.empty() && expiry.find_first_not_of("0123456789") == std::string::npos && expiry.size() < 13)
        lease.expires = std::strtoll(expiry.c_str(), nullptr, 10);
    lease.found = !options.empty();
    return lease;
}

Lease ParseDhclientLeases(const std::string& text, const std::string& iface)
{
    Lease last;
    size_t at = 0;
    while ((at = text.find("lease", at)) != std::string::npos)
    {
        const size_t open = text.find('{', at);
        const size_t close = open == std::string::npos ? std::string::npos : text.find('}', open);
        if (close == std::string::npos)
            break;
        Lease lease;
        std::string leaseIface;
        for (auto statement : Split(text.substr(open + 1, close - open - 1), ";"))
        {
            statement = Trim(statement);
            std::istringstream in(statement);
            std::string word;
            in >> word;
            std::string rest;
            std::getline(in, rest);
            rest = Trim(rest);
            if (word == "interface")
                leaseIface = Trim(rest.substr(rest.find('"') + 1, rest.rfind('"') - rest.find('"') - 1));
            else if (word == "fixed-address")
                lease.address = rest;
            else if (word == "option")
            {
                std::istringstream opt(rest);
                std::string name, value;
                opt >> name;
                std::getline(opt, value);
                if (name == "dhcp-server-identifier")
                    lease.server = Trim(value);
                else if (name == "domain-name-servers")
                    lease.dns = ParseDnsList(value);
                else if (name == "netbios-name-servers")
                    lease.wins = ParseDnsList(value);
            }
        }
        if ((leaseIface.empty() || leaseIface == iface) && IsIpv4(lease.address))
        {
            lease.found = true;
            last = lease; // the last lease in the file is the one in use
        }
        at = close + 1;
    }
    if (!IsIpv4(last.server))
        last.server.clear();
    return last;
}

Lease ParseDhcpMessage(const std::string& bytes)
{
    // The BOOTP header, the magic cookie, then the options (RFC 2131, 2132).
    constexpr size_t kYourAddress = 16;
    constexpr size_t kCookie = 236;
    constexpr size_t kOptions = 240;
    constexpr unsigned char kMagicCookie[] = {0x63, 0x82, 0x53, 0x63};
    constexpr unsigned char kOptionPad = 0, kOptionDnsServers = 6, kOptionNetbiosNameServers = 44,
                            kOptionServerIdentifier = 54, kOptionEnd = 255;
    Lease lease;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < kOptions || std::memcmp(p + kCookie, kMagicCookie, sizeof kMagicCookie) != 0)
        return lease;
    lease.address = Ipv4FromBytes(p + kYourAddress);
    auto list = [&](const unsigned char* v, size_t n) {
        std::vector<std::string> out;
        for (size_t i = 0; i + 4 <= n; i += 4)
            out.push_back(Ipv4FromBytes(v + i));
        return out;
    };
    for (size_t at = kOptions; at < bytes.size();)
    {
        const unsigned char code = p[at];
        if (code == kOptionEnd)
            break;
        if (code == kOptionPad)
        {
            ++at;
            continue;
        }
        if (at + 1 >= bytes.size())
            break;
        const size_t len = p[at + 1];
        if (at + 2 + len > bytes.size())
            break;
        const unsigned char* v = p + at + 2;
        if (code == kOptionServerIdentifier && len == 4)
            lease.server = Ipv4FromBytes(v);
        else if (code == kOptionDnsServers)
            lease.dns = list(v, len);
        else if (code == kOptionNetbiosNameServers)
            lease.wins = list(v, len);
        at += 2 + len;
    }
    lease.found = lease.address != "0.0.0.0";
    return lease;
}

bool AdapterQuery::Holds(const std::string& address) const
{
    return std::any_of(adapter.addresses.begin(), adapter.addresses.end(),
                       [&](const auto& held) { return held.first == address; });
}

const ManagedDevice* AdapterQuery::Managed() const
{
    for (const auto& device : bus.devices)
        if (device.iface == adapter.name)
            return &device;
    return nullptr;
}

namespace
{
// NetworkManager's DHCP client, live on the bus.
Lease ManagerOnBus(const AdapterQuery& q)
{
    const ManagedDevice* device = q.Managed();
    if (device == nullptr || !device->dhcp)
        return Lease{};
    Lease lease = ParseManagerDhcp4Options(device->dhcpOptions);
    lease.found = true; // it runs a DHCP client on this device now
    return lease;
}

Lease NetworkdLease(const AdapterQuery& q)
{
    const std::string path = q.root + "/run/systemd/netif/leases/" + std::to_string(q.adapter.ifindex);
    Lease lease = ParseNetworkdLease(ReadFile(path));
    if (!lease.found || !q.Holds(lease.address))
        return Lease{};
    struct stat st
    {};
    if (lease.lifetime > 0 && ::stat(path.c_str(), &st) == 0) // written when the lease was obtained
        lease.expires = static_cast<int64_t>(st.st_mtime) + static_cast<int64_t>(lease.lifetime);
    return lease;
}

// ISC dhclient as Debian's ifupdown runs it, or with its default file.
Lease DhclientLeases(const AdapterQuery& q)
{
    const std::string& name = q.adapter.name;
    for (const auto& file :
         {"/var/lib/dhcp/dhclient." + name + ".leases", std::string("/var/lib/dhcp/dhclient.leases")})
        if (Lease lease = ParseDhclientLeases(ReadFile(q.root + file), name);
            lease.found && q.Holds(lease.address))
            return lease;
    return Lease{};
}

Lease DhcpcdLease(const AdapterQuery& q)
{
    Lease lease = ParseDhcpMessage(ReadFile(q.root + "/var/lib/dhcpcd/" + q.adapter.name + ".lease"));
    return lease.found && q.Holds(lease.address) ? lease : Lease{};
}

// NetworkManager's files, PLUGIN-UUID-IFACE.lease under its run-time folder
// or its state folder: its own client's KEY=VALUE file, or dhclient's leases
// when it runs dhclient. A lease that names its server is preferred.
Lease ManagerLeaseFiles(const AdapterQuery& q)
{
    constexpr size_t kUuid = 36;
    const std::string suffix = "-" + q.adapter.name + ".lease";
    Lease best;
    for (const char* folder : {"/run/NetworkManager/", "/var/lib/NetworkManager/"})
        for (const auto& file : List(q.root + folder))
            for (const std::string plugin : {"internal-", "dhclient-"})
            {
                if (file.size() != plugin.size() + kUuid + suffix.size() || file.rfind(plugin, 0) != 0 ||
                    file.compare(file.size() - suffix.size(), std::string::npos, suffix) != 0)
                    continue;
                const std::string text = ReadFile(q.root + folder + file);
                Lease lease = plugin == "internal-" ? ParseNetworkdLease(text)
                                                    : ParseDhclientLeases(text, q.adapter.name);
                if (lease.found && q.Holds(lease.address) &&
                    (!best.found || (best.server.empty() && !lease.server.empty())))
                    best = lease;
            }
    return best;
}

// No lease, but the kernel shows a DHCP client's work; it names no server, and
// the gateway is never taken for one.
Lease KernelHints(const AdapterQuery& q)
{
    Lease lease;
    lease.found = q.dhcpRoute || q.dynamicOnly;
    return lease;
}

std::vector<std::string> ManagerDnsOnBus(const AdapterQuery& q, const Lease&)
{
    const ManagedDevice* device = q.Managed();
    return device != nullptr ? device->dns : std::vector<std::string>{};
}

std::vector<std::string> NetworkdLinkDns(const AdapterQuery& q, const Lease&)
{
    return ParseDnsList(
        KeyValues(ReadFile(q.root + "/run/systemd/netif/links/" + std::to_string(q.adapter.ifindex)))["DNS"]);
}

// systemd-resolved's own list for the link, as the bus gives it.
std::vector<std::string> ResolvedDnsOnBus(const AdapterQuery& q, const Lease&)
{
    std::vector<std::string> dns;
    for (const auto& [ifindex, server] : q.bus.linkDns)
        if (ifindex == q.adapter.ifindex && std::find(dns.begin(), dns.end(), server) == dns.end())
            dns.push_back(server);
    return dns;
}

std::vector<std::string> ResolvedLinkDns(const AdapterQuery& q, const Lease&)
{
    return ParseDnsList(KeyValues(
        ReadFile(q.root + "/run/systemd/resolve/netif/" + std::to_string(q.adapter.ifindex)))["SERVERS"]);
}

std::vector<std::string> LeaseDns(const AdapterQuery&, const Lease& dhcp) { return dhcp.dns; }

// The global list, for an adapter that holds an address to reach it from.
std::vector<std::string> GlobalDns(const AdapterQuery& q, const Lease&)
{
    return q.adapter.addresses.empty() ? std::vector<std::string>{} : q.globalDns;
}

// resolv.conf's servers; the local stub stands for the upstream list in the resolver's own file.
std::vector<std::string> ResolvConfServers(const std::string& root)
{
    std::vector<std::string> upstream;
    for (const auto& server : ParseNameservers(ReadFile(root + "/etc/resolv.conf")))
        if (server != "127.0.0.53")
            upstream.push_back(server);
        else
            for (const char* file :
                 {"/run/systemd/resolve/resolv.conf", "/run/NetworkManager/no-stub-resolv.conf"})
                for (const auto& s : ParseNameservers(ReadFile(root + file)))
                    if (s != "127.0.0.53" && std::find(upstream.begin(), upstream.end(), s) == upstream.end())
                        upstream.push_back(s);
    return upstream;
}
} // namespace

const std::vector<DhcpSource>& DhcpSources()
{
    static const std::vector<DhcpSource> sources{{"manager-bus", ManagerOnBus},
                                                 {"networkd-lease", NetworkdLease},
                                                 {"dhclient-leases", DhclientLeases},
                                                 {"dhcpcd-lease", DhcpcdLease},
                                                 {"manager-lease-files", ManagerLeaseFiles},
                                                 {"kernel-hints", KernelHints}};
    return sources;
}

const std::vector<DnsSource>& DnsSources()
{
    static const std::vector<DnsSource> sources{{"manager-bus", ManagerDnsOnBus},
                                                {"networkd-link", NetworkdLinkDns},
                                                {"resolved-bus", ResolvedDnsOnBus},
                                                {"resolved-link", ResolvedLinkDns},
                                                {"lease", LeaseDns},
                                                {"resolv.conf", GlobalDns}};
    return sources;
}

std::vector<AdapterFacts> Collect(const std::string& root, KernelSource& kernel, const BusView& bus)
{
    std::vector<AdapterFacts> adapters;
    const std::string netDir = root + "/sys/class/net";
    const std::vector<std::string> names = List(netDir);
    if (names.empty())
        return adapters;
    const auto addresses = kernel.Addresses();
    const auto routes = kernel.DefaultRoutes();
    const std::vector<std::string> globalDns = ResolvConfServers(root);

    for (const auto& name : names)
    {
        const std::string sys = netDir + "/" + name;
        AdapterFacts a;
        a.name = name;
        a.ifindex = std::atoi(ReadFile(sys + "/ifindex").c_str());
        const int arphrd = std::atoi(ReadFile(sys + "/type").c_str());
        const auto uevent = KeyValues(ReadFile(sys + "/uevent"));
        const auto devtypeIt = uevent.find("DEVTYPE");
        const std::string devtype = devtypeIt == uevent.end() ? "" : devtypeIt->second;
        if (arphrd == ARPHRD_LOOPBACK || a.ifindex <= 0)
            continue; // loopback, or an interface that went away
        a.type = InterfaceType(arphrd,
                               devtype == "wlan" || Exists(sys + "/phy80211") || Exists(sys + "/wireless"));
        for (const auto& part : Split(Trim(ReadFile(sys + "/address")), ":"))
            if (a.mac.size() < 8)
                a.mac.push_back(static_cast<uint8_t>(std::strtoul(part.c_str(), nullptr, 16)));

        bool anyPermanent = false, anyDynamic = false;
        for (int pass = 0; pass < 2; ++pass) // primary addresses first
            for (const auto& k : addresses)
                if (k.ifindex == a.ifindex && k.secondary == (pass == 1) && IsIpv4(k.address))
                {
                    a.addresses.emplace_back(k.address, MaskFromPrefix(k.prefix));
                    (k.permanent ? anyPermanent : anyDynamic) = true;
                }
        const bool virtualLink = !Exists(sys + "/device");
        const unsigned flags =
            static_cast<unsigned>(std::strtoul(ReadFile(sys + "/flags").c_str(), nullptr, 16));
        if (virtualLink && !(flags & IFF_UP) && a.addresses.empty())
            continue; // a virtual link that is down and holds no address
        a.description = Description(root, name, a.ifindex, devtype, sys);

        uint32_t bestMetric = UINT32_MAX;
        bool dhcpRoute = false;
        for (const auto& r : routes)
            if (r.ifindex == a.ifindex && (a.gateway.empty() || r.metric < bestMetric))
            {
                a.gateway = r.gateway;
                bestMetric = r.metric;
                dhcpRoute = r.protocol == RTPROT_DHCP;
            }

        const AdapterQuery query{root, a, bus, dhcpRoute, anyDynamic && !anyPermanent, globalDns};
        Lease dhcp;
        for (const auto& source : DhcpSources())
            if ((dhcp = source.ask(query)).found)
                break;
        if (dhcp.found)
        {
            a.dhcpEnabled = true;
            // Never an empty server beside "DHCP Enabled": that reads as no DHCP service at all.
            a.dhcpServer = dhcp.server.empty() ? kServerNotNamed : dhcp.server;
            a.wins = dhcp.wins;
            if (dhcp.expires > 0 && dhcp.lifetime > 0)
            {
                a.leaseExpires = dhcp.expires;
                a.leaseObtained = dhcp.expires - static_cast<int64_t>(dhcp.lifetime);
            }
        }
        for (const auto& source : DnsSources())
            if (!(a.dns = source.ask(query, dhcp)).empty())
                break;
        adapters.push_back(std::move(a));
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const AdapterFacts& x, const AdapterFacts& y) { return x.ifindex < y.ifindex; });
    return adapters;
}

} // namespace iphelper
