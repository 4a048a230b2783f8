// An HTTP proxy that the testers reach a host through, with CONNECT: its
// URL, the route that says which targets go through which proxy, and the
// two texts of the exchange (the request, and what the answer's status
// means).
#pragma once

#include "test_record.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

struct ProxyUrl
{
    std::string host; // a name, a dotted address or an IPv6 address without brackets
    int port = 0;
    std::string user; // empty: no Proxy-Authorization
    std::string password;

    // "http://host:port", never with the credentials: what histories and records show.
    std::string Text() const;
};

// Takes "http://[user[:password]@]host[:port][/]" (user and password
// percent-encoded as in any URL; port 80 when none is given) or
// "host:port". False with one sentence naming the fault: another scheme
// (https, socks5, ...), no host, a port outside 1-65535, a path.
bool ParseProxyUrl(const std::string& text, ProxyUrl* url, std::string* problem);

// Which targets go through which proxy, fixed before the presses start, so
// any number of presses may read it at once.
class CProxyRoute
{
public:
    CProxyRoute() = default;
    // Every target through this proxy.
    explicit CProxyRoute(ProxyUrl every) : m_every(std::move(every)) {}

    // This target through this proxy (its host and port as the catalogue gives them).
    void Add(const std::string& host, int port, ProxyUrl url) { m_targets[{host, port}] = std::move(url); }
    // The proxy of a target; null: connect directly.
    const ProxyUrl* For(const std::string& host, int port) const;
    bool Empty() const { return !m_every && m_targets.empty(); }

private:
    std::optional<ProxyUrl> m_every;
    std::map<std::pair<std::string, int>, ProxyUrl> m_targets;
};

// The CONNECT request for host and port, with Basic credentials when the URL has them.
std::string ConnectRequest(const ProxyUrl& proxy, const std::string& host, int port);

// What a proxy's answer to CONNECT means, by its status line ("HTTP/1.1 200
// Connection established"): Cause::None for a tunnel (2xx), else why not.
Cause ConnectAnswerCause(const std::string& statusLine);

// The status line as the history shows it: printable ASCII only, at most 160 characters.
std::string PrintableStatus(const std::string& statusLine);
