// Stand-in for the kiosk browser: never shipped. It shows a top-level "IEFrame" window, appends
// one line per start and end to the log named by IEXPLORE_LOG, and ends after its lifetime
// or when its window is closed.
//
// Settings, each from the command line (anywhere, so a URL's query can carry it) or else from
// the environment:
//   iexplore-lifetime-ms=N   IEXPLORE_LIFETIME_MS   lifetime; absent: until closed or ended
//   iexplore-extra=N         IEXPLORE_EXTRA         further windowless processes of the same
//                                                   image, started at once
//   iexplore-extra-lifetime-ms=N  IEXPLORE_EXTRA_LIFETIME_MS  their lifetime (default: the
//                                                   main process's lifetime)
// Log lines: "start <pid> main|extra <command line after the program name>" and
// "end <pid> main|extra at <GetTickCount>".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const wchar_t kExtraMarker[] = L"iexplore-extra-process";
const DWORD kForever = INFINITE;

// The value of "name=N" in the command line, else of the environment variable, else fallback.
DWORD Setting(const std::wstring& commandLine, const wchar_t* name, const wchar_t* environmentName, DWORD fallback)
{
    const std::wstring key = std::wstring(name) + L"=";
    size_t at = commandLine.find(key);
    // "iexplore-extra=" must not match inside "iexplore-extra-lifetime-ms=".
    while (at != std::wstring::npos && at > 0 && commandLine[at - 1] == L'-')
        at = commandLine.find(key, at + 1);
    if (at != std::wstring::npos)
        return wcstoul(commandLine.c_str() + at + key.size(), nullptr, 10);
    wchar_t text[32];
    const DWORD length = GetEnvironmentVariableW(environmentName, text, ARRAYSIZE(text));
    if (length > 0 && length < ARRAYSIZE(text))
        return wcstoul(text, nullptr, 10);
    return fallback;
}

// The raw command line after the program name, blanks kept.
std::wstring ArgumentsAsGiven()
{
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        p = wcschr(p + 1, L'"');
        p = p ? p + 1 : L"";
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    return p;
}

void Log(const std::wstring& line)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"IEXPLORE_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    // One appending write per line keeps lines whole when several processes log at once.
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::wstring text = line + L"\n";
    char utf8[4096];
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8,
                                         sizeof(utf8), nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, utf8, size, &written, nullptr);
    CloseHandle(file);
}

void StartExtraProcess(DWORD lifetime)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = std::wstring(L"\"") + path + L"\" " + kExtraMarker;
    if (lifetime != kForever)
        command += L" iexplore-lifetime-ms=" + std::to_wstring(lifetime);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(path, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
    case WM_CLOSE:
        // The window goes with the process: without a window manager (Xvfb) Wine waits up to
        // 2 s in DestroyWindow for the X window to be withdrawn, which would stretch every
        // lifetime.
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    const std::wstring arguments = ArgumentsAsGiven();
    const bool extra = arguments.find(kExtraMarker) != std::wstring::npos;
    const DWORD lifetime = Setting(arguments, L"iexplore-lifetime-ms", L"IEXPLORE_LIFETIME_MS", kForever);
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    const wchar_t* role = extra ? L" extra" : L" main";
    Log(L"start " + pid + role + L" " + arguments);

    if (extra) {
        Sleep(lifetime);
    } else {
        const DWORD extraCount = Setting(arguments, L"iexplore-extra", L"IEXPLORE_EXTRA", 0);
        const DWORD extraLifetime =
            Setting(arguments, L"iexplore-extra-lifetime-ms", L"IEXPLORE_EXTRA_LIFETIME_MS", lifetime);
        for (DWORD i = 0; i < extraCount; ++i)
            StartExtraProcess(extraLifetime);

        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = FrameProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = L"IEFrame";
        RegisterClassExW(&wc);
        HWND frame = CreateWindowExW(0, L"IEFrame", L"Browser stand-in", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                     640, 480, nullptr, nullptr, instance, nullptr);
        if (frame && lifetime != kForever)
            SetTimer(frame, 1, lifetime, nullptr);
        MSG msg;
        while (frame && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    Log(L"end " + pid + role + L" at " + std::to_wstring(GetTickCount()));
    return 0;
}
