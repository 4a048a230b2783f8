#include "proxy_route.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace
{
constexpr int kHttpPort = 80;
constexpr size_t kStatusShown = 160;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// %XX escapes of a URL's user or password; false on a broken escape.
bool Unescaped(const std::string& text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '%')
        {
            *out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        *out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string HostForUrl(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string Base64(const std::string& bytes)
{
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), n > 0 ? static_cast<size_t>(n) : 0);
}
} // namespace

std::string ProxyUrl::Text() const { return "http://" + HostForUrl(host) + ":" + std::to_string(port); }

bool ParseProxyUrl(const std::string& text, ProxyUrl* url, std::string* problem)
{
    *url = ProxyUrl();
    std::string rest = text;
    const auto scheme = rest.find("://");
    if (scheme != std::string::npos)
    {
        const std::string name = Lower(rest.substr(0, scheme));
        if (name != "http")
        {
            *problem = "proxy '" + text + "': only an HTTP proxy (http://) can be used, not " + name;
            return false;
        }
        rest.erase(0, scheme + 3);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find_first_of("/?#") != std::string::npos)
    {
        *problem = "proxy '" + text + "': a proxy's URL has no path";
        return false;
    }
    const auto at = rest.rfind('@');
    if (at != std::string::npos)
    {
        const std::string credentials = rest.substr(0, at);
        const auto colon = credentials.find(':');
        if (!Unescaped(credentials.substr(0, colon), &url->user) ||
            (colon != std::string::npos && !Unescaped(credentials.substr(colon + 1), &url->password)))
        {
            *problem = "proxy '" + text + "': a broken %-escape in the user name or password";
            return false;
        }
        rest.erase(0, at + 1);
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[')
    {
        const auto close = rest.find(']');
        if (close == std::string::npos || (close + 1 < rest.size() && rest[close + 1] != ':'))
        {
            *problem = "proxy '" + text + "': a broken [IPv6 address]";
            return false;
        }
        url->host = rest.substr(1, close - 1);
        port = close + 1 < rest.size() ? rest.substr(close + 2) : std::string("-");
    }
    else
    {
        const auto colon = rest.rfind(':');
        url->host = rest.substr(0, colon);
        port = colon != std::string::npos ? rest.substr(colon + 1) : std::string("-");
    }
    if (url->host.empty() || url->host.find_first_of(" \t\r\n") != std::string::npos)
    {
        *problem = "proxy '" + text + "': no host";
        return false;
    }
    if (port == "-")
        url->port = kHttpPort;
    else
    {
        url->port = AllDigits(port) && port.size() <= 5 ? std::stoi(port) : 0;
        if (url->port < 1 || url->port > 65535)
        {
            *problem = "proxy '" + text + "': the port is a number from 1 to 65535";
            return false;
        }
    }
    return true;
}

const ProxyUrl* CProxyRoute::For(const std::string& host, int port) const
{
    const auto it = m_targets.find({host, port});
    if (it != m_targets.end())
        return &it->second;
    return m_every ? &*m_every : nullptr;
}

std::string ConnectRequest(const ProxyUrl& proxy, const std::string& host, int port)
{
    const std::string authority = HostForUrl(host) + ":" + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy.user.empty())
        request += "Proxy-Authorization: Basic " + Base64(proxy.user + ":" + proxy.password) + "\r\n";
    return request + "\r\n";
}

Cause ConnectAnswerCause(const std::string& statusLine)
{
    // "HTTP/1.x NNN reason"
    if (statusLine.rfind("HTTP/", 0) != 0)
        return Cause::ProxyBadAnswer;
    const auto blank = statusLine.find(' ');
    const std::string code = blank == std::string::npos ? std::string() : statusLine.substr(blank + 1, 3);
    if (!AllDigits(code) || code.size() != 3 ||
        (blank + 4 < statusLine.size() && statusLine[blank + 4] != ' '))
        return Cause::ProxyBadAnswer;
    const int status = std::stoi(code);
    if (status >= 200 && status < 300)
        return Cause::None;
    // 401: what some proxies answer to credentials they refuse.
    if (status == 407 || status == 401)
        return Cause::ProxyAuthRequired;
    if (status >= 500)
        return Cause::ProxyTargetFailed;
    return status >= 400 ? Cause::ProxyRefused : Cause::ProxyBadAnswer;
}

std::string PrintableStatus(const std::string& statusLine)
{
    std::string shown;
    for (const char c : statusLine.substr(0, kStatusShown))
        shown += c >= 0x20 && c < 0x7F ? c : '?';
    return shown;
}
