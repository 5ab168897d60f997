#pragma once
// What the test bed's stand-ins and programs share: the one-line call log named by an
// environment variable, and files beside the running program.
#include <windows.h>

#include <string>

namespace standin {

// Appends line and a line end to the file named by the environment variable (nothing when
// it is unset); opened and closed per line, so that several processes can share the log.
inline void AppendToLog(const char* variable, const std::string& line)
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(variable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
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
