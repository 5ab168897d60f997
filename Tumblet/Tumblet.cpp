#include "Tumblet.h"

#include <cwchar>
#include <string>
#include <vector>

#include "EventLog.h"
#include "NameCompare.h"
#include "RegistryValue.h"
#include "UniqueHandle.h"

namespace tumblet {

namespace {

const int kNameChars = 100;
const COLORREF kBackground = RGB(201, 205, 213);
const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kShellMappingKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\system.ini\\boot";

// Everything the window procedure obtains once; single-threaded, so no lock.
struct WindowState {
    bool initialized = false;
    UINT logOffMessage = 0;
    UINT lockMessage = 0;
    HANDLE unlockCycleEvent = nullptr;
    bool lockedRegistered = false;
    UINT workStationLockedMessage = 0;
    bool lockPending = false;
};
WindowState g_state;

// "Shell" of root\path, any type, as text up to its first zero character; false when it could
// not be read.
bool ReadShellValue(HKEY root, const wchar_t* path, std::wstring& shell)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    // System keys, read in the view of the program's own bitness: no registry-view flag.
    if (!tsmb::TryReadRegistryValue(root, path, L"Shell", KEY_QUERY_VALUE, data, type))
        return false;
    // Zero bytes beyond the value (a whole character even after an odd size) end text stored
    // without a terminator, whatever its type.
    data.resize(data.size() + 2 + sizeof(wchar_t), 0);
    shell = reinterpret_cast<const wchar_t*>(data.data());
    return true;
}

bool NamesClientAgent(const std::wstring& shell)
{
    return tsmb::ContainsIgnoringCase(shell, L"orbiter.exe");
}

struct WindowSearch {
    const wchar_t* className;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context)
{
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(context);
    wchar_t text[kNameChars] = {};
    GetClassNameW(window, text, kNameChars);
    if (wcsncmp(text, search.className, kNameChars) != 0)
        return TRUE;
    if (search.title) {
        wchar_t title[kNameChars] = {};
        GetWindowTextW(window, title, kNameChars);
        if (wcsncmp(title, search.title, kNameChars) != 0)
            return TRUE;
    }
    search.found = window;
    return FALSE;
}

bool EnableShutdownPrivilege()
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened))
        return false;
    const tsmb::UniqueHandle token(opened);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid) &&
           AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
}

bool TryExitWindows(UINT flags, DWORD reason)
{
    return EnableShutdownPrivilege() && ExitWindowsEx(flags, reason);
}

// The last resort of every privileged request, tried once; if it fails too there is nothing
// left to do.
void ForceLogOff()
{
    TryExitWindows(EWX_LOGOFF | EWX_FORCE, 0);
}

void InitializeOnce()
{
    if (g_state.initialized)
        return;
    g_state.initialized = true;
    g_state.logOffMessage = RegisterWindowMessageW(L"TessamCascadingLogOffMessage");
    g_state.lockMessage = RegisterWindowMessageW(L"TessamCascadingLockMessage");
    g_state.unlockCycleEvent = CreateEventW(nullptr, FALSE, FALSE, L"Local\\WorkStationUnlockCycle");
}

void OnLock()
{
    if (!g_state.lockedRegistered) {
        g_state.lockedRegistered = true;
        g_state.workStationLockedMessage = RegisterWindowMessageW(L"WorkStationLocked");
    }
    HWND tray = FindTopLevelWindow(L"TessamHublineSystemTray", L"SystrayWindowName");
    if (tray && g_state.workStationLockedMessage)
        PostMessageW(tray, g_state.workStationLockedMessage, 0, 0);
    if (g_state.unlockCycleEvent)
        SetEvent(g_state.unlockCycleEvent);
    if (LockWorkStation())
        tsmb::ReportOutcome(ORVANE_EVENT_LOCKED);
    g_state.lockPending = true;
}

// What the request came to: the action, or the forced log-off that stands in for it.
void ReportPowerAction(bool performed, const wchar_t* action)
{
    if (performed)
        tsmb::ReportOutcome(ORVANE_EVENT_POWER_ACTION, {action});
    else
        tsmb::ReportOutcome(ORVANE_EVENT_LOGGED_OFF);
}

void OnLogOff(WPARAM kind)
{
    switch (kind) {
    case 0:
    case 1:
    case 42:
        // A lock just before means the session stays, locked; the next request logs off.
        if (g_state.lockPending) {
            g_state.lockPending = false;
        } else {
            RequestExitWindows(EWX_LOGOFF | EWX_FORCE, 0);
            tsmb::ReportOutcome(ORVANE_EVENT_LOGGED_OFF);
        }
        break;
    case 3:
        ReportPowerAction(RequestExitWindows(EWX_SHUTDOWN | EWX_FORCE, kPlannedSystemReason), L"a shut-down");
        break;
    case 4:
        ReportPowerAction(RequestExitWindows(EWX_REBOOT | EWX_FORCE, kPlannedSystemReason), L"a restart");
        break;
    case 5:
        ReportPowerAction(RequestPowerState(false), L"suspend");
        break;
    case 6:
        ReportPowerAction(RequestPowerState(true), L"hibernation");
        break;
    default:
        break;
    }
}

}  // namespace

bool ReadClientAgentShellCondition()
{
    std::wstring shell;
    if (ReadShellValue(HKEY_LOCAL_MACHINE, kShellMappingKey, shell) && tsmb::ContainsIgnoringCase(shell, L"usr:") &&
        ReadShellValue(HKEY_CURRENT_USER, kWinlogonKey, shell))
        return NamesClientAgent(shell);
    return ReadShellValue(HKEY_LOCAL_MACHINE, kWinlogonKey, shell) && NamesClientAgent(shell);
}

bool IsClientAgentShell()
{
    static const bool condition = ReadClientAgentShellCondition();
    return condition;
}

HWND FindTopLevelWindow(const wchar_t* className, const wchar_t* title)
{
    if (!className)
        return nullptr;
    WindowSearch search = {className, title, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool RequestExitWindows(UINT flags, DWORD reason)
{
    if (TryExitWindows(flags, reason))
        return true;
    ForceLogOff();
    return false;
}

bool RequestPowerState(bool hibernate)
{
    if (EnableShutdownPrivilege() && SetSystemPowerState(hibernate ? FALSE : TRUE, TRUE))
        return true;
    ForceLogOff();
    return false;
}

bool IsLockPending()
{
    return g_state.lockPending;
}

LRESULT CALLBACK TumbletWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    InitializeOnce();
    // A failed registration leaves 0, which must never match a message.
    if (g_state.lockMessage && message == g_state.lockMessage) {
        OnLock();
        return 0;
    }
    if (g_state.logOffMessage && message == g_state.logOffMessage) {
        OnLogOff(wParam);
        return 0;
    }
    if (message == WM_CREATE) {
        SetWindowPos(window, HWND_BOTTOM, GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                     GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN), SWP_SHOWWINDOW);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterTumbletClass(HINSTANCE instance)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = TumbletWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(kBackground);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0;
}

HWND CreateTumbletWindow(HINSTANCE instance)
{
    return CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                           nullptr, instance, nullptr);
}

int RunTumblet(HINSTANCE instance)
{
    if (!IsClientAgentShell())
        return 0;
    if (FindTopLevelWindow(kWindowClass, nullptr))
        return 0;
    RegisterTumbletClass(instance);
    if (!CreateTumbletWindow(instance))
        return 0;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace tumblet
