#pragma once
// The image name of another process, by which the shell and vantor recognise the browser.
#include <windows.h>

#include <string>

namespace tsmb {

// The base name of the process's first module (its executable). Where the module list cannot
// be read (a 64-bit process seen from a 32-bit one), the base name of its image path instead.
// The handle needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ. False when neither works.
bool GetProcessBaseName(HANDLE process, std::wstring& baseName);

}  // namespace tsmb
