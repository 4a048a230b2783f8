// The help desk's report over the whole catalogue, in a network namespace of
// the test's own: one button passes only through a real proxy (tinyproxy),
// one server's certificate names hold markup. The HTML is read back with
// Python's HTML parser: only the writer's own elements, the peer's names as
// text, the records for tools.
#include "report.h"
#include "support/cli_run.h"
#include "support/loopback.h"
#include "support/temp_folder.h"
#include "support/test_pki.h"
#include "support/tiny_proxy.h"
#include "support/tls_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>

using namespace testing_support;
using nlohmann::json;

namespace
{
const std::string kScript = "<script>alert(1)";
const std::string kImage = "\"><img src=x onerror=alert(2)>";
// "localhost" is this PC's name for loopback, which the proxy asks the
// system for; the tests' resolver does not know it, so directly it has no address.
const std::string kViaProxyOnly = "direct: name not found; through proxy http://127.0.0.1:3128: passes";

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Report, OnlyTheWritersMarkupAndEveryPressWithItsWayThroughTheProxy)
{
    TestPki& pki = TestPki::Get();
    Identity local = pki.Leaf({"/CN=localhost", {"DNS:localhost"}});
    // Markup in the names of the server's certificate (the records carry
    // them) and of its issuer (the history shows them).
    const std::string marked = "/O=" + kScript + "/OU=" + kImage;
    CertRecipe issuer{marked + "/CN=Issuer"};
    issuer.ca = true;
    Identity hostile = pki.LeafUnder(issuer, {marked + "/CN=127.0.0.1", {"IP:127.0.0.1"}});
    TempFolder folder;
    const std::string hosts = (folder.path / "hosts.conf").string();
    const std::string page = (folder.path / "report.html").string();
    std::ofstream(hosts) << "1001 localhost\n1003.1 127.0.0.1\n";

    Captured html, text;
    bool proxyReady = false;
    std::string why;
    const bool entered = InPrivateNetwork(
        [&] {
            TinyProxy proxy({{5003}, "", "", 3128});
            proxyReady = proxy.Ready();
            auto peer = [](const Identity& id, int port) {
                TlsPeerOptions o;
                o.cert = id.cert.get();
                o.key = id.key.get();
                o.chain = id.chain;
                o.connections = 2;
                o.listenAt = {"127.0.0.1", port};
                return std::make_unique<TlsPeer>(o);
            };
            auto viaProxy = peer(local, 5003);
            auto marked = peer(hostile, 443);
            CatalogueResolver resolver(std::map<std::string, std::string>{{"127.0.0.1", "127.0.0.1"}});
            html = Cli({"report", "--format", "html", "--hosts", hosts, "--via-proxy", proxy.Url(),
                        "--output", page});
            text = Cli({"report", "--hosts", hosts, "--via-proxy", proxy.Url()});
        },
        &why);
    if (!entered)
        GTEST_SKIP() << "no network namespace for the test: " << why;
    ASSERT_TRUE(proxyReady) << "tinyproxy did not start";
    EXPECT_EQ(html.status, 1) << html.err;
    EXPECT_EQ(html.out, "");
    EXPECT_EQ(text.status, 1) << text.err;

    // The text report: the peer's names as they came, the two ways side by side.
    for (const std::string& shown : {kScript, kImage, kViaProxyOnly, std::string("\nRECORDS (JSON Lines)\n")})
        EXPECT_NE(text.out.find(shown), std::string::npos) << shown;

    const Captured parsed =
        RunProgram({"/usr/bin/python3", KV_SOURCE_DIR "/tests/check_report_html.py", page});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    const json seen = json::parse(parsed.out);
    const std::set<std::string> writers = {"html", "head", "meta",    "title",   "style", "body",  "h1", "h2",
                                           "p",    "span", "table",   "thead",   "tbody", "tr",    "th", "td",
                                           "a",    "br",   "details", "summary", "pre",   "script"};
    int scripts = 0;
    for (const json& element : seen["elements"])
    {
        const std::string tag = element[0];
        EXPECT_TRUE(writers.count(tag)) << tag;
        scripts += tag == "script" ? 1 : 0;
        for (const json& attribute : element[1])
        {
            const std::string name = attribute[0], value = attribute[1];
            EXPECT_NE(name.rfind("on", 0), 0u) << tag << " " << name;
            EXPECT_NE(name, "src");
            if (name == "href")
            {
                EXPECT_EQ(value.rfind("#press-", 0), 0u) << value; // nothing outside the page
            }
        }
    }
    EXPECT_EQ(scripts, 1); // the records, as data
    const std::string raw = ReadAll(page);
    EXPECT_EQ(raw.find("url("), std::string::npos);
    EXPECT_EQ(raw.find("@import"), std::string::npos);
    const std::string reads = seen["text"];
    for (const std::string& shown : {kScript, kImage, kViaProxyOnly})
        EXPECT_NE(reads.find(shown), std::string::npos) << shown;

    // The records: the report's own line, then every target and press, the
    // presses made again through the proxy after the 33 made directly.
    const json& records = seen["records"];
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0]["type"], "report");
    int direct = 0, proxied = 0;
    bool passedThroughProxy = false, failedDirectly = false, subjectKept = false;
    for (const json& r : records)
    {
        if (r["type"] == "target" && r["tls"].is_object() && r["tls"]["certificate"].is_object())
            subjectKept = subjectKept || r["tls"]["certificate"]["subject"].get<std::string>().find(kImage) !=
                                             std::string::npos;
        if (r["type"] == "press")
            (r["path"] == "direct" ? direct : proxied) += 1;
        if (r["type"] == "target" && r["label"] == "VITAL TNS")
        {
            passedThroughProxy = passedThroughProxy || (r["path"] == "proxy" && r["passed"] == true);
            failedDirectly = failedDirectly || (r["path"] == "direct" && r["cause"] == "name_not_found");
        }
    }
    EXPECT_EQ(direct, 33);
    EXPECT_EQ(proxied, 33); // none passed directly
    EXPECT_TRUE(passedThroughProxy);
    EXPECT_TRUE(failedDirectly);
    EXPECT_TRUE(subjectKept);
}
// The exit status is that of run --all: a press made again through a proxy
// neither rescues nor sinks the direct one.
TEST(Report, OnlyTheDirectPressesCountForTheExitStatus)
{
    auto press = [](const char* path, bool passed) {
        ReportPress p;
        p.path = path;
        p.passed = passed;
        return p;
    };
    EXPECT_FALSE(AllDirectPassed({press("direct", false), press("proxy", true)}));
    EXPECT_TRUE(AllDirectPassed({press("direct", true), press("proxy", false)}));
}
} // namespace
