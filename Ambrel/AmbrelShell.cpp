#include "AmbrelShell.h"

#include <shellapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "EventLog.h"
#include "ProcessImage.h"
#include "RegistryKey.h"
#include "SCardAmbrelMonitoringThread.h"
#include "Trace.h"

namespace ambrel {

namespace {

using tsmb::RegistryKey;

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const DWORD kShortCycleMs = 2000;
const DWORD kAfterLaunchMs = 500;
const DWORD kKeeperPeriodMs = 500;

// The shell's configuration, read at the moment of use without the registry-view flag: the
// 32-bit shell sees the view the package writes. A value that is missing, unreadable or of
// another type is the default; nothing is traced.
bool ReadConfigValue(HKEY root, const wchar_t* name, std::vector<BYTE>& data, DWORD& type)
{
    const RefPtr<RegistryKey> key = RegistryKey::TryOpen(root, kConfigKey, KEY_READ, RegistryKey::View::Own);
    return key && key->TryQueryValue(name, data, type);
}

// A REG_DWORD of at least four bytes: its first four. value is untouched otherwise.
bool ReadConfigDword(HKEY root, const wchar_t* name, DWORD& value)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (!ReadConfigValue(root, name, data, type) || type != REG_DWORD || data.size() < sizeof(DWORD))
        return false;
    memcpy(&value, data.data(), sizeof(DWORD));
    return true;
}

// From HKEY_LOCAL_MACHINE: a REG_SZ, or the first string of a REG_MULTI_SZ, up to its first
// zero character or the end of the data; empty otherwise.
std::wstring ReadConfigUrl(const wchar_t* name)
{
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (!ReadConfigValue(HKEY_LOCAL_MACHINE, name, data, type) || (type != REG_SZ && type != REG_MULTI_SZ))
        return std::wstring();
    const std::vector<std::wstring> strings = tsmb::SplitMultiString(data);
    return strings.empty() ? std::wstring() : strings.front();
}

void DeleteUserConfigValue(const wchar_t* name)
{
    if (const RefPtr<RegistryKey> key =
            RegistryKey::TryOpen(HKEY_CURRENT_USER, kConfigKey, KEY_WRITE, RegistryKey::View::Own))
        key->TryDeleteValue(name);
}

// Launch and wait for as long as each cycle lasts at least kShortCycleMs.
void RunBrowserLoop()
{
    DWORD cycleStart = GetTickCount();
    for (;;) {
        LaunchDesktopBrowser();
        WaitForBrowserProcesses();
        const DWORD now = GetTickCount();
        const bool shortCycle = now - cycleStart < kShortCycleMs;
        cycleStart = now;
        if (shortCycle)
            return;
    }
}

}  // namespace

void LaunchDesktopBrowser()
{
    DWORD reset = 0;
    // The flag is consumed by exactly one launch, whatever it holds.
    if (ReadConfigDword(HKEY_CURRENT_USER, L"DesktopResetInProgress", reset))
        DeleteUserConfigValue(L"DesktopResetInProgress");
    else
        reset = 0;
    const std::wstring url = ReadConfigUrl(reset ? L"DesktopResetURL" : L"DesktopURL");
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

DWORD WINAPI KeepBrowserFrameAtBottom(LPVOID stopEvent)
{
    HWND lastSuccessor = nullptr;
    // The stop is checked before the first push and ends the wait between two at once; a wait
    // that fails ends the keeper too rather than letting it spin.
    for (DWORD wait = 0; WaitForSingleObject(static_cast<HANDLE>(stopEvent), wait) == WAIT_TIMEOUT;
         wait = kKeeperPeriodMs) {
        if (HWND frame = FindWindowW(L"IEFrame", nullptr)) {
            // Pushing only when the window below changed keeps the frame from flickering and
            // the keeper from fighting other windows every period.
            if (GetWindow(frame, GW_HWNDNEXT) != lastSuccessor) {
                SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_ASYNCWINDOWPOS);
                lastSuccessor = GetWindow(frame, GW_HWNDNEXT);
            }
        }
    }
    return 0;
}

BrowserFrameKeeper::BrowserFrameKeeper() : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (m_stop)
        m_thread = tsmb::UniqueHandle(CreateThread(nullptr, 0, KeepBrowserFrameAtBottom, m_stop.Get(), 0, nullptr));
}

void BrowserFrameKeeper::Stop()
{
    if (!m_thread)
        return;
    SetEvent(m_stop.Get());
    // A keeper still running after the bound may still wait on its event: that stays open.
    if (WaitForSingleObject(m_thread.Get(), kKeeperPeriodMs) != WAIT_OBJECT_0)
        m_stop.Release();
    m_thread.Close();
}

int RunShell()
{
    const tsmb::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, L"TSM_AmbrelExe"));
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    tsmb::SetComponentPrefix(L"SCardAmbrel");
    tsmb::ReadDebugSwitch(L"Ambrel");

    SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread();
    BrowserFrameKeeper keeper;
    RunBrowserLoop();
    keeper.Stop();

    DWORD autoLogOff = 0;
    const bool logOff = ReadConfigDword(HKEY_LOCAL_MACHINE, L"AmbrelAutoLogOff", autoLogOff) && autoLogOff != 0;
    // A browser that cannot start ends the kiosk: the administrator must be able to see why.
    tsmb::ReportOutcome(logOff ? ORVANE_EVENT_SHORT_RUN_LOG_OFF : ORVANE_EVENT_SHORT_RUN);
    if (logOff)
        ExitWindowsEx(EWX_LOGOFF, 0);
    SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread();
    // The mutex closes last, on the way out.
    return 0;
}

}  // namespace ambrel
