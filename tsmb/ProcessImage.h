#pragma once
// The image name of another process, by which the shell and vantor recognise the browser, and
// the one walk over the running processes that both make.
#include <windows.h>

#include <functional>
#include <string>

#include "NameCompare.h"

namespace tsmb {

// The base name of the process's first module (its executable). Where the module list cannot
// be read (a 64-bit process seen from a 32-bit one), the base name of its image path instead.
// The handle needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ. False when neither works.
bool GetProcessBaseName(HANDLE process, std::wstring& baseName);

// Called for each process whose base name could be read; the handle is open for the call only.
using ProcessAction = std::function<void(const wchar_t* baseName, HANDLE process)>;

// Calls action for every process of one snapshot (EnumProcesses) that can be opened with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ plus extraAccess (not inheritable) and whose
// base name can be read; processes that cannot are skipped. False only when the snapshot
// could not be taken.
bool ForEachProcessBaseName(DWORD extraAccess, const ProcessAction& action);

// Whether a base name is the browser's, letter case aside.
inline bool IsBrowserImage(const wchar_t* baseName) { return EqualsIgnoringCase(baseName, L"iexplore.exe"); }

}  // namespace tsmb
