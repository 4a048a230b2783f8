#include "module.h"
#include "nova_api.h"
#include "support/recording_owner.h"
#include "winuser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace
{
const std::string kStart = std::string(kOpeningBanner).substr(2);

// A library folder holding one substitute variant as libnova_api.so. The
// test keeps its own reference, so the record of calls outlives the test's unload.
class NovaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/kvnovaXXXXXX";
        m_dir = ::mkdtemp(name);
        SetDllDirectoryA(m_dir.c_str());
        platform::SetDefaultModuleSearch(false);
    }
    void TearDown() override
    {
        if (m_library)
            FreeLibrary(m_library);
        SetDllDirectoryA(nullptr);
        platform::SetDefaultModuleSearch(true);
        fs::remove_all(m_dir);
    }
    void Provide(const std::string& variant, const char* mode)
    {
        fs::copy_file(fs::path(platform::ExecutableDirectory()) / ("libnova_" + variant + ".so"),
                      fs::path(m_dir) / "libnova_api.so");
        m_library = LoadLibraryA("NOVA_API.DLL");
        ASSERT_NE(m_library, nullptr);
        reinterpret_cast<void (*)(const char*)>(GetProcAddress(m_library, "NovaSubstituteSetMode"))(mode);
    }
    std::string Calls()
    {
        return reinterpret_cast<const char* (*)()>(GetProcAddress(m_library, "NovaSubstituteLog"))();
    }
    Lines Run()
    {
        RunNovaApiTest(&m_owner);
        return m_owner.Lines();
    }
    static Lines Framed(Lines middle)
    {
        Lines lines{"", kStart, kPlainSeparator, "Attempting NOVA API..."};
        lines.insert(lines.end(), middle.begin(), middle.end());
        lines.push_back(kClosingBanner);
        return lines;
    }

    std::string m_dir;
    HMODULE m_library = nullptr;
    CRecordingOwner m_owner;
};

const std::string kKeyLine = "SetParam 10 size 22 'KESTAVANE NOVA DEVKEY1'";
const std::string kWithdraw =
    "SetParam 8 size 4 value 0\nSetParam 9 size " + std::to_string(sizeof(void*)) + " cleared\n";
const std::string kRegister = "SetParam 9 size " + std::to_string(sizeof(void*)) + " set\n";

TEST_F(NovaTest, WithoutTheLibrary)
{
    EXPECT_EQ(Run(), Framed({"Error -- NOVA API DLL Not Loaded!", " TEST FAILED. "}));
    EXPECT_TRUE(m_owner.m_enabled);
    EXPECT_EQ(m_owner.m_focusCalls, 1);
    EXPECT_EQ(std::string(g_novaDevelopmentKey).size(), 22u);
}

TEST_F(NovaTest, AcceptingLibraryConnectsAndDisconnects)
{
    Provide("full", "accept");
    EXPECT_EQ(Run(), Framed({"Connection Closed -- TEST SUCCESSFUL. "}));
    EXPECT_EQ(Calls(), "GetIPInterface\n" + kRegister + "DebugMode 1\n" + kKeyLine +
                           "\nConnect\nDisconnect\n" + kWithdraw);
}

TEST_F(NovaTest, RefusedParametersReportTheLibraryText)
{
    Provide("full", "refuse9");
    EXPECT_EQ(Run(), Framed({"Error -- Parameter 9 refused", " TEST FAILED. "}));
    EXPECT_EQ(Calls(), "GetIPInterface\n" + kRegister + "GetLastError\n" + kWithdraw);
    m_owner.ClearHistory();
    reinterpret_cast<void (*)(const char*)>(GetProcAddress(m_library, "NovaSubstituteSetMode"))("refuse10");
    EXPECT_EQ(Run(), Framed({"Error -- Parameter 10 refused", " TEST FAILED. "}));
    EXPECT_EQ(Calls(),
              "GetIPInterface\n" + kRegister + "DebugMode 1\n" + kKeyLine + "\nGetLastError\n" + kWithdraw);
}

TEST_F(NovaTest, FailedConnectReportsItsText)
{
    Provide("full", "connect-fails");
    EXPECT_EQ(Run(), Framed({"Error -- Terminal did not answer", " TEST FAILED. "}));
    EXPECT_EQ(Calls().find("Disconnect"), std::string::npos);
}

TEST_F(NovaTest, ErrorTextsAtTheirLimits)
{
    Provide("full", "empty-error");
    EXPECT_EQ(Run(), Framed({"Error -- ", " TEST FAILED. "}));
    m_owner.ClearHistory();
    reinterpret_cast<void (*)(const char*)>(GetProcAddress(m_library, "NovaSubstituteSetMode"))("long-error");
    EXPECT_EQ(Run(), Framed({"Error -- " + std::string(67, 'L'), " TEST FAILED. "}));
}

TEST_F(NovaTest, MissingEntryPoints)
{
    Provide("no_get_last_error", "connect-fails");
    EXPECT_EQ(Run(), Framed({"Error -- Function not found in DLL!", " TEST FAILED. "}));
}

