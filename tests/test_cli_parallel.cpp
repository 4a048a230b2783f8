// Presses at once: the platform's per-thread and shared state, and a whole
// catalogue run against loopback peers in a network namespace of the test's
// own, where every catalogue host resolves to a loopback address and the
// peers listen on the catalogue's own ports. The test command runs these
// under ThreadSanitizer too.
#include "catalogue.h"
#include "cli.h"
#include "module.h"
#include "support/cli_run.h"
#include "support/loopback.h"
#include "support/prometheus_text.h"
#include "support/test_pki.h"
#include "support/tls_peer.h"
#include "ws2.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace
{
// A gate that opens once for every thread waiting at it.
class Gate
{
public:
    explicit Gate(int count) : m_left(count) {}
    void ArriveAndWait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_left == 0)
            m_open.notify_all();
        m_open.wait(lock, [&] { return m_left <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_open;
    int m_left;
};

void OnThreads(int count, const std::function<void(int)>& body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(body, i);
    for (auto& t : threads)
        t.join();
}

TEST(ParallelPlatform, LastErrorsBelongToTheirThread)
{
    constexpr int kThreads = 8;
    Gate bothSet(kThreads);
    std::vector<int> wsa(kThreads), last(kThreads);
    OnThreads(kThreads, [&](int i) {
        ws2::WSASetLastError(20000 + i);
        SetLastError(static_cast<DWORD>(30000 + i));
        bothSet.ArriveAndWait(); // every other thread has set its own by now
        wsa[i] = ws2::WSAGetLastError();
        last[i] = static_cast<int>(GetLastError());
    });
    for (int i = 0; i < kThreads; ++i)
    {
        EXPECT_EQ(wsa[i], 20000 + i);
        EXPECT_EQ(last[i], 30000 + i);
    }
}

TEST(ParallelPlatform, SocketStartUpsCountUnderConcurrentStartsAndCleanups)
{
    ws2::WSADATA data{};
    ASSERT_EQ(ws2::WSAStartup(0x0101, &data), 0);
    std::atomic<int> failures{0};
    OnThreads(8, [&](int) {
        for (int n = 0; n < 200; ++n)
        {
            ws2::WSADATA own{};
            if (ws2::WSAStartup(0x0202, &own) != 0)
                ++failures;
            const ws2::SOCKET s = ws2::socket(AF_INET, SOCK_STREAM, 0);
            if (s == ws2::INVALID_SOCKET)
                ++failures;
            else
                ws2::closesocket(s);
            if (ws2::WSACleanup() != 0)
                ++failures;
        }
    });
    EXPECT_EQ(failures.load(), 0);
    // Exactly the first start-up is left: one clean-up ends it, a second has nothing to end.
    EXPECT_EQ(ws2::WSACleanup(), 0);
    EXPECT_EQ(ws2::socket(AF_INET, SOCK_STREAM, 0), ws2::INVALID_SOCKET);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSANOTINITIALISED);
    EXPECT_EQ(ws2::WSACleanup(), ws2::SOCKET_ERROR);
}

TEST(ParallelPlatform, ALookupInProgressHoldsUpNoOtherLookup)
{
    ws2::WSADATA data{};
    ASSERT_EQ(ws2::WSAStartup(0x0101, &data), 0);
    std::mutex mutex;
    std::condition_variable changed;
    bool slowInside = false, fastDone = false;
    ws2::SetResolver([&](const std::string& name) -> std::optional<in_addr> {
        in_addr address{};
        ::inet_pton(AF_INET, "127.0.0.9", &address);
        if (name == "slow.test")
        {
            std::unique_lock<std::mutex> lock(mutex);
            slowInside = true;
            changed.notify_all();
            // Bounded: with the seam locked around the call this gives up, and the lookup fails.
            if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return fastDone; }))
                return std::nullopt;
        }
        return address;
    });
    bool slowFound = false;
    std::thread slow([&] { slowFound = ws2::gethostbyname("slow.test") != nullptr; });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return slowInside; });
    }
    const bool fastFound = ws2::gethostbyname("fast.test") != nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        fastDone = true;
        changed.notify_all();
    }
    slow.join();
    ws2::SetResolver(nullptr);
    ws2::WSACleanup();
    EXPECT_TRUE(fastFound);
    EXPECT_TRUE(slowFound);
}

