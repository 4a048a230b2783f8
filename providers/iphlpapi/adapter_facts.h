// What the IP helper module learns about this PC's adapters, and where it
// learns it: files under a root folder (sysfs, the udev database, DHCP
// leases, resolver files), the kernel's addresses and routes, and what
// NetworkManager and systemd-resolved answer on the system bus.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace iphelper
{

struct KernelAddress
{
    int ifindex;
    std::string address; // dotted
    int prefix;
    bool permanent;
    bool secondary;
};

struct KernelRoute
{
    int ifindex;
    std::string gateway;
    int protocol; // RTPROT_*: RTPROT_DHCP when a DHCP client added it
    uint32_t metric;
};

class KernelSource
{
public:
    virtual ~KernelSource() = default;
    virtual std::vector<KernelAddress> Addresses() = 0;
    virtual std::vector<KernelRoute> DefaultRoutes() = 0;
};

// The running kernel, through netlink.
std::unique_ptr<KernelSource> NetlinkKernel();
// A kernel described by text lines, for tests:
//   addr IFINDEX A.B.C.D/PREFIX permanent|dynamic [secondary]
//   route IFINDEX GATEWAY PROTOCOL METRIC
std::unique_ptr<KernelSource> FixtureKernel(const std::string& text);

struct AdapterFacts
{
    std::string name;
    int ifindex = 0;
    unsigned type = 0; // MIB_IF_TYPE_* / IF_TYPE_*
    std::string description;
    std::vector<uint8_t> mac;
    std::vector<std::pair<std::string, std::string>> addresses; // address, mask; primary first
    std::string gateway;
    bool dhcpEnabled = false;
    std::string dhcpServer;
    std::vector<std::string> wins;
    std::vector<std::string> dns;
    int64_t leaseObtained = 0; // seconds since 1970; 0 when unknown
    int64_t leaseExpires = 0;
};

// One device as NetworkManager describes it on the bus.
struct ManagedDevice
{
    std::string iface;
    bool dhcp = false; // it has a DHCP4 configuration
    std::map<std::string, std::string> dhcpOptions;
    std::vector<std::string> dns; // its IPv4 configuration's name servers
};

// What the system bus told; empty when there is no bus, no service or no
// permission, and the files speak alone.
struct BusView
{
    std::vector<ManagedDevice> devices;
    std::vector<std::pair<int, std::string>> linkDns; // systemd-resolved: interface index, IPv4 server
};

// Microseconds on a clock that only goes forward.
using BusClock = uint64_t (*)();
uint64_t MonotonicUsec();

// The time all the bus questions of one report may take together: each waits
// at most what is left, and none is asked once it has passed.
class CBusDeadline
{
public:
    CBusDeadline(uint64_t budgetUsec, BusClock clock = MonotonicUsec);
    uint64_t LeftUsec() const; // 0 once passed

private:
    BusClock m_clock;
    uint64_t m_endUsec;
};

// Asks NetworkManager and systemd-resolved; `address` empty means the system
// bus (which honours DBUS_SYSTEM_BUS_ADDRESS). A question that times out ends
// the questions; a device whose questions were cut short is left out, so that
// the files answer for it.
BusView QueryBus(const std::string& address, const CBusDeadline& deadline);

// Every adapter but loopback, in interface-index order.
std::vector<AdapterFacts> Collect(const std::string& root, KernelSource& kernel, const BusView& bus = {});

// Parsers, each from text to facts.
struct Lease
{
    std::string address;
    std::string server;
    std::vector<std::string> dns;
    std::vector<std::string> wins;
    uint64_t lifetime = 0; // seconds; 0 when not given
    int64_t expires = 0;   // seconds since 1970; 0 when not given
    bool found = false;
};
// The KEY=VALUE lease systemd's DHCP client writes: systemd-networkd's, and
// NetworkManager's own client's (which holds the address alone since that
// client was replaced).
Lease ParseNetworkdLease(const std::string& text);
// A time span as networkd writes it: plain seconds, or "1d 2h 30min 5s".
uint64_t ParseTimespan(const std::string& text);
// NetworkManager's DHCP4 options (dhcp_server_identifier, dhcp_lease_time,
// expiry, ip_address, domain_name_servers, netbios_name_servers).
Lease ParseManagerDhcp4Options(const std::map<std::string, std::string>& options);
Lease ParseDhclientLeases(const std::string& text, const std::string& iface);
Lease ParseDhcpMessage(const std::string& bytes);
std::vector<std::string> ParseNameservers(const std::string& resolvConf);
std::vector<std::string> ParseDnsList(const std::string& value); // networkd's DNS= forms, IPv4 only
std::string MaskFromPrefix(int prefix);

// What the sources of one adapter's DHCP and DNS facts are asked about.
struct AdapterQuery
{
    std::string root;
    const AdapterFacts& adapter;               // name, index and addresses
    const BusView& bus;                        // what the bus told, maybe nothing
    bool dhcpRoute = false;                    // its default route was added by a DHCP client
    bool dynamicOnly = false;                  // every address it holds has a lifetime
    const std::vector<std::string>& globalDns; // resolv.conf's servers, the local stub followed

    bool Holds(const std::string& address) const;
    const ManagedDevice* Managed() const; // NetworkManager's device of this name, or null
};

// Each source answers alone. DHCP: a lease found for an address the adapter
// holds; DNS: a list, empty when it knows none. Collect tries them in the
// order given here, and the first that answers is taken.
struct DhcpSource
{
    const char* name;
    Lease (*ask)(const AdapterQuery& query);
};
struct DnsSource
{
    const char* name;
    std::vector<std::string> (*ask)(const AdapterQuery& query, const Lease& dhcp);
};
const std::vector<DhcpSource>& DhcpSources();
const std::vector<DnsSource>& DnsSources();

// The server of a DHCP lease no source names: the limited broadcast, to which
// a client sends when it knows no server.
constexpr const char* kServerNotNamed = "255.255.255.255";

} // namespace iphelper
