// --via-proxy on the command line: which targets go through which proxy.
#pragma once

#include "catalogue.h"
#include "proxy_route.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

class CProxyFinder;

struct ProxyOption
{
    bool given = false;
    std::string value = "auto"; // "auto", "none" or a proxy's URL
};

// Takes --via-proxy [URL|auto|none] (or --via-proxy=VALUE) out of args
// wherever it stands. The word after it is its value when it is auto, none,
// a URL ("://") or HOST:PORT; otherwise --via-proxy alone means auto.
std::string TakeProxyOption(const std::vector<std::string>& args, ProxyOption* option,
                            std::vector<std::string>* rest);

using TargetList = std::vector<std::pair<std::string, int>>;
TargetList TargetsOf(const std::vector<const ProcessorEntry*>& entries);

// The route of these targets: every one through the URL given, or with
// auto each through the proxy this PC is set up to use for it (finder).
// Null with none, and with a problem: a faulty URL, or auto where no
// target has an HTTP proxy.
std::unique_ptr<CProxyRoute> MakeRoute(const ProxyOption& option, const TargetList& targets,
                                       CProxyFinder& finder, std::string* problem);