TEST(ParallelPlatform, ModulesLoadAndFreeFromManyThreadsEachWithItsOwnLastError)
{
    std::atomic<int> failures{0};
    OnThreads(8, [&](int i) {
        for (int n = 0; n < 50; ++n)
        {
            if (i % 2 == 0)
            {
                HMODULE module = LoadLibraryA("Secur32.dll");
                if (module == nullptr || GetProcAddress(module, "InitSecurityInterfaceA") == nullptr ||
                    !FreeLibrary(module))
                    ++failures;
            }
            else if (LoadLibraryA("NoSuchModule.dll") != nullptr || GetLastError() != ERROR_MOD_NOT_FOUND)
                ++failures;
        }
    });
    EXPECT_EQ(failures.load(), 0);
}

// ---- a catalogue run

const char* Host(int id, int n) { return FindProcessorEntry(id)->targets[n].host; }
const char* Label(int id, int n) { return FindProcessorEntry(id)->targets[n].label; }

// A record without what the kernel or the clock chooses: source ports,
// times and the days left of the certificates (counted from the moment their
// line is written, so a second can take a day off) are masked where they are
// present and stay null where they are not; the run's id and the summary's
// jobs differ by design.
nlohmann::json Steady(nlohmann::json j)
{
    auto mask = [](nlohmann::json& value) {
        if (!value.is_null())
            value = "masked";
    };
    if (j.contains("times_ms"))
        for (auto& [step, ms] : j["times_ms"].items())
            mask(ms);
    for (const char* field : {"source_port", "duration_ms", "started_at", "time", "run_id"})
        if (j.contains(field))
            mask(j[field]);
    if (j.contains("tls") && !j["tls"].is_null() && !j["tls"]["certificate"].is_null())
    {
        mask(j["tls"]["certificate"]["days_until_expiry"]);
        mask(j["tls"]["earliest_days_until_expiry"]);
        for (auto& cert : j["tls"]["chain"])
            mask(cert["days_until_expiry"]);
    }
    if (j["type"] == "summary")
        j.erase("jobs");
    return j;
}

// Two presses whose greeters each greet only once the other has a
// connection: they pass only when the presses run at once.
TEST(ParallelRun, PressesRunAtOnce)
{
    Captured atOnce{}, inTurn{};
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            std::mutex mutex;
            std::condition_variable arrived;
            int inside = 0, met = 0; // connections open now; pairs that met
            auto greetWhenBothAreIn = [&](int fd) {
                std::unique_lock<std::mutex> lock(mutex);
                ++inside;
                arrived.notify_all();
                // Bounded well below the tester's own 10 s wait; a lone press is hung up on.
                const bool together =
                    arrived.wait_for(lock, std::chrono::seconds(2), [&] { return inside == 2 || met; });
                met = together ? 1 : met;
                --inside;
                lock.unlock();
                if (together)
                {
                    SendAll(fd, "CONNECTED\x03");
                    DrainUntilClosed(fd, 3000);
                }
            };
            ScriptedServer lombrix(greetWhenBothAreIn, 2, std::chrono::seconds(60), {"127.0.1.1", 9000});
            ScriptedServer carvello(greetWhenBothAreIn, 2, std::chrono::seconds(60), {"127.0.1.2", 9100});
            CatalogueResolver resolver({{Host(1011, 0), "127.0.1.1"}, {Host(1012, 0), "127.0.1.2"}});
            atOnce = Cli({"run", "1011", "1012", "--jobs", "2"});
            {
                std::lock_guard<std::mutex> lock(mutex);
                met = 0;
            }
            inTurn = Cli({"run", "1011", "1012"});
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    for (const char* label : {"MERCURY LOMBRIX Primary", "MERCURY CARVELLO Primary"})
    {
        const std::string greeted = std::string("\nReceived 'CONNECTED' From ") + label + "\n";
        EXPECT_NE(atOnce.out.find(greeted), std::string::npos) << atOnce.out;
        EXPECT_EQ(inTurn.out.find(greeted), std::string::npos) << inTurn.out; // the greeters' own check
    }
}

