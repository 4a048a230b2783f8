// libFuzzer target for a site's hosts file: any bytes give the whole list or
// one printable problem line naming a line of the text, never a crash, and
// what is taken is sound: known roles, each once, valid names, set where the
// catalogue uses them and listed on its gateway page.
#include "catalogue.h"
#include "rtf_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

namespace
{
void Check(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "hosts list: %s\n", what);
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<HostLine> hosts;
    HostsProblem problem;
    if (!ParseHostsText(text, false, &hosts, &problem))
    {
        Check(hosts.empty(), "part of a faulty list taken");
        Check(problem.line >= 1 && problem.line <= std::count(text.begin(), text.end(), '\n') + 1,
              "problem on no line of the text");
        Check(!problem.text.empty() && std::all_of(problem.text.begin(), problem.text.end(),
                                                   [](char c) { return c >= 0x20 && c < 0x7f; }),
              "problem not one printable line");
        return 0;
    }
    const std::vector<std::string>& roles = CatalogueRoles();
    std::set<std::string> named;
    for (const HostLine& h : hosts)
    {
        Check(std::find(roles.begin(), roles.end(), h.role) != roles.end(), "unknown role taken");
        Check(named.insert(h.role).second, "role taken twice");
        Check(IsValidHostName(h.host), "invalid host name taken");
    }
    const CatalogueRef catalogue = CCatalogue::WithSiteHosts(hosts, "hosts.conf");
    for (const std::string& role : roles)
    {
        const auto set =
            std::find_if(hosts.begin(), hosts.end(), [&](const HostLine& h) { return h.role == role; });
        Check(catalogue->HostOf(role) ==
                  (set != hosts.end() ? set->host : CCatalogue::BuiltIn()->HostOf(role)),
              "role not on the host the list gives it");
    }
    Check(hosts.empty() ? catalogue->Label() == "built-in" : catalogue->Label().size() == 12, "label");
    const std::string page = RtfToHtml(GatewayPageRtf(*catalogue));
    for (const HostLine& h : hosts)
        Check(page.find(h.host) != std::string::npos, "host missing from the gateway page");
    return 0;
}
