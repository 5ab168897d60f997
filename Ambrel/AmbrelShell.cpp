#include "AmbrelShell.h"

#include <shellapi.h>

#include <cstring>

#include "EventLog.h"
#include "ProcessImage.h"
#include "RegistryKey.h"
#include "SCardAmbrelMonitoringThread.h"
#include "Trace.h"

namespace ambrel {

namespace {

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const DWORD kShortCycleMs = 2000;
const DWORD kAfterLaunchMs = 500;
const DWORD kKeeperPeriodMs = 500;

volatile bool g_keeperRunning = true;

}  // namespace

LONG ReadRegistryValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD size = 0;
    result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS) {
        try {
            data.assign(size, 0);
            result = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
            data.resize(size);
        } catch (const std::bad_alloc&) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    RegCloseKey(key);
    return result;
}

LONG ReadDwordValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG result = ReadRegistryValue(root, path, name, type, data);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_DWORD || data.size() < sizeof(DWORD))
        return ERROR_BADKEY;
    memcpy(&value, data.data(), sizeof(DWORD));
    return ERROR_SUCCESS;
}

LONG ReadStringValue(const wchar_t* path, const wchar_t* name, std::wstring& text)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG result = ReadRegistryValue(HKEY_LOCAL_MACHINE, path, name, type, data);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_MULTI_SZ)
        return ERROR_BADKEY;
    const wchar_t* characters = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = data.size() / sizeof(wchar_t);
    size_t length = 0;
    while (length < count && characters[length] != L'\0')
        ++length;
    text.assign(characters, length);
    return ERROR_SUCCESS;
}

LONG DeleteUserValue(const wchar_t* path, const wchar_t* name)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return result;
}

void LaunchDesktopBrowser()
{
    DWORD reset = 0;
    // The flag is consumed by exactly one launch, whatever it holds.
    if (ReadDwordValue(HKEY_CURRENT_USER, kConfigKey, L"DesktopResetInProgress", reset) == ERROR_SUCCESS)
        DeleteUserValue(kConfigKey, L"DesktopResetInProgress");
    else
        reset = 0;
    std::wstring url;
    ReadStringValue(kConfigKey, reset ? L"DesktopResetURL" : L"DesktopURL", url);
    const std::wstring parameters = L" -k " + url;
    ShellExecuteW(nullptr, nullptr, L"iexplore.exe", parameters.c_str(), nullptr, SW_SHOW);
    Sleep(kAfterLaunchMs);
}

bool WaitForBrowserProcesses()
{
    return tsmb::ForEachProcessBaseName(SYNCHRONIZE, [](const wchar_t* baseName, HANDLE process) {
        if (tsmb::IsBrowserImage(baseName))
            WaitForSingleObject(process, INFINITE);
    });
}

DWORD WINAPI KeepBrowserFrameAtBottom(LPVOID)
{
    HWND lastSuccessor = nullptr;
    while (g_keeperRunning) {
        if (HWND frame = FindWindowW(L"IEFrame", nullptr)) {
            // Pushing only when the window below changed keeps the frame from flickering and
            // the keeper from fighting other windows every period.
            if (GetWindow(frame, GW_HWNDNEXT) != lastSuccessor) {
                SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_ASYNCWINDOWPOS);
                lastSuccessor = GetWindow(frame, GW_HWNDNEXT);
            }
        }
        Sleep(kKeeperPeriodMs);
    }
    return 0;
}

void StopBrowserFrameKeeper()
{
    g_keeperRunning = false;
}

int RunShell()
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"TSM_AmbrelExe");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex)
            CloseHandle(mutex);
        return 0;
    }
    tsmb::SetComponentPrefix(L"SCardAmbrel");
    tsmb::ReadDebugSwitch(L"Ambrel");
    g_keeperRunning = true;

    SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread();
    HANDLE keeper = CreateThread(nullptr, 0, KeepBrowserFrameAtBottom, nullptr, 0, nullptr);

    DWORD cycleStart = GetTickCount();
    for (;;) {
        LaunchDesktopBrowser();
        WaitForBrowserProcesses();
        const DWORD now = GetTickCount();
        const bool shortCycle = now - cycleStart < kShortCycleMs;
        cycleStart = now;
        if (shortCycle)
            break;
    }

    if (keeper) {
        StopBrowserFrameKeeper();
        WaitForSingleObject(keeper, kKeeperPeriodMs);
        CloseHandle(keeper);
    }
    DWORD autoLogOff = 0;
    const bool logOff =
        ReadDwordValue(HKEY_LOCAL_MACHINE, kConfigKey, L"AmbrelAutoLogOff", autoLogOff) == ERROR_SUCCESS && autoLogOff != 0;
    // A browser that cannot start ends the kiosk: the administrator must be able to see why.
    tsmb::ReportOutcome(logOff ? ORVANE_EVENT_SHORT_RUN_LOG_OFF : ORVANE_EVENT_SHORT_RUN);
    if (logOff)
        ExitWindowsEx(EWX_LOGOFF, 0);
    SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread();
    if (mutex)
        CloseHandle(mutex);
    return 0;
}

}  // namespace ambrel