// With one job a line is out before the press goes on: the greeter greets
// only once the connect line has reached the reader of the output.
TEST(ParallelRun, OneJobWritesEachLineAsItComes)
{
    std::string text;
    int status = -1;
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            int fds[2];
            ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
            FILE* out = ::fdopen(fds[1], "w");
            std::mutex mutex;
            std::condition_variable grew;
            std::thread reader([&] {
                char buffer[4096];
                for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    text.append(buffer, static_cast<size_t>(n));
                    grew.notify_all();
                }
            });
            ScriptedServer greeter(
                [&](int fd) {
                    std::unique_lock<std::mutex> lock(mutex);
                    const bool shown = grew.wait_for(lock, std::chrono::seconds(2), [&] {
                        return text.find("Connected to Server Successfully \n") != std::string::npos;
                    });
                    lock.unlock();
                    if (shown)
                    {
                        SendAll(fd, "CONNECTED\x03");
                        DrainUntilClosed(fd, 3000);
                    }
                },
                1, std::chrono::seconds(30), {"127.0.1.1", 9000});
            CatalogueResolver resolver(std::map<std::string, std::string>{{Host(1011, 0), "127.0.1.1"}});
            char* errText = nullptr;
            size_t errSize = 0;
            FILE* err = open_memstream(&errText, &errSize);
            status = RunCli({"run", "1011"}, out, err);
            std::fclose(out);
            std::fclose(err);
            std::free(errText);
            reader.join();
            ::close(fds[0]);
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    EXPECT_NE(text.find("\nReceived 'CONNECTED' From MERCURY LOMBRIX Primary\n"), std::string::npos) << text;
    EXPECT_EQ(status, 1); // the secondary does not resolve
}

// Buttons in the dialog's order, typed here from the table, not taken from the code.
const std::vector<int> kTableOrder = {1001, 1003, 1004, 1006, 1007, 1008, 1009, 1011, 1012, 1013, 1014,
                                      1015, 1016, 1017, 1022, 1023, 1025, 1026, 1028, 1030, 1031, 1032,
                                      1033, 1034, 1035, 1036, 1037, 1038, 1039, 1040, 1041, 1042, 1043};

