// Name lookups for tests that never leave this machine: a few test names map
// to loopback addresses, dotted addresses yield themselves, anything else is
// unknown. Every name asked for is recorded.
#pragma once

#include "ws2.h"

#include <arpa/inet.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

class FakeResolver
{
public:
    FakeResolver()
    {
        m_names = std::make_shared<std::vector<std::string>>();
        auto names = m_names;
        auto table = m_table = std::make_shared<std::map<std::string, std::string>>();
        (*table)["gw.test"] = "127.0.0.1";
        (*table)["localhost"] = "127.0.0.1";
        ws2::SetResolver([names, table](const std::string& name) -> std::optional<in_addr> {
            names->push_back(name);
            in_addr address{};
            auto it = table->find(name);
            const std::string text = it != table->end() ? it->second : name;
            if (::inet_pton(AF_INET, text.c_str(), &address) == 1)
                return address;
            return std::nullopt;
        });
    }
    ~FakeResolver() { ws2::SetResolver(nullptr); }
    FakeResolver(const FakeResolver&) = delete;
    FakeResolver& operator=(const FakeResolver&) = delete;

    void Add(const std::string& name, const std::string& address) { (*m_table)[name] = address; }
    const std::vector<std::string>& Asked() const { return *m_names; }

private:
    std::shared_ptr<std::vector<std::string>> m_names;
    std::shared_ptr<std::map<std::string, std::string>> m_table;
};
