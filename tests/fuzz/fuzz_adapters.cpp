// libFuzzer targets: the IP helper module fed the files other programs write
// (leases of networkd, dhclient, dhcpcd and NetworkManager, resolver files,
// resolved's and networkd's link state, the udev database), the kernel
// fixture text, and the DHCP4 options NetworkManager hands over the bus.
//
// Input: sections, each a line "@@NAME" followed by the file's bytes up to
// the next line that starts with "@@". The names are those of kFiles,
// "kernel" (the fixture kernel's text), "nm-options" (NetworkManager's DHCP4
// options for eth0, a KEY=VALUE a line, as the bus would give them) and
// "timespan" (a networkd time span alone).
//
// fuzz_adapter_parsers hands every section to its parser. fuzz_adapter_files
// (KV_WHOLE_MODULE) also writes them as the files of one PC with one
// interface, eth0, and has the module pack that PC's records with their
// published layouts; every file read costs the module a megabyte buffer, so
// it runs far fewer inputs a second and is a target of its own.
#include "adapter_facts.h"
#include "iptypes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" void KvIpHelperSetSources(const char* root, const char* kernelFixture);
extern "C" DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size);
extern "C" DWORD GetPerAdapterInfo(ULONG index, IP_PER_ADAPTER_INFO* info, ULONG* size);

namespace fs = std::filesystem;

namespace
{
void Check(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "IP helper: %s\n", what);
        std::abort();
    }
}

bool IsIpv4(const std::string& text)
{
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

void CheckLease(const iphelper::Lease& lease)
{
    // Added to a file's time or the clock, a lifetime must not overflow.
    Check(lease.lifetime < (uint64_t{1} << 62), "a lease lifetime no time can be added to");
    Check(lease.expires >= 0 && lease.expires < (int64_t{1} << 62), "a lease expiry outside any time");
    Check(!lease.found || IsIpv4(lease.address), "a found lease without an IPv4 address");
    Check(lease.server.empty() || IsIpv4(lease.server), "a lease's server is no IPv4 address");
    for (const auto& s : lease.dns)
        Check(IsIpv4(s), "a lease's DNS server is no IPv4 address");
}

void CheckList(const std::vector<std::string>& list)
{
    for (const auto& s : list)
        Check(IsIpv4(s), "a server list holds something that is no IPv4 address");
}

// NetworkManager's options name no address the module uses, so only the
// server and the lists are held to IPv4.
void CheckManagerLease(const iphelper::Lease& lease)
{
    iphelper::Lease rest = lease;
    rest.address.clear();
    rest.found = false;
    CheckLease(rest);
    CheckList(lease.wins);
}

std::map<std::string, std::string> Options(const std::string& text)
{
    std::map<std::string, std::string> options;
    size_t at = 0;
    while (at < text.size())
    {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (const size_t eq = line.find('='); eq != std::string::npos)
            options[line.substr(0, eq)] = line.substr(eq + 1);
        at = end + 1;
    }
    return options;
}

std::map<std::string, std::string> Sections(const uint8_t* data, size_t size)
{
    std::map<std::string, std::string> sections;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t at = text.rfind("@@", 0) == 0 ? 0 : text.find("\n@@");
    while (at != std::string::npos)
    {
        at = text[at] == '\n' ? at + 3 : at + 2;
        const size_t nameEnd = text.find('\n', at);
        if (nameEnd == std::string::npos)
            break;
        const size_t next = text.find("\n@@", nameEnd);
        sections[text.substr(at, nameEnd - at)] =
            text.substr(nameEnd + 1, next == std::string::npos ? std::string::npos : next - nameEnd);
        at = next;
    }
    return sections;
}

#ifdef KV_WHOLE_MODULE
// A record's text field ends inside the field.
template <size_t N> void Ended(const char (&field)[N], const char* what)
{
    Check(std::memchr(field, '\0', N) != nullptr, what);
}

void Ended(const IP_ADDR_STRING& slot)
{
    Ended(slot.IpAddress.String, "address not ended in its field");
    Ended(slot.IpMask.String, "mask not ended in its field");
}

// Section names and where each file lives; IDX is the interface's index as
// the module reads it from the "ifindex" section.
const std::map<std::string, std::string> kFiles = {
    {"ifindex", "/sys/class/net/eth0/ifindex"},
    {"type", "/sys/class/net/eth0/type"},
    {"flags", "/sys/class/net/eth0/flags"},
    {"address", "/sys/class/net/eth0/address"},
    {"uevent", "/sys/class/net/eth0/uevent"},
    {"device-uevent", "/sys/class/net/eth0/device/uevent"},
    {"device-vendor", "/sys/class/net/eth0/device/vendor"},
    {"device-device", "/sys/class/net/eth0/device/device"},
    {"udev", "/run/udev/data/nIDX"},
    {"networkd-lease", "/run/systemd/netif/leases/IDX"},
    {"networkd-link", "/run/systemd/netif/links/IDX"},
    {"resolved-link", "/run/systemd/resolve/netif/IDX"},
    {"dhclient", "/var/lib/dhcp/dhclient.eth0.leases"},
    {"dhclient-all", "/var/lib/dhcp/dhclient.leases"},
    {"dhcpcd", "/var/lib/dhcpcd/eth0.lease"},
    {"nm-lease", "/var/lib/NetworkManager/internal-6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0001-eth0.lease"},
    {"nm-dhclient", "/run/NetworkManager/dhclient-6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0001-eth0.lease"},
    {"resolv.conf", "/etc/resolv.conf"},
    {"resolved-upstream", "/run/systemd/resolve/resolv.conf"},
    {"nm-upstream", "/run/NetworkManager/no-stub-resolv.conf"},
};

std::string g_root;

void Describe(const std::map<std::string, std::string>& sections)
{
    fs::remove_all(g_root);
    const auto ifindex = sections.find("ifindex");
    const std::string idx =
        std::to_string(std::atoi(ifindex == sections.end() ? "2" : ifindex->second.c_str()));
    fs::create_directories(g_root + "/sys/class/net/eth0");
    for (const auto& [name, path] : kFiles)
    {
        const auto it = sections.find(name);
        if (it == sections.end())
            continue;
        std::string file = g_root + path;
        if (const size_t at = file.find("IDX"); at != std::string::npos)
            file.replace(at, 3, idx);
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file, std::ios::binary) << it->second;
    }
}

