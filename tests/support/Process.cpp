#include "Process.h"

#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

std::wstring BesideTestProgram(const std::wstring& fileName)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + fileName;
}

std::wstring SystemProgram(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

std::wstring InstallFolder()
{
    wchar_t folder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder);
    return std::wstring(folder) + L"\\Tessam\\Orvane";
}

std::string FileBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ProcessResult RunBeside(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    return RunProgram(BesideTestProgram(program), arguments, timeoutMs);
}

ProcessResult RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    tsmb::UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &sa, 0)) {
        readEnd.Release();  // what a failed call leaves in the slots is no handle of ours
        writeEnd.Release();
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    std::wstring command = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.Get();
    si.hStdError = writeEnd.Get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &si, &pi);
    const tsmb::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // Only the program's copy of the write end may keep the pipe open, or the reads never end.
    writeEnd.Close();
    if (!started)
        throw std::runtime_error("CreateProcess failed");
    ProcessResult result;
    char buffer[4096];
    DWORD read = 0;
    // The pipe closes when the program ends, so reading to the end is bounded by its life.
    while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        result.output.append(buffer, read);
    if (WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

ChildProcess::ChildProcess(const std::wstring& program, const std::wstring& commandLine, const wchar_t* environment)
{
    std::wstring command = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), &command[0], nullptr, nullptr, FALSE,
                        environment ? CREATE_UNICODE_ENVIRONMENT : 0, const_cast<wchar_t*>(environment), nullptr,
                        &si, &info))
        throw std::runtime_error("CreateProcess failed");
    m_process = tsmb::UniqueHandle(info.hProcess);
    m_thread = tsmb::UniqueHandle(info.hThread);
    m_id = info.dwProcessId;
}

ChildProcess::~ChildProcess()
{
    if (IsRunning()) {
        TerminateProcess(m_process.Get(), 1);
        WaitForExit(5000);
    }
}

bool ChildProcess::WaitForExit(DWORD timeoutMs) const
{
    return WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process.Get(), &code);
    return code;
}

bool ChildProcess::WaitUntilIdle(DWORD timeoutMs) const
{
    return WaitForInputIdle(m_process.Get(), timeoutMs) == 0;
}

namespace {

struct WindowSearch {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD pid = 0;
    wchar_t name[256] = {};
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && GetClassNameW(window, name, 256) && wcscmp(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND ChildProcess::WaitForWindow(const wchar_t* className, DWORD timeoutMs) const
{
    WindowSearch search = {m_id, className, nullptr};
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount64() >= deadline || WaitForExit(20))
            return search.found;
    }
}

DWORD OpenHandles(HANDLE process)
{
    DWORD handles = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        // Closed before the next probe, which would otherwise count it.
        tsmb::UniqueHandle copy;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), copy.Put(), 0, FALSE,
                            DUPLICATE_SAME_ACCESS))
            ++handles;
    }
    return handles;
}

}  // namespace testsupport
