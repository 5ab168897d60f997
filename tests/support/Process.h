#pragma once
// Runs programs that lie beside the test program, as a person or a script would.
#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace testsupport {

// Full path of a file in the test program's folder.
std::wstring BesideTestProgram(const std::wstring& fileName);
// Full path of a program in the system folder.
std::wstring SystemProgram(const wchar_t* name);
// The package's folder under the Program Files folder of this program's bitness.
std::wstring InstallFolder();
// A file's bytes (empty when it cannot be read).
std::string FileBytes(const std::wstring& path);

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error together
};

// Runs "<program beside the test> <arguments>" and waits for it (at most timeoutMs).
ProcessResult RunBeside(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 30000);
// The same for a program given by its full path.
ProcessResult RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs = 30000);

// The handles open in a process (the current one too): those DuplicateHandle can take from
// it. Wine's GetProcessHandleCount answers 0, so this probes the handle values instead.
DWORD OpenHandles(HANDLE process);

// A program the test starts and owns: ended (if still running) and closed when dropped.
class ChildProcess {
public:
    // commandLine is passed to CreateProcessW exactly as given (program name included); an
    // empty program lets the system find it from the command line.
    ChildProcess(const std::wstring& program, const std::wstring& commandLine, const wchar_t* environment = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    HANDLE Handle() const { return m_process.Get(); }
    DWORD Id() const { return m_id; }
    // True when the program ended within timeoutMs.
    bool WaitForExit(DWORD timeoutMs) const;
    bool IsRunning() const { return !WaitForExit(0); }
    DWORD ExitCode() const;
    // For GUI programs: returns once the program waits for input (false on timeout).
    bool WaitUntilIdle(DWORD timeoutMs) const;
    // The program's first top-level window of that class, once it exists (nullptr on timeout).
    HWND WaitForWindow(const wchar_t* className, DWORD timeoutMs) const;

private:
    tsmb::UniqueHandle m_process;
    tsmb::UniqueHandle m_thread;
    DWORD m_id = 0;
};

}  // namespace testsupport
