// Module loader with the Windows loader's names and last-error values.
//
// A Windows module name maps to a Linux module file: the base name in lower
// case without ".dll", with "lib" before and ".so" after ("Secur32.dll" is
// libsecur32.so). The file is looked for in the folder set by
// SetDllDirectoryA, then in the program's own module folders (beside the
// executable, then the installed module folder, lib/<multiarch>/kestavane
// under /usr, found relative to the executable), then through the system's
// usual search.
#pragma once

#include "windef.h"

#include <string>

typedef void (*FARPROC)();

HMODULE LoadLibraryA(const char* fileName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);
BOOL SetDllDirectoryA(const char* pathName);

namespace platform
{
// The Linux file name a Windows module name maps to.
std::string ModuleFileName(const std::string& windowsName);
// Folder of the running executable.
std::string ExecutableDirectory();
// Tests switch the program's own folders and the system search off, so that
// only the SetDllDirectoryA folder counts.
void SetDefaultModuleSearch(bool enabled);
// Module references loaded and not yet freed, over the whole process: tests
// read it to see that an owner gave back every reference it took.
long LiveModuleReferences();
} // namespace platform
