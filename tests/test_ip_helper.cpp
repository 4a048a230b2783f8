// This PC's adapters, described by fixture files and a fixture kernel.
#include "adapter_facts.h"
#include "app_flags.h"
#include "ip_helper.h"
#include "module.h"
#include "support/private_bus.h"
#include "support/recording_owner.h"

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
    FixturePc()
    {
        char name[] = "/tmp/kvpcXXXXXX";
        m_root = ::mkdtemp(name);
    }
    ~FixturePc() { fs::remove_all(m_root); }

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
    std::string m_root;
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
    Lines RunLines(void (*run)(CHistoryOwner*))
    {
        m_owner.ClearHistory();
        run(&m_owner);
        return m_owner.Lines();
    }
    Lines CheckLines(bool (*check)(CHistoryOwner*), bool expected)
    {
        m_owner.ClearHistory();
        EXPECT_EQ(check(&m_owner), expected);
        return m_owner.Lines();
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
}

TEST_F(IpHelperTest, TheListGrowsPastTheFirstBufferAndKeepsEveryAddress)
{
    FixturePc pc;
    TwoAdapterPc(pc);
    Describe(pc, kTwoAdapterKernel);
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

TEST_F(IpHelperTest, ChecksGiveTheirVerdicts)
{
    FixturePc pc;
    TwoAdapterPc(pc);
    Describe(pc, kTwoAdapterKernel);
    EXPECT_TRUE(RunCheckDns(&m_owner)); // DNS on the second adapter only is enough
    EXPECT_EQ(m_owner.m_boxes.back(), "SUCCESS ... It appears there are configured DNS Servers....");
    EXPECT_TRUE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.m_boxes.back(), "SUCCESS ... It appears DHCP is Configured....");
    const Lines lines = m_owner.Lines();
    // The box comes while the frame is open: the unload line and banner after it.
    EXPECT_EQ(Lines(lines.end() - 8, lines.end()),
              (Lines{"Attempting to Determine DHCP Configuration...",
                     L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"), L("DHCP Enabled :", "No"),
                     L("Found Ethernet Adapter :", "Intel Corporation Ethernet Connection I219-LM"),
                     L("DHCP Enabled :", "Yes"), L("DHCP Server :", "192.168.1.1"),
                     "UnLoading IpHlpApi.dll...", kClosingBanner}));
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

TEST_F(IpHelperTest, StaticPcWithTheResolverStubHasNoDnsAndNoDhcp)
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
    // With the stub's upstream list in place, the DNS servers are found.
    pc.Write("/run/systemd/resolve/resolv.conf", "nameserver 192.0.2.53\nnameserver 2001:db8::53\n");
    EXPECT_TRUE(RunCheckDns(&m_owner));
}

// Evidence of DHCP without a lease that names the server: each alone is enough,
// and none of them makes the gateway a server.
struct DhcpHint
{
    const char* name;
    const char* kernel;
    const char* managerLease; // NetworkManager's own client's file, or null
    bool dhcp;
};

void PrintTo(const DhcpHint& hint, std::ostream* os) { *os << hint.name; }

class DhcpHints : public IpHelperTest, public ::testing::WithParamInterface<DhcpHint>
{};

TEST_P(DhcpHints, ProveDhcpWithoutNamingAServer)
{
    FixturePc pc;
    pc.Link("eth0", 2, 1, true, "r8169");
    if (GetParam().managerLease != nullptr)
        pc.Write("/var/lib/NetworkManager/internal-0b8e8c4c-5d0e-4f4e-8a57-2f9c1f1d0002-eth0.lease",
                 GetParam().managerLease);
    Describe(pc, GetParam().kernel);
    RunThisPc(&m_owner);
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[6], L("DHCP Enabled :", GetParam().dhcp ? "Yes" : "No"));
    EXPECT_EQ(lines[7], GetParam().dhcp ? L("DHCP Server :", "") : L("IpAddress :", "10.1.1.20"));
    EXPECT_FALSE(RunCheckDhcp(&m_owner)); // an empty server is not a DHCP service seen
}

