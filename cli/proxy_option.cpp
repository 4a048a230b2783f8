#include "proxy_option.h"

#include "proxy_settings.h"

#include <algorithm>
#include <cctype>

namespace
{
bool LooksLikeValue(const std::string& word)
{
    if (word == "auto" || word == "none" || word.find("://") != std::string::npos)
        return true;
    const auto colon = word.rfind(':');
    return colon != std::string::npos && colon > 0 && colon + 1 < word.size() &&
           word.find_first_of("/ \t") == std::string::npos &&
           std::all_of(word.begin() + static_cast<long>(colon) + 1, word.end(),
                       [](unsigned char c) { return std::isdigit(c); });
}
} // namespace

std::string TakeProxyOption(const std::vector<std::string>& args, ProxyOption* option,
                            std::vector<std::string>* rest)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (arg == "--via-proxy")
        {
            option->given = true;
            option->value = i + 1 < args.size() && LooksLikeValue(args[i + 1]) ? args[++i] : "auto";
        }
        else if (arg.rfind("--via-proxy=", 0) == 0)
        {
            option->given = true;
            option->value = arg.substr(12);
            if (option->value.empty())
                return "--via-proxy= needs a proxy's URL, auto or none";
        }
        else
            rest->push_back(arg);
    }
    return std::string();
}

TargetList TargetsOf(const std::vector<const ProcessorEntry*>& entries)
{
    TargetList targets;
    for (const ProcessorEntry* entry : entries)
        for (int n = 0; n < entry->targetCount; ++n)
            targets.emplace_back(entry->targets[n].host, entry->targets[n].port);
    return targets;
}

std::unique_ptr<CProxyRoute> MakeRoute(const ProxyOption& option, const TargetList& targets,
                                       CProxyFinder& finder, std::string* problem)
{
    if (option.value == "none")
        return nullptr;
    if (option.value != "auto")
    {
        ProxyUrl url;
        if (!ParseProxyUrl(option.value, &url, problem))
            return nullptr;
        return std::make_unique<CProxyRoute>(url);
    }
    auto route = std::make_unique<CProxyRoute>();
    std::string unusable;
    for (const auto& [host, port] : targets)
    {
        const ProxyFinding found = finder.For(host, port);
        if (found.usable)
            route->Add(host, port, found.url);
        else if (!found.shown.empty())
            unusable = found.shown + " from " + found.source + ": " + found.unusable;
    }
    if (route->Empty())
    {
        *problem = unusable.empty() ? "--via-proxy auto: no proxy is configured for these targets"
                                    : "--via-proxy auto: " + unusable;
        return nullptr;
    }
    return route;
}