TEST_F(NovaTest, MissingSetParamFailsConfigureWithTheLibraryText)
{
    Provide("no_set_param", "connect-fails");
    EXPECT_EQ(Run(), Framed({"Error -- ", " TEST FAILED. "}));
    EXPECT_EQ(Calls(), "GetIPInterface\nGetLastError\n"); // nothing to withdraw without SetParam
}

TEST_F(NovaTest, MissingConnectIsAFailedConnect)
{
    Provide("no_connect", "accept");
    EXPECT_EQ(Run(), Framed({"Error -- ", " TEST FAILED. "}));
}

// A desktop a test describes: top-level windows and their descendants.
class FakeDesktop : public platform::CWindowSystem
{
public:
    struct Window
    {
        std::string className;
        bool visible = true;
        bool exists = true;
        std::vector<int> children;
        bool topLevel = false;
    };
    std::map<int, Window> windows;

    FakeDesktop() { platform::SetWindowSystem(this); }
    ~FakeDesktop() override { platform::SetWindowSystem(nullptr); }

    HWND FindTopLevel(const char* className, const char*) override
    {
        for (auto& [id, w] : windows)
            if (w.topLevel && w.exists && w.className == className)
                return Handle(id);
        return nullptr;
    }
    void EnumDescendants(HWND parent, WNDENUMPROC proc, LPARAM value) override
    {
        for (int child : windows[Id(parent)].children)
        {
            if (!windows[child].exists)
                continue;
            proc(Handle(child), value);
            EnumDescendants(Handle(child), proc, value);
        }
    }
    bool ClassName(HWND window, char* out, int maxCount, int* length) override
    {
        const std::string& name = windows[Id(window)].className;
        *length = static_cast<int>(std::min<size_t>(name.size(), static_cast<size_t>(maxCount - 1)));
        std::memcpy(out, name.data(), static_cast<size_t>(*length));
        out[*length] = '\0';
        return true;
    }
    bool Exists(HWND window) override { return windows.count(Id(window)) && windows[Id(window)].exists; }
    bool Visible(HWND window) override { return windows[Id(window)].visible; }

    static HWND Handle(int id) { return reinterpret_cast<HWND>(static_cast<intptr_t>(id)); }
    static int Id(HWND window) { return static_cast<int>(reinterpret_cast<intptr_t>(window)); }
};

TEST_F(NovaTest, VisibleTerminalWindowKeepsTheTestDispatchingUntilHidden)
{
    Provide("full", "accept");
    FakeDesktop desktop;
    desktop.windows[1] = {"TfrmMain", true, true, {2}, true};
    desktop.windows[2] = {"TPanel", true, true, {3}};
    desktop.windows[3] = {"TNOVA_IP", true, true, {}}; // a grandchild still counts
    bool unloadedEarly = false;
    m_owner.m_onPump = [&] {
        EXPECT_FALSE(m_owner.m_enabled); // no clicks reach the dialog while it waits
        unloadedEarly = unloadedEarly || Calls().find("SetParam 8") != std::string::npos;
        if (m_owner.m_pumps == 5)
            desktop.windows[3].visible = false;
    };
    EXPECT_EQ(Run(), Framed({"Connection Closed -- TEST SUCCESSFUL. "}));
    EXPECT_EQ(m_owner.m_pumps, 5);
    EXPECT_FALSE(unloadedEarly);
    EXPECT_TRUE(m_owner.m_enabled);
    EXPECT_EQ(m_owner.m_focusCalls, 1);
}

TEST_F(NovaTest, WaitEndsWhenTheWindowGoes)
{
    FakeDesktop desktop;
    desktop.windows[1] = {"TfrmMain", true, true, {3}, true};
    desktop.windows[3] = {"TNOVA_IP", true, true, {}};
    m_owner.m_onPump = [&] {
        if (m_owner.m_pumps == 3)
            desktop.windows[1].exists = false;
    };
    Run();
    EXPECT_EQ(m_owner.m_pumps, 3);
}

TEST_F(NovaTest, NoWaitWithoutAVisibleExactlyNamedWindow)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"TNOVA_IP", false}, // hidden
        {"TNova_IP", true},  // another class by case
        {"tnova_ip", true},
    };
    for (const auto& [name, visible] : cases)
    {
        FakeDesktop desktop;
        desktop.windows[1] = {"TfrmMain", true, true, {2}, true};
        desktop.windows[2] = {name, visible, true, {}};
        m_owner.m_pumps = 0;
        Run();
        EXPECT_EQ(m_owner.m_pumps, 0) << name;
    }
    FakeDesktop desktop;
    desktop.windows[1] = {"TfrmOther", true, true, {2}, true};
    desktop.windows[2] = {"TNOVA_IP", true, true, {}};
    Run();
    EXPECT_EQ(m_owner.m_pumps, 0);
}
} // namespace