INSTANTIATE_TEST_SUITE_P(
    Hints, DhcpHints,
    ::testing::Values(
        DhcpHint{"DynamicAddress", "addr 2 10.1.1.20/24 dynamic\nroute 2 10.1.1.1 4 0\n", nullptr, true},
        DhcpHint{"RouteOfADhcpClient", "addr 2 10.1.1.20/24 permanent\nroute 2 10.1.1.1 16 0\n", nullptr,
                 true},
        DhcpHint{"ManagerLeaseFile", "addr 2 10.1.1.20/24 permanent\nroute 2 10.1.1.1 4 0\n",
                 "# This is private data. Do not parse.\nADDRESS=10.1.1.20\n", true},
        DhcpHint{"ManagerLeaseOfAnotherAddress", "addr 2 10.1.1.20/24 permanent\nroute 2 10.1.1.1 4 0\n",
                 "ADDRESS=10.1.1.99\n", false},
        DhcpHint{"StaticAddressAndRoute", "addr 2 10.1.1.20/24 permanent\nroute 2 10.1.1.1 4 0\n", nullptr,
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IpHelperTest, LeasesOfEachClientAndWins)
{
    FixturePc pc;
    pc.Link("eth0", 2, 1, true, "e1000");
    pc.Link("eth1", 3, 1, true, "e1000");
    pc.Write(
        "/var/lib/dhcp/dhclient.eth0.leases",
        "lease {\n interface \"eth0\";\n fixed-address 10.0.0.2;\n option dhcp-server-identifier "
        "10.0.0.250;\n}\n"
        "lease {\n interface \"eth0\";\n fixed-address 10.0.0.3;\n option dhcp-server-identifier 10.0.0.1;\n"
        " option domain-name-servers 10.0.0.53,10.0.0.54;\n option netbios-name-servers 10.0.0.44, "
        "10.0.0.45;\n}\n");
    std::string message(240, '\0');
    message[16] = static_cast<char>(172), message[17] = 16, message[18] = 5, message[19] = 9; // yiaddr
    message[236] = 0x63, message[237] = static_cast<char>(0x82), message[238] = 0x53, message[239] = 0x63;
    message += std::string("\x36\x04\xac\x10\x05\x01", 6);     // server 172.16.5.1
    message += std::string("\x06\x04\x08\x08\x04\x04", 6);     // DNS 8.8.4.4
    message += std::string("\x2c\x04\xac\x10\x05\x2c\xff", 7); // WINS 172.16.5.44, end
    pc.Write("/var/lib/dhcpcd/eth1.lease", message);
    Describe(pc, "addr 2 10.0.0.3/24 dynamic\naddr 3 172.16.5.9/24 dynamic\n");
    RunThisPc(&m_owner);
    const Lines lines = m_owner.Lines();
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has(L("DHCP Server :", "10.0.0.1"))); // the last lease in the file
    EXPECT_TRUE(has(L("Primary WINS Server :", "10.0.0.44")));
    EXPECT_TRUE(has(L("Secondary WINS Server :", "10.0.0.45")));
    EXPECT_TRUE(has(L("DNS List Entry:", "10.0.0.54")));
    EXPECT_TRUE(has(L("DHCP Server :", "172.16.5.1")));
    EXPECT_TRUE(has(L("Primary WINS Server :", "172.16.5.44")));
    EXPECT_TRUE(has(L("Current DNS:", "8.8.4.4")));
}

TEST_F(IpHelperTest, MissingLibraryOrEntry)
{
    char name[] = "/tmp/kvipXXXXXX";
    const std::string dir = ::mkdtemp(name);
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
    fs::remove_all(dir);
}

TEST_F(IpHelperTest, WithoutThePerAdapterEntryTheReportGoesOnWithoutDns)
{
    char name[] = "/tmp/kvipXXXXXX";
    const std::string dir = ::mkdtemp(name);
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
    EXPECT_NE(m_owner.m_boxes.back().find("NOTE: This in NOT a reliable test"), std::string::npos);
    EXPECT_TRUE(RunCheckDhcp(&m_owner)); // unaffected
    SetDllDirectoryA(nullptr);
    platform::SetDefaultModuleSearch(true);
    fs::remove_all(dir);
}

TEST(IpHelperParsers, DnsFormsAndMasks)
{
    EXPECT_EQ(iphelper::ParseDnsList("1.1.1.1:53 9.9.9.9%eth0#dns.quad9.net [2001:db8::1]:53 fe80::1 bogus"),
              (std::vector<std::string>{"1.1.1.1", "9.9.9.9"}));
    EXPECT_EQ(iphelper::MaskFromPrefix(24), "255.255.255.0");
    EXPECT_EQ(iphelper::MaskFromPrefix(0), "0.0.0.0");
    EXPECT_EQ(iphelper::MaskFromPrefix(32), "255.255.255.255");
    EXPECT_EQ(iphelper::MaskFromPrefix(20), "255.255.240.0");
    EXPECT_FALSE(iphelper::ParseDhcpMessage(std::string(300, 'x')).found);
    EXPECT_FALSE(iphelper::ParseDhcpMessage("short").found);
}
// A desktop where NetworkManager runs its own DHCP client: eth0 with DHCP and
// a server, eth1 static, eth2 with DHCP whose server sent no identifier. On
// disk its client leaves only the address; the resolver's stub points at an
// upstream list.
void ManagerPc(FixturePc& pc)
{
    pc.Link("lo", 1, 772, false);
    pc.Link("eth0", 2, 1, true, "e1000e");
    pc.Link("eth1", 3, 1, true, "igb");
    pc.Link("eth2", 4, 1, true, "r8169");
    pc.Write("/var/lib/NetworkManager/internal-6f0c5e0b-0d2e-4d8e-9b58-1f0f4a9c0001-eth0.lease",
             "# This is private data. Do not parse.\nADDRESS=192.168.1.50\n");
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

class ManagerPcTest : public IpHelperTest
{
protected:
    void SetUp() override
    {
        IpHelperTest::SetUp();
        ManagerPc(m_pc);
        Describe(m_pc, kManagerKernel);
    }
    FixturePc m_pc;
};

TEST_F(ManagerPcTest, TheBusNamesTheServerAndEachLinksDns)
{
    testing_support::PrivateBus bus;
    ASSERT_TRUE(bus.Serve(kManagerBus)) << "dbus-daemon and the fake services must start";
    m_setBus(bus.Address().c_str());

    EXPECT_EQ(RunLines(RunThisPc), Framed({"Attempting to Read Ip Configuration...",
                                           L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"),
                                           L("DHCP Enabled :", "Yes"),
                                           L("DHCP Server :", "192.168.1.1"),
                                           L("IpAddress :", "192.168.1.50"),
                                           L("Subnet Mask :", "255.255.255.0"),
                                           L("Default Gateway:", "192.168.1.1"),
                                           L("Current DNS:", "192.168.1.1"),
                                           L("DNS List Entry:", "192.168.1.1"),
                                           L("DNS List Entry:", "9.9.9.9"),
                                           L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                                           L("DHCP Enabled :", "No"),
                                           L("IpAddress :", "10.0.0.5"),
                                           L("Subnet Mask :", "255.255.255.0"),
                                           L("Default Gateway:", "10.0.0.1"),
                                           L("Current DNS:", "10.0.0.53"),
                                           L("DNS List Entry:", "10.0.0.53"),
                                           L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"),
                                           L("DHCP Enabled :", "Yes"),
                                           L("DHCP Server :", ""),
                                           L("IpAddress :", "172.16.0.20"),
                                           L("Subnet Mask :", "255.255.255.0"),
                                           L("Default Gateway:", "172.16.0.1"),
                                           L("Current DNS:", "172.16.0.53"),
                                           L("DNS List Entry:", "172.16.0.53")}));
    EXPECT_EQ(CheckLines(RunCheckDhcp, true),
              Framed({"Attempting to Determine DHCP Configuration...",
                      L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"), L("DHCP Enabled :", "Yes"),
                      L("DHCP Server :", "192.168.1.1"), L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                      L("DHCP Enabled :", "No"), L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", "")}));
    EXPECT_EQ(m_owner.m_boxes.back(), "SUCCESS ... It appears DHCP is Configured....");
    EXPECT_EQ(
        CheckLines(RunCheckDns, true),
        Framed({"Attempting to Determine DNS Configuration...",
                L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"), L("Current DNS:", "192.168.1.1"),
                L("DNS List Entry:", "192.168.1.1"), L("DNS List Entry:", "9.9.9.9"),
                L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"), L("Current DNS:", "10.0.0.53"),
                L("DNS List Entry:", "10.0.0.53"), L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"),
                L("Current DNS:", "172.16.0.53"), L("DNS List Entry:", "172.16.0.53")}));
    EXPECT_EQ(m_owner.m_boxes.back(), "SUCCESS ... It appears there are configured DNS Servers....");

    // The lease times reach the records: obtained = expiry - lease time.
    auto get = reinterpret_cast<GET_ADAPTERS_INFO_FN>(GetProcAddress(m_module, "GetAdaptersInfo"));
    ULONG size = 0;
    ASSERT_EQ(get(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    std::vector<char> buffer(size);
    ASSERT_EQ(get(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size), ERROR_SUCCESS);
    std::vector<std::pair<int64_t, int64_t>> times;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next)
        times.emplace_back(a->LeaseObtained, a->LeaseExpires);
    EXPECT_EQ(times, (std::vector<std::pair<int64_t, int64_t>>{
                         {1796601600 - 86400, 1796601600}, {0, 0}, {1796520000 - 3600, 1796520000}}));
}

// No bus, a bus where neither service runs, a bus that refuses to let us ask:
// the files alone speak, as they did before the bus was asked.
enum class Refusal
{
    NoBus,
    NoService,
    NoPermission
};

class ManagerPcFallbackTest : public ManagerPcTest, public ::testing::WithParamInterface<Refusal>
{};

TEST_P(ManagerPcFallbackTest, TheFilesSpeakAlone)
{
    std::unique_ptr<testing_support::PrivateBus> bus;
    if (GetParam() == Refusal::NoBus)
        m_setBus(("unix:path=" + m_pc.Root() + "/no-bus-here").c_str());
    else
    {
        bus = std::make_unique<testing_support::PrivateBus>(
            GetParam() == Refusal::NoPermission ? testing_support::PrivateBus::Policy::DenyNetworkServices
                                                : testing_support::PrivateBus::Policy::Open);
        ASSERT_TRUE(bus->Started());
        if (GetParam() == Refusal::NoPermission)
        {
            ASSERT_TRUE(bus->Serve(kManagerBus)); // it runs, but the bus will not carry our questions
        }
        m_setBus(bus->Address().c_str());
    }
    const Lines globalDns{L("Current DNS:", "192.168.1.1"), L("DNS List Entry:", "192.168.1.1"),
                          L("DNS List Entry:", "10.0.0.53")};
    Lines expected{"Attempting to Read Ip Configuration...",
                   L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"),
                   L("DHCP Enabled :", "Yes"),
                   L("DHCP Server :", ""),
                   L("IpAddress :", "192.168.1.50"),
                   L("Subnet Mask :", "255.255.255.0"),
                   L("Default Gateway:", "192.168.1.1")};
    expected.insert(expected.end(), globalDns.begin(), globalDns.end());
    for (const auto& line : {L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"), L("DHCP Enabled :", "No"),
                             L("IpAddress :", "10.0.0.5"), L("Subnet Mask :", "255.255.255.0"),
                             L("Default Gateway:", "10.0.0.1")})
        expected.push_back(line);
    expected.insert(expected.end(), globalDns.begin(), globalDns.end());
    for (const auto& line :
         {L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"), L("DHCP Enabled :", "Yes"),
          L("DHCP Server :", ""), L("IpAddress :", "172.16.0.20"), L("Subnet Mask :", "255.255.255.0"),
          L("Default Gateway:", "172.16.0.1")})
        expected.push_back(line);
    expected.insert(expected.end(), globalDns.begin(), globalDns.end());
    EXPECT_EQ(RunLines(RunThisPc), Framed(expected));
    EXPECT_EQ(CheckLines(RunCheckDhcp, false),
              Framed({"Attempting to Determine DHCP Configuration...",
                      L("Found Ethernet Adapter :", "e1000e (PCI 8086:1533)"), L("DHCP Enabled :", "Yes"),
                      L("DHCP Server :", ""), L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                      L("DHCP Enabled :", "No"), L("Found Ethernet Adapter :", "r8169 (PCI 8086:1533)"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", "")}));
    EXPECT_EQ(m_owner.m_boxes.back(), "FAILURE - It appears there are no (Configured) DHCP Services....\r\n"
                                      "Use 'THIS PC' Button for more information.");
}

INSTANTIATE_TEST_SUITE_P(Refusals, ManagerPcFallbackTest,
                         ::testing::Values(Refusal::NoBus, Refusal::NoService, Refusal::NoPermission),
                         [](const auto& info) {
                             return std::string(info.param == Refusal::NoBus       ? "NoBus"
                                                : info.param == Refusal::NoService ? "NoService"
                                                                                   : "NoPermission");
                         });

TEST(IpHelperBus, OlderNameserversAndResolverEntriesAsTheBusGivesThem)
{
    testing_support::PrivateBus bus;
    ASSERT_TRUE(
        bus.Serve("device eth0\nold-nameservers eth0 10.0.0.53 10.0.0.54\n"
                  "device wlan0 dhcp dhcp_server_identifier=not-an-address\n"
                  "resolved 2 2001:db8::1 192.0.2.53\nresolved 0 192.0.2.99\nresolved 3 192.0.2.54\n"));
    const iphelper::BusView view = iphelper::QueryBus(bus.Address(), 5000);
    ASSERT_EQ(view.devices.size(), 2u);
    EXPECT_EQ(view.devices[0].iface, "eth0");
    EXPECT_FALSE(view.devices[0].dhcp);
    EXPECT_EQ(view.devices[0].dns, (std::vector<std::string>{"10.0.0.53", "10.0.0.54"}));
    EXPECT_EQ(view.devices[1].iface, "wlan0");
    EXPECT_TRUE(view.devices[1].dhcp);
    EXPECT_EQ(view.devices[1].dhcpOptions.at("dhcp_server_identifier"), "not-an-address");
    EXPECT_TRUE(view.devices[1].dns.empty());
    // IPv6 and the global (index 0) entries are not a link's IPv4 servers.
    EXPECT_EQ(view.linkDns, (std::vector<std::pair<int, std::string>>{{2, "192.0.2.53"}, {3, "192.0.2.54"}}));
    EXPECT_EQ(iphelper::ParseManagerDhcp4Options(view.devices[1].dhcpOptions).server, "");

    // The manager alone, without systemd-resolved: its devices still count.
    ASSERT_TRUE(bus.Serve("no-resolver\ndevice eth0\nnameservers eth0 10.0.0.53\n"));
    const iphelper::BusView managerOnly = iphelper::QueryBus(bus.Address(), 5000);
    ASSERT_EQ(managerOnly.devices.size(), 1u);
    EXPECT_EQ(managerOnly.devices[0].dns, (std::vector<std::string>{"10.0.0.53"}));
    EXPECT_TRUE(managerOnly.linkDns.empty());
}

std::string Fixture(const std::string& name)
{
    std::ifstream in(std::string(KV_IPHELPER_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lease of one DHCP conversation, written by three releases of networkd.
class NetworkdLeaseForms : public ::testing::TestWithParam<const char*>
{};

TEST_P(NetworkdLeaseForms, GiveTheSameLease)
{
    const std::string text = Fixture(GetParam());
    ASSERT_FALSE(text.empty());
    const iphelper::Lease lease = iphelper::ParseNetworkdLease(text);
    EXPECT_TRUE(lease.found);
    EXPECT_EQ(lease.address, "192.168.1.50");
    EXPECT_EQ(lease.server, "192.168.1.1");
    EXPECT_EQ(lease.dns, (std::vector<std::string>{"192.168.1.1", "8.8.8.8"}));
    EXPECT_EQ(lease.lifetime, 86400u);
}

INSTANTIATE_TEST_SUITE_P(Releases, NetworkdLeaseForms,
                         ::testing::Values("networkd-lease-v252", "networkd-lease-timespan",
                                           "networkd-lease-json"));

TEST_F(IpHelperTest, AJsonLeaseOnDiskProvesDhcpAndNamesTheServer)
{
    FixturePc pc;
    pc.Link("enp1s0", 2, 1, true, "igb");
    pc.Write("/run/systemd/netif/leases/2", Fixture("networkd-lease-json"));
    Describe(pc, "addr 2 192.168.1.50/24 dynamic\nroute 2 192.168.1.1 16 0\n");
    EXPECT_TRUE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.Lines()[m_owner.Lines().size() - 3], L("DHCP Server :", "192.168.1.1"));
    EXPECT_TRUE(RunCheckDns(&m_owner)); // the lease's servers, as no link file names any
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(Lines(lines.end() - 5, lines.end() - 2),
              (Lines{L("Current DNS:", "192.168.1.1"), L("DNS List Entry:", "192.168.1.1"),
                     L("DNS List Entry:", "8.8.8.8")}));

    // The lease was obtained when networkd wrote the file, and runs its lifetime ("1d").
    const timespec written[2] = {{1796000000, 0}, {1796000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (pc.Root() + "/run/systemd/netif/leases/2").c_str(), written, 0), 0);
    auto get = reinterpret_cast<GET_ADAPTERS_INFO_FN>(GetProcAddress(m_module, "GetAdaptersInfo"));
    IP_ADAPTER_INFO record{};
    ULONG size = sizeof record;
    ASSERT_EQ(get(&record, &size), ERROR_SUCCESS);
    EXPECT_EQ(record.LeaseObtained, 1796000000);
    EXPECT_EQ(record.LeaseExpires, 1796000000 + 86400);
}

struct JsonCase
{
    const char* name;
    const char* text;
    const char* address; // "" when no lease is found
    const char* server;
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }

class NetworkdJsonLease : public ::testing::TestWithParam<JsonCase>
{};

TEST_P(NetworkdJsonLease, IsReadOrRefused)
{
    const iphelper::Lease lease = iphelper::ParseNetworkdLeaseJson(GetParam().text);
    EXPECT_EQ(lease.found, GetParam().address[0] != '\0');
    EXPECT_EQ(lease.address, GetParam().address);
    EXPECT_EQ(lease.server, GetParam().server);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NetworkdJsonLease,
    ::testing::Values(
        JsonCase{"DottedTexts", R"({"Address":"10.1.2.3","Server_Address":"10.1.2.1"})", "10.1.2.3",
                 "10.1.2.1"},
        JsonCase{"OnlyTheAddressString", R"({"AddressString":"10.1.2.3","Server_Address":[10,1,2,1]})",
                 "10.1.2.3", "10.1.2.1"},
        JsonCase{"ByteOutOfRange", R"({"Address":[10,1,2,256],"Server_Address":[10,1,2,1]})", "", "10.1.2.1"},
        JsonCase{"FractionalByte", R"({"Address":[10,1,2,3.5]})", "", ""},
        JsonCase{"ThreeBytes", R"({"Address":[10,1,2],"Server_Address":[10,1,2,1,0]})", "", ""},
        JsonCase{"ServerAsIpv6", R"({"Address":[10,1,2,3],"Server_Address":"2001:db8::1"})", "10.1.2.3", ""},
        JsonCase{"Truncated", R"({"Address":[10,1,2,3],"Server_Address":[10,1)", "", ""},
        JsonCase{"TrailingGarbage", R"({"Address":[10,1,2,3]} x)", "", ""},
        JsonCase{"NotAnObject", R"([[10,1,2,3]])", "", ""},
        JsonCase{"EscapesAndNesting",
                 R"({"Hostname":"a\"b\\c\u00e9","X":{"Y":[true,false,null,-1.5e3]},"Address":[10,1,2,3]})",
                 "10.1.2.3", ""},
        JsonCase{"ControlCharacterInText", "{\"Hostname\":\"a\tb\",\"Address\":[10,1,2,3]}", "", ""},
        JsonCase{"DeepNesting",
                 "{\"A\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[0]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]],"
                 "\"Address\":[10,1,2,3]}",
                 "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A lifetime of many huge terms wrapped the sum, and the lease's expiry,
// its file's time plus the lifetime, overflowed.
TEST(IpHelperParsers, TimespanBeyondAnyLeaseIsUnknown)
{
    std::string many;
    for (int i = 0; i < 70; ++i)
        many += "4294967295y ";
    EXPECT_EQ(iphelper::ParseTimespan(many), 0u);
    EXPECT_EQ(iphelper::ParseTimespan("31689y"), 0u);
    EXPECT_EQ(iphelper::ParseTimespan("31688y"), 31688ull * 31557600u);
    EXPECT_EQ(iphelper::ParseNetworkdLease("ADDRESS=10.1.2.3\nLIFETIME=" + many + "\n").lifetime, 0u);
}

TEST(IpHelperParsers, TimespansAndManagerOptions)
{
    const std::vector<std::pair<std::string, uint64_t>> spans{
        {"86400", 86400}, {"1d", 86400}, {"1h 30min", 5400}, {"2w", 1209600}, {"1d 2h 3min 4s", 93784},
        {"500ms", 0},     {"", 0},       {"bogus", 0},       {"5x", 0},       {"99999999999999999999", 0}};
    for (const auto& [text, seconds] : spans)
        EXPECT_EQ(iphelper::ParseTimespan(text), seconds) << text;

    const iphelper::Lease lease =
        iphelper::ParseManagerDhcp4Options({{"ip_address", "192.168.1.50"},
                                            {"dhcp_server_identifier", " 192.168.1.1 "},
                                            {"dhcp_lease_time", "7200"},
                                            {"expiry", "1796601600"},
                                            {"domain_name_servers", "192.168.1.1 8.8.8.8"},
                                            {"netbios_name_servers", "192.168.1.5"}});
    EXPECT_EQ(lease.server, "192.168.1.1");
    EXPECT_EQ(lease.lifetime, 7200u);
    EXPECT_EQ(lease.expires, 1796601600);
    EXPECT_EQ(lease.dns, (std::vector<std::string>{"192.168.1.1", "8.8.8.8"}));
    EXPECT_EQ(lease.wins, (std::vector<std::string>{"192.168.1.5"}));
    const iphelper::Lease odd =
        iphelper::ParseManagerDhcp4Options({{"dhcp_lease_time", "-5"}, {"expiry", "soon"}});
    EXPECT_EQ(odd.lifetime, 0u);
    EXPECT_EQ(odd.expires, 0);
}
} // namespace
