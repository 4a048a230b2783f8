// This PC's adapters, described by fixture files and a fixture kernel.
#include "adapter_facts.h"
#include "app_flags.h"
#include "ip_helper.h"
#include "module.h"
#include "support/recording_owner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
            fs::create_directory_symlink(m_root + "/sys/bus/pci/drivers/" + driver, m_root + device + "/driver");
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
    }
    void TearDown() override
    {
        m_setSources(nullptr, nullptr);
        FreeLibrary(m_module);
    }
    void Describe(const FixturePc& pc, const std::string& kernel) { m_setSources(pc.Root().c_str(), kernel.c_str()); }

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
    pc.Write("/run/systemd/netif/links/3", "ADMIN_STATE=configured\nDNS=192.168.1.1 8.8.8.8:53 1.1.1.1#one.one "
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
              Framed({"Attempting to Read Ip Configuration...", L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                      L("DHCP Enabled :", "No"), L("IpAddress :", "10.0.0.5"), L("Subnet Mask :", "255.255.255.0"),
                      L("Default Gateway:", "0.0.0.0"),
                      // no servers: the record's inline first entry, empty, as the platform gives it
                      L("Current DNS:", ""), L("DNS List Entry:", ""),
                      L("Found Ethernet Adapter :", "Intel Corporation Ethernet Connection I219-LM"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", "192.168.1.1"), L("IpAddress :", "192.168.1.50"),
                      L("Subnet Mask :", "255.255.255.0"), L("Default Gateway:", "192.168.1.1"),
                      L("Current DNS:", "192.168.1.1"), L("DNS List Entry:", "192.168.1.1"),
                      L("DNS List Entry:", "8.8.8.8"), L("DNS List Entry:", "1.1.1.1")}));
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
              (Lines{"Attempting to Determine DHCP Configuration...", L("Found Ethernet Adapter :", "igb (PCI 8086:1533)"),
                     L("DHCP Enabled :", "No"), L("Found Ethernet Adapter :", "Intel Corporation Ethernet Connection I219-LM"),
                     L("DHCP Enabled :", "Yes"), L("DHCP Server :", "192.168.1.1"), "UnLoading IpHlpApi.dll...",
                     kClosingBanner}));
}

TEST_F(IpHelperTest, OnlyWirelessMeansNoEthernetAdapter)
{
    FixturePc pc;
    pc.Link("wlan0", 2, 1, true, "iwlwifi", "DEVTYPE=wlan\n");
    Describe(pc, "addr 2 192.168.0.7/24 dynamic\n");
    EXPECT_FALSE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.m_boxes, (std::vector<std::string>{"FAILURE - Failed to Find an Ethernet Controller!"}));
    EXPECT_EQ(m_owner.Lines()[m_owner.Lines().size() - 3], "FAILURE - Failed to find an Ethernet Adapter!");
    m_owner.ClearHistory();
    RunThisPc(&m_owner);
    EXPECT_EQ(m_owner.Lines(), Framed({"Attempting to Read Ip Configuration...", " Failed to find an Ethernet Adapter!"}));
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
    EXPECT_EQ(m_owner.m_boxes.back(),
              "FAILURE It appears there are no configured DNS Servers....\r\nUse 'THIS PC' Button for more information.");
    EXPECT_FALSE(RunCheckDhcp(&m_owner));
    EXPECT_EQ(m_owner.m_boxes.back(), "FAILURE - It appears there are no (Configured) DHCP Services....\r\n"
                                      "Use 'THIS PC' Button for more information.");
    IsWin9x = true;
    EXPECT_FALSE(RunCheckDns(&m_owner));
    IsWin9x = false;
    EXPECT_EQ(m_owner.m_boxes.back(), "FAILURE It appears there are no configured DNS Servers....\r\nNOTE: This in NOT "
                                      "a reliable test under WIN9X platforms.\r\nUse 'THIS PC' Button for more information.");
    // With the stub's upstream list in place, the DNS servers are found.
    pc.Write("/run/systemd/resolve/resolv.conf", "nameserver 192.0.2.53\nnameserver 2001:db8::53\n");
    EXPECT_TRUE(RunCheckDns(&m_owner));
}

TEST_F(IpHelperTest, KernelHintsProveDhcpWithoutNamingAServer)
{
    FixturePc pc;
    pc.Link("eth0", 2, 1, true, "r8169");
    Describe(pc, "addr 2 10.1.1.20/24 dynamic\nroute 2 10.1.1.1 16 0\n");
    RunThisPc(&m_owner);
    const Lines lines = m_owner.Lines();
    EXPECT_EQ(lines[6], L("DHCP Enabled :", "Yes"));
    EXPECT_EQ(lines[7], L("DHCP Server :", ""));
    EXPECT_FALSE(RunCheckDhcp(&m_owner)); // an empty server is not a DHCP service seen
}

TEST_F(IpHelperTest, LeasesOfEachClientAndWins)
{
    FixturePc pc;
    pc.Link("eth0", 2, 1, true, "e1000");
    pc.Link("eth1", 3, 1, true, "e1000");
    pc.Write("/var/lib/dhcp/dhclient.eth0.leases",
             "lease {\n interface \"eth0\";\n fixed-address 10.0.0.2;\n option dhcp-server-identifier 10.0.0.250;\n}\n"
             "lease {\n interface \"eth0\";\n fixed-address 10.0.0.3;\n option dhcp-server-identifier 10.0.0.1;\n"
             " option domain-name-servers 10.0.0.53,10.0.0.54;\n option netbios-name-servers 10.0.0.44, 10.0.0.45;\n}\n");
    std::string message(240, '\0');
    message[16] = static_cast<char>(172), message[17] = 16, message[18] = 5, message[19] = 9; // yiaddr
    message[236] = 0x63, message[237] = static_cast<char>(0x82), message[238] = 0x53, message[239] = 0x63;
    message += std::string("\x36\x04\xac\x10\x05\x01", 6);          // server 172.16.5.1
    message += std::string("\x06\x04\x08\x08\x04\x04", 6);          // DNS 8.8.4.4
    message += std::string("\x2c\x04\xac\x10\x05\x2c\xff", 7);      // WINS 172.16.5.44, end
    pc.Write("/var/lib/dhcpcd/eth1.lease", message);
    Describe(pc, "addr 2 10.0.0.3/24 dynamic\naddr 3 172.16.5.9/24 dynamic\n");
    RunThisPc(&m_owner);
    const Lines lines = m_owner.Lines();
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
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
    EXPECT_EQ(m_owner.Lines(), (Lines{"", std::string(kOpeningBanner).substr(2), kPlainSeparator,
                                      "Loading IpHlpApi.dll...", "FAILED Unable to load IpHlpApi.dll. Cannot Continue!",
                                      kClosingBanner}));
    m_owner.ClearHistory();
    fs::copy_file(fs::path(platform::ExecutableDirectory()) / "libkvtestmodule.so", fs::path(dir) / "libiphlpapi.so");
    EXPECT_FALSE(RunCheckDns(&m_owner));
    EXPECT_EQ(m_owner.Lines(), Framed({"Unable to find ProcAddress of GetAdaptersInfo(...) Cannot Continue!"}));
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
              Framed({"Unable to find ProcAddress of GetPerAdapterInfo(...)", "Continuing with limited functionality...",
                      "Attempting to Read Ip Configuration...", L("Found Ethernet Adapter :", "Substitute Ethernet"),
                      L("DHCP Enabled :", "Yes"), L("DHCP Server :", "10.0.0.1"), L("IpAddress :", "10.0.0.9"),
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
} // namespace
