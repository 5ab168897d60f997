#pragma once
// What the test bed's stand-ins and programs share: the one-line call log named by an
// environment variable, and files beside the running program.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "StandInLog.h"

namespace standin {

// Appends line and a line end to the file named by the environment variable (nothing when
// it is unset); opened and closed per line, so that several processes can share the log.
inline void AppendToLog(const char* variable, const std::string& line)
{
    const std::string text = line + "\n";
    StandInAppendToLog(variable, text.data(), static_cast<DWORD>(text.size()));
}

// Keeps this DLL loaded until the process ends. The platform loads and frees a card provider
// as it likes, and a 32-bit DLL that carries the C++ runtime leaves handles behind at every
// unload; a stand-in must not show up in the handle counts of the programs under test.
inline void PinThisModule(HINSTANCE instance)
{
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(instance), &pinned);
}

// Waits as many milliseconds as the environment variable says (read at every call; nothing
// when it is unset or 0): a stand-in that answers like the real thing, where every call may be
// a round trip to a card.
inline void DelayAsConfigured(const char* variable)
{
    char text[16];
    const DWORD length = GetEnvironmentVariableA(variable, text, sizeof(text));
    if (length == 0 || length >= sizeof(text))
        return;
    const unsigned long milliseconds = strtoul(text, nullptr, 10);
    if (milliseconds > 0)
        Sleep(static_cast<DWORD>(milliseconds));
}

// The full path of a file in the running program's folder.
inline std::wstring BesideThisProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring program(path);
    return program.substr(0, program.rfind(L'\\') + 1) + name;
}

}  // namespace standin
