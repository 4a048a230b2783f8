// This PC's adapters, described by fixture files and a fixture kernel.
#include "adapter_facts.h"
#include "app_flags.h"
#include "ip_helper.h"
#include "module.h"
#include "support/private_bus.h"
#include "support/recording_owner.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace
{
class FixturePc
{
public:
    void Write(const std::string& path, const std::string& text)
    {
        fs::create_directories(fs::path(m_root + path).parent_path());
        std::ofstream(m_root + path, std::ios::binary) << text;
    }
    // An interface; hardware ones get a PCI device with a driver.
    void Link(const std::string& name, int ifindex, int type, bool hardware, const std::string& driver = "",
              const std::string& uevent = "", bool up = true)
    {
        const std::string dir = "/sys/class/net/" + name;
        Write(dir + "/ifindex", std::to_string(ifindex) + "\n");
        Write(dir + "/type", std::to_string(type) + "\n");
        Write(dir + "/flags", up ? "0x1003\n" : "0x1002\n");
        Write(dir + "/address", "52:54:00:12:34:" + std::to_string(10 + ifindex) + "\n");
        Write(dir + "/uevent", uevent);
        if (hardware)
        {
            const std::string device = "/sys/devices/pci0000:00/0000:0" + std::to_string(ifindex) + ":00.0";
            Write(device + "/vendor", "0x8086\n");
            Write(device + "/device", "0x1533\n");
            fs::create_directories(m_root + "/sys/bus/pci/drivers/" + driver);
            fs::create_directory_symlink(m_root + device, m_root + dir + "/device");
            fs::create_directory_symlink(m_root + "/sys/bus/pci/drivers/" + driver,
                                         m_root + device + "/driver");
        }
    }
    const std::string& Root() const { return m_root; }

private:
    testing_support::TempFolder m_folder;
    std::string m_root = m_folder.path;
};

class IpHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module = LoadLibraryA("IpHlpApi.dll");
        ASSERT_NE(m_module, nullptr);
        m_setSources = reinterpret_cast<void (*)(const char*, const char*)>(
            GetProcAddress(m_module, "KvIpHelperSetSources"));
        ASSERT_NE(m_setSources, nullptr);
        m_setBus = reinterpret_cast<void (*)(const char*)>(GetProcAddress(m_module, "KvIpHelperSetBus"));
        ASSERT_NE(m_setBus, nullptr);
    }
    void TearDown() override
    {
        m_setSources(nullptr, nullptr);
        FreeLibrary(m_module);
    }
    void Describe(const FixturePc& pc, const std::string& kernel)
    {
        m_setSources(pc.Root().c_str(), kernel.c_str());
    }

    static Lines Framed(const Lines& middle)
    {
        Lines lines{"", std::string(kOpeningBanner).substr(2), kPlainSeparator, "Loading IpHlpApi.dll..."};
        lines.insert(lines.end(), middle.begin(), middle.end());
        lines.push_back("UnLoading IpHlpApi.dll...");
        lines.push_back(kClosingBanner);
        return lines;
    }
    static std::string L(const std::string& label, const std::string& value)
    {
        char text[256];
        std::snprintf(text, sizeof text, "%-30s%s", label.c_str(), value.c_str());
        return text;
    }

    HMODULE m_module = nullptr;
    void (*m_setSources)(const char*, const char*) = nullptr;
    void (*m_setBus)(const char*) = nullptr;
    CRecordingOwner m_owner;
};

std::string Joined(const std::vector<std::string>& list)
{
    std::string text;
    for (const auto& item : list)
        text += (text.empty() ? "" : " ") + item;
    return text;
}

