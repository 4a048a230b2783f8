#include "catalogue_list.h"

#include "cli.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <future>
#include <map>
#include <netdb.h>

namespace
{
std::string Joined(const std::vector<std::string>& items, const char* separator)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

// One CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// Every distinct host at once: a resolver that times out costs its wait
// once, not once per host.
std::map<std::string, std::vector<std::string>> ResolveEvery(const CCatalogue& catalogue)
{
    std::map<std::string, std::future<std::vector<std::string>>> pending;
    for (const ProcessorEntry& entry : catalogue.Entries())
        for (int n = 0; n < entry.targetCount; ++n)
            if (!pending.count(entry.targets[n].host))
                pending.emplace(entry.targets[n].host, std::async(std::launch::async, ResolveIPv4,
                                                                  std::string(entry.targets[n].host)));
    std::map<std::string, std::vector<std::string>> addresses;
    for (auto& [host, future] : pending)
        addresses[host] = future.get();
    return addresses;
}
} // namespace

std::vector<std::string> ResolveIPv4(const std::string& host)
{
    std::vector<std::string> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
        return addresses;
    for (const addrinfo* at = result; at != nullptr; at = at->ai_next)
    {
        char text[INET_ADDRSTRLEN];
        const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    ::freeaddrinfo(result);
    return addresses;
}

void WriteCatalogueList(const CCatalogue& catalogue, ListFormat format, bool resolve, FILE* out)
{
    const auto addresses =
        resolve ? ResolveEvery(catalogue) : std::map<std::string, std::vector<std::string>>();
    if (format == ListFormat::Csv)
        std::fprintf(out, "id,caption,label,role,host,port,tester%s\n", resolve ? ",addresses" : "");
    for (const ProcessorEntry& entry : catalogue.Entries())
        for (int n = 0; n < entry.targetCount; ++n)
        {
            const GatewayTarget& t = entry.targets[n];
            const std::vector<std::string>* found = resolve ? &addresses.at(t.host) : nullptr;
            std::string caption = entry.caption;
            std::string line;
            if (format == ListFormat::Text)
            {
                line = std::to_string(entry.id) + "\t" + EscapedCaption(entry.caption) + "\t" +
                       TesterKindName(entry.tester) + "\t" + SequenceKindName(entry.sequence) + "\t" +
                       std::to_string(n + 1) + "\t" + t.label + "\t" + t.host + "\t" +
                       std::to_string(t.port) + (found ? "\t" + Joined(*found, " ") : "");
            }
            else if (format == ListFormat::Json)
            {
                nlohmann::ordered_json object = {
                    {"id", entry.id},
                    {"caption", caption},
                    {"label", t.label},
                    {"role", t.role},
                    {"host", t.host},
                    {"port", t.port},
                    {"tester", entry.tester == TesterKind::Tls ? "tls" : "plain"}};
                if (found)
                    object["addresses"] = *found;
                line = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            }
            else
            {
                std::replace(caption.begin(), caption.end(), '\r', ' ');
                line = std::to_string(entry.id) + "," + CsvField(caption) + "," + CsvField(t.label) + "," +
                       CsvField(t.role) + "," + CsvField(t.host) + "," + std::to_string(t.port) + "," +
                       (entry.tester == TesterKind::Tls ? "tls" : "plain") +
                       (found ? "," + CsvField(Joined(*found, " ")) : "");
            }
            std::fprintf(out, "%s\n", line.c_str());
        }
}
