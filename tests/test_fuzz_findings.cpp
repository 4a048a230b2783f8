// Faults the fuzz targets found, each pinned by the smallest case that shows
// it. Their inputs stay in the targets' seed corpora as well.
#include "iptypes.h"
#include "module.h"
#include "sspi.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
constexpr ULONG kReq = 0xC11C;

// fuzz_handshake, on a client-certificate request: the tester hands the
// provider an empty token once after the pause, and the provider answered
// SECBUFFER_MISSING with a count of 0. A header is what is missing; the
// platform says 5 for nothing and 5 - n for n bytes of a header.
class MissingCount : public ::testing::TestWithParam<std::pair<ULONG, ULONG>>
{};

TEST_P(MissingCount, CountsTheHeaderStillToCome)
{
    HMODULE module = LoadLibraryA("Secur32.dll");
    ASSERT_NE(module, nullptr);
    auto* table =
        reinterpret_cast<INIT_SECURITY_INTERFACE_A>(GetProcAddress(module, "InitSecurityInterfaceA"))();
    SCHANNEL_CRED sc{};
    sc.dwVersion = SCHANNEL_CRED_VERSION;
    sc.grbitEnabledProtocols = 0xFF0;
    sc.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    CredHandle cred{};
    char package[] = UNISP_NAME_A;
    ASSERT_EQ(table->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr,
                                               nullptr, &cred, nullptr),
              SEC_E_OK);
    CtxtHandle context{};
    SecBuffer hello{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc helloDesc{SECBUFFER_VERSION, 1, &hello};
    ULONG attrs = 0;
    char host[] = "server.test";
    ASSERT_EQ(table->InitializeSecurityContextA(&cred, nullptr, host, kReq, 0, SECURITY_NATIVE_DREP, nullptr,
                                                0, &context, &helloDesc, &attrs, nullptr),
              SEC_I_CONTINUE_NEEDED);
    table->FreeContextBuffer(hello.pvBuffer);

    const auto [have, missing] = GetParam();
    char header[] = {0x16, 0x03, 0x03, 0x00};
    SecBuffer in[2] = {{have, SECBUFFER_TOKEN, header}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    EXPECT_EQ(table->InitializeSecurityContextA(&cred, &context, nullptr, kReq, 0, SECURITY_NATIVE_DREP,
                                                &inDesc, 0, nullptr, &outDesc, &attrs, nullptr),
              SEC_E_INCOMPLETE_MESSAGE);
    EXPECT_EQ(in[1].BufferType, SECBUFFER_MISSING);
    EXPECT_EQ(in[1].cbBuffer, missing);
    EXPECT_EQ(out.pvBuffer, nullptr);
    table->DeleteSecurityContext(&context);
    table->FreeCredentialsHandle(&cred);
    FreeLibrary(module);
}

INSTANTIATE_TEST_SUITE_P(HeaderBytes, MissingCount,
                         ::testing::Values(std::make_pair(0u, 5u), std::make_pair(1u, 4u),
                                           std::make_pair(4u, 1u)));

// fuzz_adapter_files: an interface whose sysfs folder has no "address" file
// made the IP helper copy its hardware address from a null pointer.
TEST(AdapterRecords, InterfaceWithoutHardwareAddress)
{
    char name[] = "/tmp/kvfindXXXXXX";
    const std::string root = ::mkdtemp(name);
    const std::string dir = root + "/sys/class/net/eth0";
    fs::create_directories(dir);
    for (const auto& [file, text] :
         {std::pair<const char*, const char*>{"ifindex", "2\n"}, {"type", "1\n"}, {"flags", "0x1003\n"}})
        std::ofstream(dir + "/" + file) << text;

    HMODULE module = LoadLibraryA("IpHlpApi.dll");
    ASSERT_NE(module, nullptr);
    auto setSources =
        reinterpret_cast<void (*)(const char*, const char*)>(GetProcAddress(module, "KvIpHelperSetSources"));
    auto getAdaptersInfo = reinterpret_cast<GET_ADAPTERS_INFO_FN>(GetProcAddress(module, "GetAdaptersInfo"));
    ASSERT_NE(setSources, nullptr);
    ASSERT_NE(getAdaptersInfo, nullptr);
    setSources(root.c_str(), "addr 2 10.0.0.5/24 permanent\n");

    std::vector<unsigned char> buffer(64 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    EXPECT_EQ(getAdaptersInfo(info, &size), ERROR_SUCCESS);
    EXPECT_STREQ(info->AdapterName, "eth0");
    EXPECT_EQ(info->AddressLength, 0u);
    EXPECT_STREQ(info->IpAddressList.IpAddress.String, "10.0.0.5");
    setSources(nullptr, nullptr);
    FreeLibrary(module);
    fs::remove_all(root);
}
} // namespace
