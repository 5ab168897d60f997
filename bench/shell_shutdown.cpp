// Shutdown latency of the shell: from the end of the browser's last run to the end of
// Ambrel.exe (keeper stop, monitor stop, exit). Runs Ambrel.exe from its own folder with the
// browser stand-in (which the prefix must have as its iexplore.exe) living 100 ms. Beside it
// in the same run: the same stand-in started directly, from its logged end to its exit seen
// here (what any process's end costs).
// Usage: shell_shutdown [runs]   (sets and afterwards removes HKLM DesktopURL)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchStats.h"
#include "UniqueHandle.h"

namespace {

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";

std::wstring Beside(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

// The tick of the browser's last "end" line in the stand-in's log.
DWORD LastBrowserEnd(const std::wstring& log)
{
    std::ifstream file(log.c_str());
    DWORD tick = 0;
    for (std::string line; std::getline(file, line);) {
        const size_t at = line.find(" at ");
        if (line.rfind("end ", 0) == 0 && at != std::string::npos)
            tick = strtoul(line.c_str() + at + 4, nullptr, 10);
    }
    return tick;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 10;
    tsmb::UniqueRegistryKey key;
    // Without a view flag, as the shell reads it: this program has the shell's bitness.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS) {
        key.Release();  // nothing was opened
        fwprintf(stderr, L"cannot open HKLM\\%ls\n", kConfigKey);
        return 1;
    }
    const wchar_t url[] = L"http://bench.example/?iexplore-lifetime-ms=100";
    RegSetValueExW(key.Get(), L"DesktopURL", 0, REG_SZ, reinterpret_cast<const BYTE*>(url), sizeof(url));

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring log = std::wstring(temp) + L"shell-shutdown-browser.log";
    SetEnvironmentVariableW(L"IEXPLORE_LOG", log.c_str());
    const std::wstring program = Beside(L"Ambrel.exe");

    // The bare process: the stand-in itself, started here.
    std::vector<double> bare;
    const std::wstring browser = Beside(L"iexplore.exe");
    for (int i = 0; i < runs; ++i) {
        DeleteFileW(log.c_str());
        std::wstring command = L"\"" + browser + L"\" iexplore-lifetime-ms=100";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(browser.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            break;
        const tsmb::UniqueHandle thread(pi.hThread), process(pi.hProcess);
        if (WaitForSingleObject(process.Get(), 30000) == WAIT_OBJECT_0) {
            const DWORD ended = GetTickCount();
            if (const DWORD browserEnded = LastBrowserEnd(log))
                bare.push_back((ended - browserEnded) * 1000.0);
        }
    }

    std::vector<double> micros;
    for (int i = 0; i < runs; ++i) {
        DeleteFileW(log.c_str());
        std::wstring command = L"\"" + program + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            break;
        const tsmb::UniqueHandle thread(pi.hThread), process(pi.hProcess);
        if (WaitForSingleObject(process.Get(), 30000) == WAIT_OBJECT_0) {
            const DWORD ended = GetTickCount();
            const DWORD browserEnded = LastBrowserEnd(log);
            if (browserEnded)
                micros.push_back((ended - browserEnded) * 1000.0);
        }
    }
    RegDeleteValueW(key.Get(), L"DesktopURL");
    key.Close();
    DeleteFileW(log.c_str());
    if (micros.empty()) {
        fwprintf(stderr, L"no run completed\n");
        return 1;
    }
    ReportLatency("bare", L"bare process: the stand-in's logged end to its exit seen here", bare);
    ReportLatency("shutdown", L"shell: the browser's logged end to the end of Ambrel.exe", micros);
    return 0;
}