// Two Ethernet adapters, DHCP on the second with a server, three DNS servers;
// plus loopback, a wireless adapter and a bridge that is down and empty.
void TwoAdapterPc(FixturePc& pc)
{
    pc.Link("lo", 1, 772, false);
    pc.Link("enp1s0", 2, 1, true, "igb");
    pc.Link("enp2s0", 3, 1, true, "e1000e");
    pc.Link("wlp3s0", 4, 1, true, "iwlwifi", "DEVTYPE=wlan\n");
    pc.Link("docker0", 5, 1, false, "", "DEVTYPE=bridge\n", false);
    pc.Write("/run/udev/data/n3", "E:ID_NET_DRIVER=e1000e\nE:ID_VENDOR_FROM_DATABASE=Intel Corporation\n"
                                  "E:ID_MODEL_FROM_DATABASE=Ethernet Connection I219-LM\n");
    pc.Write("/run/systemd/netif/leases/3", "# This is private data. Do not parse.\nADDRESS=192.168.1.50\n"
                                            "SERVER_ADDRESS=192.168.1.1\nDNS=192.168.1.1 8.8.8.8\n");
    pc.Write("/run/systemd/netif/links/3",
             "ADMIN_STATE=configured\nDNS=192.168.1.1 8.8.8.8:53 1.1.1.1#one.one "
             "[2001:db8::1]:53\n");
    pc.Write("/etc/resolv.conf", "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
}

const char* const kTwoAdapterKernel = "addr 1 127.0.0.1/8 permanent\n"
                                      "addr 2 10.0.0.5/24 permanent\n"
                                      "addr 2 10.0.0.6/24 permanent secondary\n"
                                      "addr 3 192.168.1.50/24 dynamic\n"
                                      "addr 4 172.16.0.9/16 dynamic\n"
                                      "route 3 192.168.1.1 16 100\n"
                                      "route 3 192.168.1.254 4 600\n";

TEST_F(IpHelperTest, ThisPcReportsEveryEthernetAdapter)
{
    FixturePc pc;
    TwoAdapterPc(pc);
    Describe(pc, kTwoAdapterKernel);
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(),
              Framed({"Attempting to Read Ip Configuration...",
                      L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"), L("DHCP Enabled :", "No"),
                      L("IpAddress :", "10.0.0.5"), L("Subnet Mask :", "255.255.255.0"),
                      L("Default Gateway:", "0.0.0.0"),
                      // no servers: the record's inline first entry, empty, as the platform gives it
                      L("Current DNS:", ""), L("DNS List Entry:", ""),
                      L("Found Ethernet Adapter :", "Intel Corporation Ethernet Connection I219-LM"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", "192.168.1.1"),
                      L("IpAddress :", "192.168.1.50"), L("Subnet Mask :", "255.255.255.0"),
                      L("Default Gateway:", "192.168.1.1"), L("Current DNS:", "192.168.1.1"),
                      L("DNS List Entry:", "192.168.1.1"), L("DNS List Entry:", "8.8.8.8"),
                      L("DNS List Entry:", "1.1.1.1")}));
    EXPECT_TRUE(RunCheckDns(&m_owner)); // DNS on the second adapter only is enough

    // The list grows past the first buffer and keeps every address.
    auto get = reinterpret_cast<GET_ADAPTERS_INFO_FN>(GetProcAddress(m_module, "GetAdaptersInfo"));
    ULONG size = 640;
    std::vector<char> small(640);
    ASSERT_EQ(get(reinterpret_cast<IP_ADAPTER_INFO*>(small.data()), &size), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 3 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING));
    std::vector<char> buffer(size);
    ASSERT_EQ(get(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size), ERROR_SUCCESS);
    std::vector<std::string> seen;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next)
    {
        EXPECT_GE(reinterpret_cast<char*>(a), buffer.data());
        EXPECT_LT(reinterpret_cast<char*>(a), buffer.data() + buffer.size()); // every Next inside the buffer
        std::string addresses;
        for (auto* s = &a->IpAddressList; s; s = s->Next)
            addresses += std::string(s->IpAddress.String) + " ";
        seen.push_back(std::string(a->AdapterName) + " " + std::to_string(a->Type) + " " + addresses);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"enp1s0 6 10.0.0.5 10.0.0.6 ", "enp2s0 6 192.168.1.50 ",
                                              "wlp3s0 71 172.16.0.9 "}));
}

TEST_F(IpHelperTest, OnlyWirelessMeansNoEthernetAdapter)
{
    FixturePc pc;
    pc.Link("wlan0", 2, 1, true, "iwlwifi", "DEVTYPE=wlan\n");
    Describe(pc, "addr 2 192.168.0.7/24 dynamic\n");
    EXPECT_FALSE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.m_boxes,
              (std::vector<std::string>{"FAILURE - Failed to Find an Ethernet Controller!"}));
    EXPECT_EQ(m_owner.Lines()[m_owner.Lines().size() - 3], "FAILURE - Failed to find an Ethernet Adapter!");
    m_owner.ClearHistory();
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(),
              Framed({"Attempting to Read Ip Configuration...", " Failed to find an Ethernet Adapter!"}));
}