TEST(ParallelRun, EightJobsWriteWhatOneJobWritesOverTheWholeCatalogue)
{
    TestPki& pki = TestPki::Get();
    const int runs = 5;
    struct Results
    {
        Captured text1, text8, json1, json8, prom8;
        std::string promFile;
    } r;
    char dirName[] = "/tmp/kvparXXXXXX";
    const std::string dir = ::mkdtemp(dirName);
    const std::string promPath = dir + "/kestavane.prom";

    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            std::map<std::string, std::string> names;
            std::vector<std::unique_ptr<TlsPeer>> tls;
            std::vector<Identity> identities;
            std::vector<std::unique_ptr<ScriptedServer>> greeters;
            int next = 1;
            auto address = [&](const std::string& host) {
                if (!names.count(host))
                    names[host] = "127.0.1." + std::to_string(next++);
                return names[host];
            };
            auto tlsPeer = [&](const std::string& host, int port, const std::string& certName) {
                identities.push_back(pki.Leaf({"/CN=" + certName, {"DNS:" + certName}}));
                TlsPeerOptions options;
                options.cert = identities.back().cert.get();
                options.key = identities.back().key.get();
                options.chain = identities.back().chain;
                options.connections = runs;
                options.lifetimeMs = 60000;
                options.listenAt = {address(host), port};
                tls.push_back(std::make_unique<TlsPeer>(options));
            };
            auto greeter = [&](const std::string& host, int port, const std::string& greeting, bool hangUp) {
                greeters.push_back(std::make_unique<ScriptedServer>(
                    [greeting, hangUp](int fd) {
                        SendAll(fd, greeting);
                        if (!hangUp)
                            DrainUntilClosed(fd, 3000);
                    },
                    runs, std::chrono::seconds(60), ListenAddress{address(host), port}));
            };
            tlsPeer(Host(1001, 0), 5003, Host(1001, 0));
            tlsPeer(Host(1003, 0), 443, Host(1003, 0));
            tlsPeer(Host(1003, 1), 443, Host(1003, 1));
            tlsPeer(Host(1004, 0), 443, "wrong.name.test"); // fails its verification
            address(Host(1006, 0));                         // W: refused, for 1006 and 1039
            address(Host(1008, 0));                         // D1: refused, a chain stop for 1008 and 1040
            greeter(Host(1011, 0), 9000, "CONNECTED\x03", false);
            greeter(Host(1011, 1), 9000, "Connected, welcome\x03", false);
            greeter(Host(1012, 0), 9100, "HELLO\x03", true); // hangs up without the word: a chain stop
            tlsPeer(Host(1016, 0), 22345, Host(1016, 0));    // X: 22346 and 1022's 54411 refused
            address(Host(1041, 0));                          // refused, the Pair goes on
            tlsPeer(Host(1041, 1), 443, Host(1041, 1));
            // Everything else resolves to nothing.
            CatalogueResolver resolver(names);

            r.text1 = Cli({"run", "--all"});
            r.text8 = Cli({"run", "--all", "--jobs", "8"});
            r.json1 = Cli({"run", "--all", "-j", "1", "--format", "json"});
            r.json8 = Cli({"run", "--all", "-j8", "--format=json"});
            r.prom8 = Cli({"run", "--all", "--jobs=8", "--format", "prometheus", "--output", promPath});
            std::ifstream in(promPath, std::ios::binary);
            r.promFile.assign(std::istreambuf_iterator<char>(in), {});
        },
        &why);
    std::filesystem::remove_all(dir);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;

    // The order of the presses and their Chain and Pair rules.
    std::vector<std::string> attempted, expected;
    std::istringstream lines(r.text1.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Attempting ", 0) == 0 && line.rfind("Attempting to ", 0) != 0 &&
            line != "Attempting SSL Handshake... ")
            attempted.push_back(line.substr(11));
    for (const int id : kTableOrder)
    {
        expected.push_back(Label(id, 0));
        if (id == 1003 || id == 1011 || id == 1016 || id == 1041) // the first passed, or a Pair
            expected.push_back(Label(id, 1));
    }
    EXPECT_EQ(attempted, expected);

    // The summary block, and exit 1 because some failed.
    std::string summary = "\nSUMMARY\n";
    for (const int id : kTableOrder)
    {
        std::string caption = FindProcessorEntry(id)->caption;
        std::replace(caption.begin(), caption.end(), '\r', ' ');
        summary +=
            std::string(id == 1001 || id == 1003 || id == 1011 ? "PASS" : "FAIL") + "  " + caption + "\n";
    }
    ASSERT_GE(r.text1.out.size(), summary.size());
    EXPECT_EQ(r.text1.out.substr(r.text1.out.size() - summary.size()), summary);
    EXPECT_NE(r.text1.out.find("more: SSL Certificate Common Name Does Not Match.\nClosing connection... \n"),
              std::string::npos)
        << r.text1.out;
    for (const Captured* c : {&r.text1, &r.text8, &r.json1, &r.json8, &r.prom8})
        EXPECT_EQ(c->status, 1);

    // Eight at once write byte for byte what one at a time writes.
    const std::string history = SourcePortsMasked(r.text1.out);
    EXPECT_EQ(SourcePortsMasked(r.text8.out), history);
    EXPECT_EQ(r.text8.err, "");
    // With records on standard output the same lines go to standard error.
    EXPECT_EQ(SourcePortsMasked(r.json1.err), history);
    EXPECT_EQ(SourcePortsMasked(r.json8.err), history);
    EXPECT_EQ(SourcePortsMasked(r.prom8.out), history);

    // The records: one object a line, the same in both but for what the
    // kernel and the clock choose, the summary last.
    const std::vector<nlohmann::json> json1 = JsonLines(r.json1.out), json8 = JsonLines(r.json8.out);
    ASSERT_EQ(json8.size(), json1.size());
    static const std::regex rfc3339ms(
        R"(20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3}Z)");
    for (size_t i = 0; i < json1.size(); ++i)
    {
        EXPECT_EQ(Steady(json8[i]), Steady(json1[i])) << i;
        // One id for the lines of a run, another for each run; a time of its own on each line.
        EXPECT_EQ(json1[i]["run_id"], json1[0]["run_id"]);
        EXPECT_EQ(json8[i]["run_id"], json8[0]["run_id"]);
        EXPECT_TRUE(std::regex_match(json1[i]["time"].get<std::string>(), rfc3339ms)) << json1[i]["time"];
    }
    EXPECT_NE(json1[0]["run_id"], json8[0]["run_id"]);
    // One target object for each target the history attempted, in its order;
    // each press after its own targets with the labels tested and skipped.
    std::vector<std::string> recorded;
    size_t object = 0, skippedCount = 0;
    int failedCount = 0;
    for (const int id : kTableOrder)
    {
        const ProcessorEntry& entry = *FindProcessorEntry(id);
        std::vector<std::string> tested, skipped;
        for (; object < json1.size() && json1[object]["type"] == "target"; ++object)
        {
            EXPECT_EQ(json1[object]["button_id"], id);
            tested.push_back(json1[object]["label"]);
            failedCount += json1[object]["passed"] ? 0 : 1;
        }
        ASSERT_LT(object, json1.size());
        const nlohmann::json& press = json1[object++];
        EXPECT_EQ(press["type"], "press");
        EXPECT_EQ(press["button_id"], id);
        EXPECT_EQ(press["tested"], tested) << id;
        for (int n = 0; n < entry.targetCount; ++n)
            if (std::find(tested.begin(), tested.end(), entry.targets[n].label) == tested.end())
                skipped.push_back(entry.targets[n].label);
        EXPECT_EQ(press["skipped"], skipped) << id;
        skippedCount += skipped.size();
        recorded.insert(recorded.end(), tested.begin(), tested.end());
    }
    EXPECT_EQ(recorded, expected);
    ASSERT_EQ(object + 1, json1.size());
    const nlohmann::json& totals = json1.back();
    EXPECT_EQ(totals["type"], "summary");
    EXPECT_EQ(totals["presses"], 33);
    EXPECT_EQ(totals["presses_failed"], 30);
    EXPECT_EQ(totals["targets"], expected.size());
    EXPECT_EQ(totals["targets_failed"], failedCount);
    EXPECT_EQ(totals["targets_skipped"], skippedCount);
    EXPECT_EQ(totals["exit_status"], 1);
    EXPECT_EQ(totals["jobs"], 1);
    EXPECT_EQ(json8.back()["jobs"], 8);

    // The file of the same run: a series for each target tested and each press.
    const auto samples = ParsePrometheus(r.promFile);
    EXPECT_EQ(samples.count("kestavane_target_up"), expected.size());
    EXPECT_EQ(samples.count("kestavane_press_up"), 33u);
    EXPECT_EQ(samples.count("kestavane_last_run_timestamp_seconds"), 1u);
}
} // namespace
