// Which proxy this PC is set up to use for a host: the desktop's settings
// and the environment through libproxy, which is loaded only when a finder
// is made (most runs never ask, and start without it), then /etc/environment
// for what a login session would have had. What the testers connect through
// is the route (proxy.h); this only finds what is configured.
#pragma once

#include "proxy_route.h"

#include <functional>
#include <memory>
#include <string>

struct ProxyFinding
{
    // The proxy as configured, without credentials ("http://proxy:3128",
    // "socks5://proxy:1080"); empty when the host is reached directly.
    std::string shown;
    // Where it was found: "the environment (https_proxy)",
    // "/etc/environment (https_proxy)", "the desktop's settings".
    std::string source;
    // The proxy to connect through; false when none, or when it is not an
    // HTTP proxy (usable then says why).
    bool usable = false;
    ProxyUrl url;
    std::string unusable;
};

// Where a finder looks; tests give their own.
struct ProxySources
{
    // The process's environment variables.
    std::function<const char*(const char*)> getenv = [](const char* name) { return std::getenv(name); };
    std::string etcEnvironment = "/etc/environment";
    // Ask libproxy (the desktop's settings, PAC files, the environment).
    bool desktop = true;
    // libproxy's file name.
    std::string library = "libproxy.so.1";
};

class CLibProxy;

class CProxyFinder
{
public:
    explicit CProxyFinder(ProxySources sources = {});
    ~CProxyFinder();
    CProxyFinder(const CProxyFinder&) = delete;
    CProxyFinder& operator=(const CProxyFinder&) = delete;

    // The proxy for a TLS or plain connection to host and port.
    ProxyFinding For(const std::string& host, int port);
    // False when libproxy could not be loaded: the desktop's settings are not read.
    bool ReadsDesktop() const;

private:
    ProxySources m_sources;
    std::unique_ptr<CLibProxy> m_pLibProxy;
};

// Whether a no_proxy list ("localhost,.example.com,10.0.0.1", "*") names the host.
bool NoProxyMatches(const std::string& list, const std::string& host);