TEST_F(IpHelperTest, StaticPcAndTheResolverStub)
{
    FixturePc pc;
    pc.Link("eth0", 2, 1, true, "virtio_net");
    pc.Write("/etc/resolv.conf", "nameserver 127.0.0.53\n");
    // A stale lease for another address does not count, nor is the gateway taken for a server.
    pc.Write("/var/lib/dhcp/dhclient.eth0.leases", "lease {\n interface \"eth0\";\n fixed-address 10.9.9.9;\n"
                                                   " option dhcp-server-identifier 10.9.9.1;\n}\n");
    Describe(pc, "addr 2 192.0.2.2/24 permanent\nroute 2 192.0.2.1 3 0\n");
    EXPECT_FALSE(RunCheckDns(&m_owner));
    EXPECT_EQ(m_owner.m_boxes.back(), "FAILURE It appears there are no configured DNS Servers....\r\nUse "
                                      "'THIS PC' Button for more information.");
    EXPECT_FALSE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.m_boxes.back(), "FAILURE - It appears there are no (Configured) DHCP Services....\r\n"
                                      "Use 'THIS PC' Button for more information.");
    IsWin9x = true;
    EXPECT_FALSE(RunCheckDns(&m_owner));
    IsWin9x = false;
    EXPECT_EQ(m_owner.m_boxes.back(),
              "FAILURE It appears there are no configured DNS Servers....\r\nNOTE: This in NOT "
              "a reliable test under WIN9X platforms.\r\nUse 'THIS PC' Button for more information.");
    // The kernel's hints alone prove DHCP from a server they do not name.
    for (const char* hinted :
         {"addr 2 192.0.2.2/24 permanent\nroute 2 192.0.2.1 16 0\n", "addr 2 192.0.2.2/24 dynamic\n"})
    {
        Describe(pc, hinted);
        EXPECT_TRUE(RunCheckDhcp(&m_owner)) << hinted;
        EXPECT_EQ(m_owner.Lines()[m_owner.Lines().size() - 3], L("DHCP Server :", iphelper::kServerNotNamed));
    }
    // With the stub's upstream list in place, the DNS servers are found.
    pc.Write("/run/systemd/resolve/resolv.conf", "nameserver 192.0.2.53\nnameserver 2001:db8::53\n");
    EXPECT_TRUE(RunCheckDns(&m_owner));
}

TEST_F(IpHelperTest, MissingLibraryOrEntry)
{
    const testing_support::TempFolder folder;
    const std::string dir = folder.path;
    SetDllDirectoryA(dir.c_str());
    platform::SetDefaultModuleSearch(false);
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(),
              (Lines{"", std::string(kOpeningBanner).substr(2), kPlainSeparator, "Loading IpHlpApi.dll...",
                     "FAILED Unable to load IpHlpApi.dll. Cannot Continue!", kClosingBanner}));
    m_owner.ClearHistory();
    fs::copy_file(fs::path(platform::ExecutableDirectory()) / "libkvtestmodule.so",
                  fs::path(dir) / "libiphlpapi.so");
    EXPECT_FALSE(RunCheckDns(&m_owner));
    EXPECT_EQ(m_owner.Lines(),
              Framed({"Unable to find ProcAddress of GetAdaptersInfo(...) Cannot Continue!"}));
    EXPECT_TRUE(m_owner.m_boxes.empty());
    SetDllDirectoryA(nullptr);
    platform::SetDefaultModuleSearch(true);
}

TEST_F(IpHelperTest, WithoutThePerAdapterEntryTheReportGoesOnWithoutDns)
{
    const testing_support::TempFolder folder;
    const std::string dir = folder.path;
    fs::copy_file(fs::path(platform::ExecutableDirectory()) / "libadaptersonlyprovider.so",
                  fs::path(dir) / "libiphlpapi.so");
    SetDllDirectoryA(dir.c_str());
    platform::SetDefaultModuleSearch(false);
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(),
              Framed({"Unable to find ProcAddress of GetPerAdapterInfo(...)",
                      "Continuing with limited functionality...", "Attempting to Read Ip Configuration...",
                      L("Found Ethernet Adapter :", "Substitute Ethernet"), L("DHCP Enabled :", "Yes"),
                      L("DHCP Server :", "10.0.0.1"), L("IpAddress :", "10.0.0.9"),
                      L("Subnet Mask :", "255.0.0.0"), L("Default Gateway:", "10.0.0.1")}));
    m_owner.ClearHistory();
    IsWin9x = true;
    EXPECT_FALSE(RunCheckDns(&m_owner)); // no DNS can be seen without the entry
    IsWin9x = false;
    EXPECT_EQ(m_owner.Lines()[5], "*** WIN9X *** Continuing with limited functionality...");
    EXPECT_TRUE(RunCheckDhcp(&m_owner)); // unaffected
    SetDllDirectoryA(nullptr);
    platform::SetDefaultModuleSearch(true);
}

