// Runs the shell with a card monitor whose worker cannot stop, then ends like Ambrel.exe:
// returning from main through the runtime's clean-up. Every trace line, also those written
// during that clean-up, is appended to the file named by the first argument.
#include <windows.h>
#include <winscard.h>

#include <string>

#include "AmbrelShell.h"
#include "ImportHook.h"
#include "StuckStatusWait.h"
#include "Trace.h"
#include "UniqueHandle.h"

using testsupport::ImportHook;

namespace {

// A plain array: it must outlive every object the runtime destroys at exit.
wchar_t g_logPath[MAX_PATH];
// Left in place on purpose, never released: the worker stays stuck to the end.
testsupport::StuckStatusWait* g_stuck = nullptr;

void WINAPI AppendTraceLine(LPCSTR text)
{
    const HANDLE opened = CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return;
    const tsmb::UniqueHandle file(opened);
    const std::string line = std::string(text) + "\n";
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// The browser "ends" at once, once the worker is stuck: the shell's run is short and it ends.
HINSTANCE WINAPI LaunchOnceTheWorkerIsStuck(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)
{
    g_stuck->WaitUntilBlocked(30000);
    return reinterpret_cast<HINSTANCE>(33);
}

BOOL WINAPI NoLogOff(UINT, DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    if (wcslen(argv[1]) >= MAX_PATH)
        return 2;
    wcscpy(g_logPath, argv[1]);
    // Left in place on purpose: the runtime's clean-up must be traced too.
    new ImportHook(nullptr, "OutputDebugStringA", &AppendTraceLine);
    g_stuck = new testsupport::StuckStatusWait();
    new ImportHook(nullptr, "ShellExecuteW", &LaunchOnceTheWorkerIsStuck);
    new ImportHook(nullptr, "ExitWindowsEx", &NoLogOff);
    EnableTracing();
    return ambrel::RunShell();
}