void Records()
{
    // Room for any PC this input can describe, so one call gathers it.
    static std::vector<unsigned char> buffer(1 << 20);
    ULONG size = static_cast<ULONG>(buffer.size());
    auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    const DWORD result = GetAdaptersInfo(info, &size);
    if (result != ERROR_SUCCESS)
    {
        Check(result == ERROR_NO_DATA, "GetAdaptersInfo");
        return;
    }
    for (const IP_ADAPTER_INFO* a = info; a; a = a->Next)
    {
        Ended(a->AdapterName, "adapter name not ended");
        Ended(a->Description, "description not ended");
        Check(a->AddressLength <= MAX_ADAPTER_ADDRESS_LENGTH, "hardware address length");
        for (const IP_ADDR_STRING* s = &a->IpAddressList; s; s = s->Next)
            Ended(*s);
        Ended(a->GatewayList);
        Ended(a->DhcpServer);
        Ended(a->PrimaryWinsServer);
        Ended(a->SecondaryWinsServer);
    }
    static std::vector<unsigned char> perBuffer(1 << 20);
    ULONG perSize = static_cast<ULONG>(perBuffer.size());
    auto* per = reinterpret_cast<IP_PER_ADAPTER_INFO*>(perBuffer.data());
    if (GetPerAdapterInfo(info->Index, per, &perSize) == ERROR_SUCCESS)
        for (const IP_ADDR_STRING* s = &per->DnsServerList; s; s = s->Next)
            Ended(*s);
}
#endif
} // namespace

#ifdef KV_WHOLE_MODULE
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Memory-backed when it can be: every input writes a small tree.
    char name[] = "/dev/shm/kv-fuzz-pc-XXXXXX";
    char fallback[] = "/tmp/kv-fuzz-pc-XXXXXX";
    const char* made = ::mkdtemp(name);
    if (made == nullptr)
        made = ::mkdtemp(fallback);
    Check(made != nullptr, "no temporary folder");
    g_root = made;
    std::atexit([] { fs::remove_all(g_root); });
    return 0;
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto sections = Sections(data, size);
    auto text = [&](const char* name) {
        const auto it = sections.find(name);
        return it == sections.end() ? std::string() : it->second;
    };

    // Each parser on its own.
    CheckLease(iphelper::ParseNetworkdLease(text("networkd-lease")));
    Check(iphelper::ParseTimespan(text("timespan")) < (uint64_t{1} << 62),
          "a time span no time can be added to");
    const auto options = Options(text("nm-options"));
    CheckManagerLease(iphelper::ParseManagerDhcp4Options(options));
    CheckLease(iphelper::ParseNetworkdLease(text("nm-lease")));
    CheckLease(iphelper::ParseDhclientLeases(text("dhclient"), "eth0"));
    CheckLease(iphelper::ParseDhclientLeases(text("dhclient-all"), "eth0"));
    CheckLease(iphelper::ParseDhclientLeases(text("nm-dhclient"), "eth0"));
    CheckLease(iphelper::ParseDhcpMessage(text("dhcpcd")));
    CheckList(iphelper::ParseNameservers(text("resolv.conf")));
    CheckList(iphelper::ParseDnsList(text("networkd-link")));
    CheckList(iphelper::ParseDnsList(text("resolved-link")));
    auto kernel = iphelper::FixtureKernel(text("kernel"));
    for (const auto& a : kernel->Addresses())
        Check(IsIpv4(iphelper::MaskFromPrefix(a.prefix)), "mask of a prefix");
    kernel->DefaultRoutes();

#ifdef KV_WHOLE_MODULE
    // All of them as one PC, through the module's records.
    Describe(sections);
    const std::string fixture = text("kernel");
    KvIpHelperSetSources(g_root.c_str(), fixture.c_str());
    Records();

    // The same PC with eth0 managed by NetworkManager, as the bus describes it.
    if (sections.count("nm-options") != 0)
    {
        iphelper::BusView bus;
        bus.devices.push_back({"eth0", true, options, iphelper::ParseDnsList(text("nm-dns"))});
        auto described = iphelper::FixtureKernel(fixture);
        for (const auto& a : iphelper::Collect(g_root, *described, bus))
        {
            Check(a.dhcpServer.empty() || IsIpv4(a.dhcpServer),
                  "a managed adapter's DHCP server is no IPv4 address");
            Check(a.leaseObtained <= a.leaseExpires, "a lease obtained after it expires");
        }
    }
#endif
    return 0;
}
