// This PC's resolver files as a test describes them, read instead of the
// system's while the returned handle lives; and a resolver that finds no
// answer, as when no name server responds.
#pragma once

#include "causes.h"
#include "temp_folder.h"
#include "test_pki.h"
#include "ws2.h"

#include <filesystem>
#include <memory>
#include <string>

namespace testing_support
{
inline std::shared_ptr<void> DnsConfig(const std::string& resolvConf, const std::string& resolvedConf)
{
    auto folder = std::make_shared<TempFolder>();
    std::filesystem::create_directories(folder->path / "etc");
    WriteFile(folder->path / "etc/resolv.conf", resolvConf);
    if (!resolvedConf.empty())
    {
        std::filesystem::create_directories(folder->path / "run/systemd/resolve");
        WriteFile(folder->path / "run/systemd/resolve/resolv.conf", resolvedConf);
    }
    SetDnsConfigRoot(folder->path);
    return std::shared_ptr<void>(folder.get(), [folder](void*) { SetDnsConfigRoot(""); });
}

// Until the next resolver is set (a FakeResolver puts none back when it goes).
inline void NoDnsAnswer()
{
    ws2::SetListResolver([](const std::string&) { return ws2::Lookup{{}, ws2::WSATRY_AGAIN}; });
}
} // namespace testing_support
