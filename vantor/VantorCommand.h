#pragma once
// The one command of vantor: "restart", optionally in the form of a "vantor:" link, ends every
// running browser process so that the shell starts the browser again.
#include <windows.h>

namespace vantor {

// Runs the command text as the program received it; returns the program's exit code (0 or -1).
int HandleCommand(const wchar_t* commandText);

// Ends the process when its executable is the browser's.
void TerminateIfBrowser(const wchar_t* baseName, HANDLE process);

}  // namespace vantor
