#pragma once
// The one command of vantor: "restart", optionally in the form of a "vantor:" link, ends every
// running browser process so that the shell starts the browser again.
#include <windows.h>

#include <functional>

namespace vantor {

// Called for each process whose executable name could be read; the handle stays open for the
// duration of the call only.
using ProcessAction = std::function<void(const wchar_t* baseName, HANDLE process)>;

// Runs the command text as the program received it; returns the program's exit code (0 or -1).
int HandleCommand(const wchar_t* commandText);

// Calls action for every process whose first module name can be read, opened with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ plus extraAccess. False only when the process
// snapshot could not be taken.
bool ForEachProcessModuleName(DWORD extraAccess, const ProcessAction& action);

// Ends the process when its executable is the browser's.
void TerminateIfBrowser(const wchar_t* baseName, HANDLE process);

}  // namespace vantor
