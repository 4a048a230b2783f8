// A fresh folder under /tmp for one test, removed with everything in it when
// the test is done.
#pragma once

#include <cstdlib>
#include <filesystem>

namespace testing_support
{
struct TempFolder
{
    std::filesystem::path path;
    TempFolder()
    {
        char name[] = "/tmp/kvtestXXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() { std::filesystem::remove_all(path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};
} // namespace testing_support