TEST(IpHelperParsers, DnsFormsAndMasks)
{
    for (const auto& [prefix, mask] : {std::pair{24, "255.255.255.0"}, std::pair{0, "0.0.0.0"},
                                       std::pair{32, "255.255.255.255"}, std::pair{20, "255.255.240.0"}})
        EXPECT_EQ(iphelper::MaskFromPrefix(prefix), mask);
    EXPECT_FALSE(iphelper::ParseDhcpMessage(std::string(300, 'x')).found);
    EXPECT_FALSE(iphelper::ParseDhcpMessage("short").found);
}
// A desktop where NetworkManager runs DHCP clients: dhclient for eth0, whose
// lease names the server, and its own for eth2, whose file holds the address
// only; eth1 is static. The resolver's stub points at an upstream list.
void ManagerPc(FixturePc& pc)
{
    pc.Link("lo", 1, 772, false);
    pc.Link("eth0", 2, 1, true, "e1000e");
    pc.Link("eth1", 3, 1, true, "igb");
    pc.Link("eth2", 4, 1, true, "r8169");
    pc.Write("/run/NetworkManager/dhclient-6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0001-eth0.lease",
             "lease {\n  interface \"eth0\";\n  fixed-address 192.168.1.50;\n"
             "  option dhcp-server-identifier 192.168.1.1;\n  option domain-name-servers "
             "192.168.1.1,9.9.9.9;\n}\n");
    pc.Write("/var/lib/NetworkManager/internal-6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0003-eth2.lease",
             "# This is private data. Do not parse.\nADDRESS=172.16.0.20\n");
    pc.Write("/etc/resolv.conf", "nameserver 127.0.0.53\n");
    pc.Write("/run/systemd/resolve/resolv.conf", "nameserver 192.168.1.1\nnameserver 10.0.0.53\n");
}

const char* const kManagerKernel = "addr 1 127.0.0.1/8 permanent\n"
                                   "addr 2 192.168.1.50/24 dynamic\n"
                                   "addr 3 10.0.0.5/24 permanent\n"
                                   "addr 4 172.16.0.20/24 dynamic\n"
                                   "route 2 192.168.1.1 16 100\n"
                                   "route 3 10.0.0.1 4 0\n"
                                   "route 4 172.16.0.1 16 100\n";

// What NetworkManager and systemd-resolved hold for that desktop.
const char* const kManagerBus =
    "device lo\n"
    "device eth0 dhcp ip_address=192.168.1.50 dhcp_server_identifier=192.168.1.1 dhcp_lease_time=86400 "
    "expiry=1796601600 domain_name_servers=192.168.1.1\n"
    "nameservers eth0 192.168.1.1 9.9.9.9\n"
    "device eth1\n"
    "nameservers eth1 10.0.0.53\n"
    "device eth2 dhcp ip_address=172.16.0.20 dhcp_lease_time=3600 expiry=1796520000\n"
    "resolved 4 172.16.0.53 2001:db8::53\n"
    "resolved 0 192.0.2.99\n";

// NetworkManager answering, or refused each way the bus can refuse: no bus,
// no service, no permission to ask, a manager that holds its name and never
// answers. Refused, its files speak, with the server where they name it, and
// the DNS servers are the global list.
class ManagerPcTest : public IpHelperTest, public ::testing::WithParamInterface<std::string>
{};

