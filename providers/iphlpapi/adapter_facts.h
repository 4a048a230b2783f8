// What the IP helper module learns about this PC's adapters, and where it
// learns it: files under a root folder (sysfs, the udev database, DHCP
// leases, resolver files) and the kernel's addresses and routes.
#pragma once

#include <cstdint>
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
    int protocol; // 16 = DHCP
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
    unsigned type = 1;
    std::string description;
    std::vector<uint8_t> mac;
    std::vector<std::pair<std::string, std::string>> addresses; // address, mask; primary first
    std::string gateway;
    bool dhcpEnabled = false;
    std::string dhcpServer;
    std::vector<std::string> wins;
    std::vector<std::string> dns;
};

// Every adapter but loopback, in interface-index order.
std::vector<AdapterFacts> Collect(const std::string& root, KernelSource& kernel);

// Parsers, each from text to facts.
struct Lease
{
    std::string address;
    std::string server;
    std::vector<std::string> dns;
    std::vector<std::string> wins;
    bool found = false;
};
Lease ParseNetworkdLease(const std::string& text);
Lease ParseDhclientLeases(const std::string& text, const std::string& iface);
Lease ParseDhcpMessage(const std::string& bytes);
std::vector<std::string> ParseNameservers(const std::string& resolvConf);
std::vector<std::string> ParseDnsList(const std::string& value); // networkd's DNS= forms, IPv4 only
std::string MaskFromPrefix(int prefix);

} // namespace iphelper
