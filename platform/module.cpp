#include "module.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The installed module folder relative to the program's folder, from the build.
#ifndef KV_MODULE_DIR
#error "KV_MODULE_DIR must name the module folder relative to the program's folder"
#endif

namespace
{
std::mutex g_dirMutex;
std::string g_dllDirectory;
std::atomic<bool> g_defaultSearch{true};
std::atomic<long> g_liveReferences{0};

bool IsFile(const std::string& path)
{
    struct stat st
    {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
} // namespace

std::string platform::ModuleFileName(const std::string& windowsName)
{
    std::string base = windowsName;
    const auto slash = base.find_last_of("/\\");
    if (slash != std::string::npos)
        base.erase(0, slash + 1);
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::tolower(c); });
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0)
        base.erase(base.size() - 4);
    if (base.rfind("lib", 0) != 0)
        base.insert(0, "lib");
    return base + ".so";
}

std::string platform::ExecutableDirectory()
{
    std::vector<char> path(4096);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return ".";
    std::string exe(path.data(), static_cast<size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

void platform::SetDefaultModuleSearch(bool enabled) { g_defaultSearch.store(enabled); }

long platform::LiveModuleReferences() { return g_liveReferences.load(); }

BOOL SetDllDirectoryA(const char* pathName)
{
    std::lock_guard<std::mutex> lock(g_dirMutex);
    g_dllDirectory = pathName ? pathName : "";
    return TRUE;
}

HMODULE LoadLibraryA(const char* fileName)
{
    if (fileName == nullptr || *fileName == '\0')
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string file = platform::ModuleFileName(fileName);

    std::vector<std::string> candidates;
    {
        std::lock_guard<std::mutex> lock(g_dirMutex);
        if (!g_dllDirectory.empty())
            candidates.push_back(g_dllDirectory + "/" + file);
    }
    const bool defaults = g_defaultSearch.load();
    if (defaults)
    {
        const std::string exeDir = platform::ExecutableDirectory();
        candidates.push_back(exeDir + "/" + file);
        candidates.push_back(exeDir + "/" KV_MODULE_DIR "/" + file);
    }

    for (const auto& path : candidates)
    {
        if (!IsFile(path))
            continue;
        if (void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
        {
            ++g_liveReferences;
            return handle;
        }
        // The file is there but is no loadable module.
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    if (defaults)
        if (void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL))
        {
            ++g_liveReferences;
            return handle;
        }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* procName)
{
    if (module == nullptr || procName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ::dlerror();
    void* symbol = ::dlsym(module, procName);
    if (symbol == nullptr)
    {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module)
{
    if (module == nullptr || ::dlclose(module) != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    --g_liveReferences;
    return TRUE;
}