TEST_P(ManagerPcTest, ReportsTheServerAndEachLinksDns)
{
    FixturePc pc;
    ManagerPc(pc);
    Describe(pc, kManagerKernel);
    std::unique_ptr<testing_support::PrivateBus> bus;
    if (GetParam() == "NoBus")
        m_setBus(("unix:path=" + pc.Root() + "/no-bus-here").c_str());
    else
    {
        bus = std::make_unique<testing_support::PrivateBus>(
            GetParam() == "NoPermission" ? testing_support::PrivateBus::Policy::DenyNetworkServices
                                         : testing_support::PrivateBus::Policy::Open);
        // NoPermission: it runs, but the bus will not carry our questions.
        if (GetParam() != "NoService")
        {
            ASSERT_TRUE(bus->Serve(std::string(kManagerBus) + (GetParam() == "Silent" ? "silent\n" : "")))
                << "dbus-daemon and the fake services must start";
        }
        m_setBus(bus->Address().c_str());
    }
    const bool answering = GetParam() == "Answering";
    Lines expected{"Attempting to Read Ip Configuration..."};
    const auto adapter = [&](const char* description, Lines lines, std::vector<std::string> dns) {
        lines.insert(lines.begin(), L("Found Ethernet Adapter :", description));
        lines.push_back(L("Current DNS:", dns[0]));
        for (const auto& server : dns)
            lines.push_back(L("DNS List Entry:", server));
        expected.insert(expected.end(), lines.begin(), lines.end());
    };
    const std::vector<std::string> global{"192.168.1.1", "10.0.0.53"};
    adapter("e1000e (PCI 8086:1533)",
            {L("DHCP Enabled :", "Yes"), L("DHCP Server :", "192.168.1.1"), L("IpAddress :", "192.168.1.50"),
             L("Subnet Mask :", "255.255.255.0"), L("Default Gateway:", "192.168.1.1")},
            {"192.168.1.1", "9.9.9.9"});
    adapter("igb (PCI 8086:1533)",
            {L("DHCP Enabled :", "No"), L("IpAddress :", "10.0.0.5"), L("Subnet Mask :", "255.255.255.0"),
             L("Default Gateway:", "10.0.0.1")},
            answering ? std::vector<std::string>{"10.0.0.53"} : global);
    adapter("r8169 (PCI 8086:1533)",
            {L("DHCP Enabled :", "Yes"), L("DHCP Server :", iphelper::kServerNotNamed),
             L("IpAddress :", "172.16.0.20"), L("Subnet Mask :", "255.255.255.0"),
             L("Default Gateway:", "172.16.0.1")},
            answering ? std::vector<std::string>{"172.16.0.53"} : global);
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(), Framed(expected));
    // Every call of the report (the list twice, each adapter's DNS servers twice) shares one wait.
    if (GetParam() == "Silent")
    {
        EXPECT_EQ(bus->Questions(), 1);
    }
    m_owner.ClearHistory();
    EXPECT_TRUE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.Lines(),
              Framed({"Attempting to Determine DHCP Configuration...",
                      L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"), L("DHCP Enabled :", "Yes"),
                      L("DHCP Server :", "192.168.1.1"), L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                      L("DHCP Enabled :", "No"), L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", iphelper::kServerNotNamed)}));
    EXPECT_EQ(m_owner.m_boxes.back(), "SUCCESS ... It appears DHCP is Configured....");

    // The lease times reach the records from the bus: obtained = expiry - lease time.
    auto get = reinterpret_cast<GET_ADAPTERS_INFO_FN>(GetProcAddress(m_module, "GetAdaptersInfo"));
    ULONG size = 0;
    ASSERT_EQ(get(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    std::vector<char> buffer(size);
    ASSERT_EQ(get(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size), ERROR_SUCCESS);
    std::vector<std::pair<int64_t, int64_t>> times;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next)
        times.emplace_back(a->LeaseObtained, a->LeaseExpires);
    using Times = std::vector<std::pair<int64_t, int64_t>>;
    const Times fromTheBus{{1796601600 - 86400, 1796601600}, {0, 0}, {1796520000 - 3600, 1796520000}};
    EXPECT_EQ(times, answering ? fromTheBus : Times(3, {0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Buses, ManagerPcTest,
                         ::testing::Values("Answering", "NoBus", "NoService", "NoPermission", "Silent"),
                         [](const auto& info) { return info.param; });

TEST(IpHelperBus, WhatTheBusGivesAndWhenItIsCutShort)
{
    testing_support::PrivateBus bus;
    ASSERT_TRUE(
        bus.Serve("device eth0\nold-nameservers eth0 10.0.0.53 10.0.0.54\n"
                  "device wlan0 dhcp dhcp_server_identifier=not-an-address\n"
                  "resolved 2 2001:db8::1 192.0.2.53\nresolved 0 192.0.2.99\nresolved 3 192.0.2.54\n"));
    const iphelper::BusView view = iphelper::QueryBus(bus.Address(), iphelper::CBusDeadline(5000000));
    const auto devices = [](const iphelper::BusView& view) {
        Lines described;
        for (const auto& d : view.devices)
            described.push_back(d.iface + (d.dhcp ? " dhcp " : " ") + Joined(d.dns));
        return described;
    };
    EXPECT_EQ(devices(view), (Lines{"eth0 10.0.0.53 10.0.0.54", "wlan0 dhcp "}));
    ASSERT_EQ(view.devices.size(), 2u);
    EXPECT_EQ(view.devices[1].dhcpOptions.at("dhcp_server_identifier"), "not-an-address");
    // IPv6 and the global (index 0) entries are not a link's IPv4 servers.
    EXPECT_EQ(view.linkDns, (std::vector<std::pair<int, std::string>>{{2, "192.0.2.53"}, {3, "192.0.2.54"}}));
    EXPECT_EQ(iphelper::ParseManagerDhcp4Options(view.devices[1].dhcpOptions).server, "");

    // The manager alone, without systemd-resolved: its devices still count.
    ASSERT_TRUE(bus.Serve("no-resolver\ndevice eth0\nnameservers eth0 10.0.0.53\n"));
    const iphelper::BusView managerOnly = iphelper::QueryBus(bus.Address(), iphelper::CBusDeadline(5000000));
    EXPECT_EQ(devices(managerOnly), Lines{"eth0 10.0.0.53"});
    EXPECT_TRUE(managerOnly.linkDns.empty());

    // One deadline for every question, on a clock that moves 100 ms a reading: the device list and
    // three questions a device. The third device's last question finds the second gone, so that device
    // is left to the files, and the resolver is not asked.
    ASSERT_TRUE(bus.Serve("device eth0\ndevice eth1\ndevice eth2\nresolved 2 192.0.2.53\n"));
    const iphelper::BusView cut = iphelper::QueryBus(bus.Address(), iphelper::CBusDeadline(1000000, [] {
                                                         static uint64_t now = 0;
                                                         return now += 100000;
                                                     }));
    EXPECT_EQ(devices(cut), (Lines{"eth0 ", "eth1 "}));
    EXPECT_TRUE(cut.linkDns.empty());
}

std::string Fixture(const std::string& name)
{
    std::ifstream in(std::string(KV_IPHELPER_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using Files = std::vector<std::pair<std::string, std::string>>;
const std::string kUuid = "6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0001";
const std::string kDhclientLease = "lease {\n interface \"eth0\";\n fixed-address 192.168.1.50;\n"
                                   " option dhcp-server-identifier 192.168.1.1;\n}\n";

// A source's answer as text: "" when it finds no lease, else "found" and what it knows.
std::string Said(const iphelper::Lease& lease)
{
    std::string text = lease.found ? "found" : "";
    for (const auto& [key, value] : {std::pair<const char*, std::string>{"server", lease.server},
                                     {"dns", Joined(lease.dns)},
                                     {"wins", Joined(lease.wins)},
                                     {"lifetime", std::to_string(lease.lifetime)},
                                     {"expires", std::to_string(lease.expires)}})
        if (lease.found && !value.empty() && value != "0")
            text += std::string(", ") + key + " " + value;
    return text;
}

// Each source alone, about eth0 (index 2, holding 192.168.1.50), its files
// written at 1796000000.
struct SourceCase
{
    const char* name;
    const char* source;
    Files files;
    std::string said;
    std::string manager;                               // NetworkManager's eth0: "dhcp" and KEY=VALUE options,
                                                       // or its DNS servers
    std::vector<std::pair<int, std::string>> resolved; // systemd-resolved's servers on the bus
    bool dhcpRoute = false, dynamicOnly = false;
    bool holdsAddress = true;
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class SourcesTest : public ::testing::TestWithParam<SourceCase>
{
protected:
    template <typename Source> const Source& Find(const std::vector<Source>& sources)
    {
        for (const auto& source : sources)
            if (std::string(source.name) == GetParam().source)
                return source;
        throw std::out_of_range(GetParam().source);
    }
    iphelper::AdapterQuery Query()
    {
        const SourceCase& c = GetParam();
        const timespec written[2] = {{1796000000, 0}, {1796000000, 0}};
        for (const auto& [path, text] : c.files)
        {
            m_pc.Write(path, text);
            EXPECT_EQ(::utimensat(AT_FDCWD, (m_pc.Root() + path).c_str(), written, 0), 0);
        }
        m_adapter.name = "eth0";
        m_adapter.ifindex = 2;
        if (c.holdsAddress)
            m_adapter.addresses = {{"192.168.1.50", "255.255.255.0"}};
        m_bus.linkDns = c.resolved;
        if (!c.manager.empty())
        {
            iphelper::ManagedDevice device{"eth0", false, {}, {}};
            std::istringstream words(c.manager);
            for (std::string word; words >> word;)
                if (word == "dhcp")
                    device.dhcp = true;
                else if (const size_t eq = word.find('='); eq != std::string::npos)
                    device.dhcpOptions[word.substr(0, eq)] = word.substr(eq + 1);
                else
                    device.dns.push_back(word);
            m_bus.devices.push_back(device);
        }
        return iphelper::AdapterQuery{m_pc.Root(), m_adapter, m_bus, c.dhcpRoute, c.dynamicOnly, m_globalDns};
    }

    FixturePc m_pc;
    iphelper::AdapterFacts m_adapter;
    iphelper::BusView m_bus;
    const std::vector<std::string> m_globalDns{"10.0.0.53"};
};

using DhcpSources = SourcesTest;

TEST_P(DhcpSources, AnswerAlone)
{
    EXPECT_EQ(Said(Find(iphelper::DhcpSources()).ask(Query())), GetParam().said);
}

// A DHCP message as dhcpcd keeps it: 192.168.1.50 from 192.168.1.1, DNS 8.8.4.4, WINS 192.168.1.44.
std::string DhcpcdLease()
{
    std::string message(240, '\0');
    message.replace(16, 4, "\xc0\xa8\x01\x32");                // yiaddr
    message.replace(236, 4, "\x63\x82\x53\x63");               // magic cookie
    message += std::string("\x36\x04\xc0\xa8\x01\x01", 6);     // server
    message += std::string("\x06\x04\x08\x08\x04\x04", 6);     // DNS
    message += std::string("\x2c\x04\xc0\xa8\x01\x2c\xff", 7); // WINS, end
    return message;
}

const std::string kManagerDir = "/var/lib/NetworkManager/";

INSTANTIATE_TEST_SUITE_P(
    Each, DhcpSources,
    ::testing::Values(
        SourceCase{"ManagerOnTheBus",
                   "manager-bus",
                   {},
                   "found, server 192.168.1.1, dns 192.168.1.1 8.8.8.8, wins 192.168.1.5, lifetime 7200, "
                   "expires 1796601600",
                   "dhcp dhcp_server_identifier=192.168.1.1 dhcp_lease_time=7200 expiry=1796601600 "
                   "domain_name_servers=192.168.1.1,8.8.8.8 netbios_name_servers=192.168.1.5"},
        SourceCase{
            "ManagerOnTheBusOddTimes", "manager-bus", {}, "found", "dhcp dhcp_lease_time=-5 expiry=soon"},
        SourceCase{"ManagerStaticDevice", "manager-bus", {}, "", "dhcp_server_identifier=192.168.1.1"},
        // The lease was obtained when networkd wrote the file, and runs its lifetime.
        SourceCase{"NetworkdV252",
                   "networkd-lease",
                   {{"/run/systemd/netif/leases/2", Fixture("networkd-lease-v252")}},
                   "found, server 192.168.1.1, dns 192.168.1.1 8.8.8.8, lifetime 86400, expires 1796086400"},
        SourceCase{"NetworkdTimespans",
                   "networkd-lease",
                   {{"/run/systemd/netif/leases/2", Fixture("networkd-lease-timespan")}},
                   "found, server 192.168.1.1, dns 192.168.1.1 8.8.8.8, lifetime 86400, expires 1796086400"},
        SourceCase{"NetworkdLeaseOfAnotherAddress",
                   "networkd-lease",
                   {{"/run/systemd/netif/leases/2", "ADDRESS=10.9.9.9\nSERVER_ADDRESS=10.9.9.1\n"}},
                   ""},
        // The last lease of the interface is the one in use.
        SourceCase{
            "DhclientLastLeaseOfTheInterface",
            "dhclient-leases",
            {{"/var/lib/dhcp/dhclient.eth0.leases",
              "lease {\n interface \"eth0\";\n fixed-address 192.168.1.50;\n"
              " option dhcp-server-identifier 192.168.1.250;\n}\n" +
                  kDhclientLease.substr(0, kDhclientLease.size() - 2) +
                  " option domain-name-servers 192.168.1.53,192.168.1.54;\n"
                  " option netbios-name-servers 192.168.1.44, 192.168.1.45;\n}\n"
                  "lease {\n interface \"eth1\";\n fixed-address 192.168.1.50;\n"
                  " option dhcp-server-identifier 10.0.0.9;\n}\n"}},
            "found, server 192.168.1.1, dns 192.168.1.53 192.168.1.54, wins 192.168.1.44 192.168.1.45"},
        SourceCase{"DhclientDefaultFile",
                   "dhclient-leases",
                   {{"/var/lib/dhcp/dhclient.leases", kDhclientLease}},
                   "found, server 192.168.1.1"},
        SourceCase{"DhcpcdMessage",
                   "dhcpcd-lease",
                   {{"/var/lib/dhcpcd/eth0.lease", DhcpcdLease()}},
                   "found, server 192.168.1.1, dns 8.8.4.4, wins 192.168.1.44"},
        // NetworkManager's own client writes the address alone.
        SourceCase{"ManagerOwnClient",
                   "manager-lease-files",
                   {{kManagerDir + "internal-" + kUuid + "-eth0.lease", "# Private\nADDRESS=192.168.1.50\n"}},
                   "found"},
        SourceCase{"ManagerOwnClientOfAnotherAddress",
                   "manager-lease-files",
                   {{kManagerDir + "internal-" + kUuid + "-eth0.lease", "ADDRESS=192.168.1.99\n"}},
                   ""},
        SourceCase{"ManagerDhclientNamesTheServer",
                   "manager-lease-files",
                   {{"/run/NetworkManager/internal-" + kUuid + "-eth0.lease", "ADDRESS=192.168.1.50\n"},
                    {kManagerDir + "dhclient-" + kUuid + "-eth0.lease", kDhclientLease}},
                   "found, server 192.168.1.1"},
        SourceCase{"ManagerFilesOfOtherLinks",
                   "manager-lease-files",
                   {{kManagerDir + "internal-" + kUuid + "-veth0.lease", "ADDRESS=192.168.1.50\n"},
                    {kManagerDir + "internal6-" + kUuid + "-eth0.lease", "ADDRESS=192.168.1.50\n"},
                    {kManagerDir + "internal-x-y-eth0.lease", "ADDRESS=192.168.1.50\n"}},
                   ""},
        SourceCase{"RouteOfADhcpClient", "kernel-hints", {}, "found", "", {}, true},
        SourceCase{"DynamicAddresses", "kernel-hints", {}, "found", "", {}, false, true},
        SourceCase{"StaticAddressAndRoute", "kernel-hints", {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The lease handed to the DNS sources names 192.168.1.1.
using DnsSources = SourcesTest;

TEST_P(DnsSources, AnswerAlone)
{
    const iphelper::Lease dhcp{.dns = {"192.168.1.1"}};
    EXPECT_EQ(Joined(Find(iphelper::DnsSources()).ask(Query(), dhcp)), GetParam().said);
}

INSTANTIATE_TEST_SUITE_P(
    Each, DnsSources,
    ::testing::Values(
        SourceCase{"ManagerOnTheBus", "manager-bus", {}, "192.168.1.1 9.9.9.9", "192.168.1.1 9.9.9.9"},
        SourceCase{"NetworkdLink",
                   "networkd-link",
                   {{"/run/systemd/netif/links/2",
                     "DNS=192.168.1.1 8.8.8.8:53 1.1.1.1%eth0#one.one [2001:db8::1]:53 fe80::1 bogus\n"}},
                   "192.168.1.1 8.8.8.8 1.1.1.1"},
        SourceCase{"ResolvedOnTheBus",
                   "resolved-bus",
                   {},
                   "192.0.2.53 192.0.2.55",
                   "",
                   {{2, "192.0.2.53"}, {3, "192.0.2.54"}, {2, "192.0.2.53"}, {2, "192.0.2.55"}}},
        SourceCase{"ResolvedLinkFile",
                   "resolved-link",
                   {{"/run/systemd/resolve/netif/2", "SERVERS=192.0.2.53 192.0.2.54\n"},
                    {"/run/systemd/resolve/netif/3", "SERVERS=192.0.2.99\n"}},
                   "192.0.2.53 192.0.2.54"},
        SourceCase{"GlobalListNeedsAnAddress", "resolv.conf", {}, "", "", {}, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A lifetime of many huge terms wrapped the sum, and the lease's expiry, its
// file's time plus the lifetime, overflowed: beyond any lease is unknown.
TEST(IpHelperParsers, Timespans)
{
    std::string many;
    for (int i = 0; i < 70; ++i)
        many += "4294967295y ";
    const std::vector<std::pair<std::string, uint64_t>> spans{{"86400", 86400},
                                                              {"1d", 86400},
                                                              {"1h 30min", 5400},
                                                              {"2w", 1209600},
                                                              {"500ms", 0},
                                                              {"1d 2h 3min 4s", 93784},
                                                              {"", 0},
                                                              {"bogus", 0},
                                                              {"5x", 0},
                                                              {"99999999999999999999", 0},
                                                              {many, 0},
                                                              {"31689y", 0},
                                                              {"31688y", 31688ull * 31557600u}};
    for (const auto& [text, seconds] : spans)
        EXPECT_EQ(iphelper::ParseTimespan(text), seconds) << text;
    EXPECT_EQ(iphelper::ParseNetworkdLease("ADDRESS=10.1.2.3\nLIFETIME=" + many + "\n").lifetime, 0u);
}
} // namespace
