#include "proxy_settings.h"

#include <proxy.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>

// libproxy, bound for the life of one finder: loaded and its factory made
// when built, both released when it goes, in reverse order.
class CLibProxy
{
public:
    explicit CLibProxy(const std::string& file)
    {
        m_hLibrary = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_hLibrary == nullptr)
            return;
        m_pNew = reinterpret_cast<decltype(m_pNew)>(::dlsym(m_hLibrary, "px_proxy_factory_new"));
        m_pGet = reinterpret_cast<decltype(m_pGet)>(::dlsym(m_hLibrary, "px_proxy_factory_get_proxies"));
        m_pFreeList =
            reinterpret_cast<decltype(m_pFreeList)>(::dlsym(m_hLibrary, "px_proxy_factory_free_proxies"));
        m_pFree = reinterpret_cast<decltype(m_pFree)>(::dlsym(m_hLibrary, "px_proxy_factory_free"));
        if (m_pNew && m_pGet && m_pFreeList && m_pFree)
            m_pFactory = m_pNew();
    }
    ~CLibProxy()
    {
        if (m_pFactory != nullptr)
            m_pFree(m_pFactory);
        if (m_hLibrary != nullptr)
            ::dlclose(m_hLibrary);
    }
    CLibProxy(const CLibProxy&) = delete;
    CLibProxy& operator=(const CLibProxy&) = delete;

    bool Ready() const { return m_pFactory != nullptr; }

    // The first proxy libproxy names for the URL: "direct://" for none.
    std::string ProxyFor(const std::string& url)
    {
        char** proxies = m_pGet(m_pFactory, url.c_str());
        const std::string first = proxies != nullptr && proxies[0] != nullptr ? proxies[0] : "direct://";
        if (proxies != nullptr)
            m_pFreeList(proxies);
        return first;
    }

private:
    void* m_hLibrary = nullptr;
    decltype(&px_proxy_factory_new) m_pNew = nullptr;
    decltype(&px_proxy_factory_get_proxies) m_pGet = nullptr;
    decltype(&px_proxy_factory_free_proxies) m_pFreeList = nullptr;
    decltype(&px_proxy_factory_free) m_pFree = nullptr;
    pxProxyFactory* m_pFactory = nullptr;
};

namespace
{
// What a connection to any port is asked as: curl's order for an https URL,
// with http_proxy last, as libproxy falls back to it.
const char* const kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "http_proxy"};

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// /etc/environment: KEY=VALUE lines, a value perhaps quoted, "export " perhaps before.
std::map<std::string, std::string> ReadEnvironmentFile(const std::string& path)
{
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
    {
        line = Trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.rfind("export ", 0) == 0)
            line = Trimmed(line.substr(7));
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            continue;
        std::string value = Trimmed(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

// The URL without user and password, for showing.
std::string WithoutCredentials(const std::string& url)
{
    const auto scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const auto at = url.find('@', hostStart);
    const auto slash = url.find('/', hostStart);
    if (at == std::string::npos || (slash != std::string::npos && slash < at))
        return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

ProxyFinding Found(const std::string& url, const std::string& source)
{
    ProxyFinding finding;
    finding.source = source;
    std::string problem;
    finding.usable = ParseProxyUrl(url, &finding.url, &problem);
    finding.shown = finding.usable ? finding.url.Text() : WithoutCredentials(url);
    if (!finding.usable)
        finding.unusable = problem;
    return finding;
}

// The first proxy variable that is set, by the lookup given; the variable's name into name.
std::string FirstProxy(const std::function<std::string(const char*)>& value, std::string* name)
{
    for (const char* variable : kProxyVariables)
        if (const std::string v = value(variable); !v.empty())
        {
            *name = variable;
            return v;
        }
    return std::string();
}

bool SameProxy(const std::string& a, const std::string& b)
{
    ProxyUrl x, y;
    std::string problem;
    if (ParseProxyUrl(a, &x, &problem) && ParseProxyUrl(b, &y, &problem))
        return x.Text() == y.Text();
    return WithoutCredentials(a) == WithoutCredentials(b);
}
} // namespace

bool NoProxyMatches(const std::string& list, const std::string& host)
{
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    size_t start = 0;
    while (start <= list.size())
    {
        const auto comma = list.find(',', start);
        std::string entry =
            Trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        std::transform(entry.begin(), entry.end(), entry.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (entry == "*")
            return true;
        if (!entry.empty() && entry[0] == '*')
            entry.erase(0, 1);
        if (!entry.empty() && entry[0] == '.')
            entry.erase(0, 1);
        if (entry.empty())
            continue;
        if (name == entry || (name.size() > entry.size() &&
                              name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
                              name[name.size() - entry.size() - 1] == '.'))
            return true;
    }
    return false;
}

CProxyFinder::CProxyFinder(ProxySources sources) : m_sources(std::move(sources))
{
    if (m_sources.desktop)
    {
        m_pLibProxy = std::make_unique<CLibProxy>(m_sources.library);
        if (!m_pLibProxy->Ready())
            m_pLibProxy.reset();
    }
}

CProxyFinder::~CProxyFinder() = default;

bool CProxyFinder::ReadsDesktop() const { return m_pLibProxy != nullptr; }

ProxyFinding CProxyFinder::For(const std::string& host, int port)
{
    auto fromProcess = [&](const char* name) -> std::string {
        const char* v = m_sources.getenv(name);
        return v != nullptr ? v : "";
    };
    std::string variable;
    const std::string inProcess = FirstProxy(fromProcess, &variable);

    if (m_pLibProxy)
    {
        const std::string answer =
            m_pLibProxy->ProxyFor("https://" + host + ":" + std::to_string(port) + "/");
        if (answer.rfind("direct://", 0) != 0)
            return Found(answer, !inProcess.empty() && SameProxy(answer, inProcess)
                                     ? "the environment (" + variable + ")"
                                     : "the desktop's settings");
    }
    else if (!inProcess.empty())
    {
        std::string noProxy = fromProcess("no_proxy");
        if (noProxy.empty())
            noProxy = fromProcess("NO_PROXY");
        if (NoProxyMatches(noProxy, host))
            return ProxyFinding();
        return Found(inProcess, "the environment (" + variable + ")");
    }
    // A proxy set in this process's environment has had its say; the file
    // counts for a process started without a login session's environment.
    if (!inProcess.empty())
        return ProxyFinding();

    const auto file = ReadEnvironmentFile(m_sources.etcEnvironment);
    auto fromFile = [&](const char* name) -> std::string {
        const auto it = file.find(name);
        return it != file.end() ? it->second : "";
    };
    const std::string inFile = FirstProxy(fromFile, &variable);
    if (inFile.empty())
        return ProxyFinding();
    std::string noProxy = fromFile("no_proxy");
    if (noProxy.empty())
        noProxy = fromFile("NO_PROXY");
    if (NoProxyMatches(noProxy, host))
        return ProxyFinding();
    return Found(inFile, m_sources.etcEnvironment + " (" + variable + ")");
}
