// Benchmark of what a pulled card ends, each beside the bare service wake-up of the same run:
//  - card removal to VsmDisconnectAllSessions in the real Ambrel.exe (the SDK stand-in notes
//    the counter at each of its events in the file named by VSMSDK_TIMES);
//  - the same in the shell's monitor run in this process with the real SDK loading path, its
//    phases timed by import hooks: the wait's return, the registry read, LoadLibraryW, the
//    SDK's calls;
//  - card removal to the hosted control's INTERNET_OPTION_END_BROWSER_SESSION, after one
//    successful request set the TLS record (needs the test server: testbed/https/testserver.py
//    start <bin>/httpserver <bin>/testcerts), with the wait's return and the posted event.
//   removal_latency.exe [rounds]
#include <cwchar>
#include <map>

#include "BenchExchange.h"
#include "BenchWakeUp.h"
#include "HandOff.h"
#include "RegistryKey.h"
#include "SCardAmbrelMonitoringThread.h"
#include "TestMachine.h"
#include "UniqueHandle.h"

namespace {

const wchar_t kReader[] = L"Bench Reader";
const DWORD kTimeoutMs = 10000;

// ---- Moments noted by the hooks: the first of each kind after the removal (armed). -------

volatile LONG g_armed = 0;
LONGLONG g_waitReturned, g_registryOpened, g_loadStarted, g_loadReturned, g_posted, g_endStarted, g_endReturned;
volatile LONG g_waitSeen, g_registrySeen, g_loadSeen, g_postSeen, g_endSeen;

void Arm()
{
    g_waitSeen = g_registrySeen = g_loadSeen = g_postSeen = g_endSeen = 0;
    g_waitReturned = g_registryOpened = g_loadStarted = g_loadReturned = g_posted = g_endStarted = g_endReturned = 0;
    InterlockedExchange(&g_armed, 1);
}

// True for the first call of a kind after Arm.
bool First(volatile LONG& seen)
{
    return g_armed && InterlockedExchange(&seen, 1) == 0;
}

LONG WINAPI TimedGetStatusChange(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEW states, DWORD count)
{
    const LONG result = testsupport::RealExport<decltype(&SCardGetStatusChangeW)>(L"winscard.dll", "SCardGetStatusChangeW")(
        context, timeout, states, count);
    const LONGLONG now = Now();
    if (timeout != 0 && First(g_waitSeen))
        g_waitReturned = now;
    return result;
}

LONG WINAPI TimedRegOpenKeyEx(HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY result)
{
    const LONGLONG now = Now();
    if (First(g_registrySeen))
        g_registryOpened = now;
    return testsupport::RealExport<decltype(&RegOpenKeyExW)>(L"advapi32.dll", "RegOpenKeyExW")(key, name, options, access,
                                                                                              result);
}

HMODULE WINAPI TimedLoadLibrary(LPCWSTR name)
{
    const LONGLONG start = Now();
    const bool sdk = name && _wcsicmp(name, L"VsmSDK.dll") == 0 && First(g_loadSeen);
    const HMODULE module = testsupport::RealExport<decltype(&LoadLibraryW)>(L"kernel32.dll", "LoadLibraryW")(name);
    if (sdk) {
        g_loadStarted = start;
        g_loadReturned = Now();
    }
    return module;
}

BOOL WINAPI TimedPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LONGLONG now = Now();
    if (message == WM_USER + 1 && First(g_postSeen))  // the control's card event
        g_posted = now;
    return testsupport::RealExport<decltype(&PostMessageW)>(L"user32.dll", "PostMessageW")(window, message, wParam, lParam);
}

// The one WinINet call Wine lacks taken as done; the end of the TLS session timed.
BOOL WINAPI TimedSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option != INTERNET_OPTION_END_BROWSER_SESSION)
        return benchexchange::AcceptClientCertificate(handle, option, buffer, length);
    const LONGLONG start = Now();
    const BOOL result = testsupport::RealExport<decltype(&InternetSetOptionW)>(L"wininet.dll", "InternetSetOptionW")(
        handle, option, buffer, length);
    if (g_armed && g_endSeen == 0) {
        g_endStarted = start;
        g_endReturned = Now();
        InterlockedExchange(&g_endSeen, 1);
    }
    return result;
}

// ---- The SDK stand-in's counter file ------------------------------------------------------

std::wstring TempFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// Event name to counter, from the file named by VSMSDK_TIMES (the last of each name).
std::map<std::string, LONGLONG> SdkTimes(const std::wstring& path)
{
    std::map<std::string, LONGLONG> times;
    std::ifstream file(path.c_str());
    std::string event;
    long long counter = 0;
    while (file >> event >> counter)
        times[event] = counter;
    return times;
}

// Waits until the SDK was freed again (its last event); false after the time-out.
bool WaitForDetach(const std::wstring& path)
{
    const ULONGLONG deadline = GetTickCount64() + kTimeoutMs;
    while (SdkTimes(path).count("detach") == 0) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

// Every status-change wait of the service began after its latest change: the monitors have
// taken it in. Pumps this thread's messages meanwhile (a hosted control needs them).
bool WaitQuiet(LONG waits)
{
    return keyvoratest::PumpUntil([&] { return SimCountQuietWaits() >= waits; }, kTimeoutMs);
}

void SetHandOff(const wchar_t* reader)
{
    tsmb::UniqueRegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, 0, nullptr, 0,
                        KEY_SET_VALUE | tsmb::GetRegistryViewFlag(), nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        key.Release();  // nothing was opened
        return;
    }
    RegSetValueExW(key.Get(), tsmb::HandOffKey::kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(reader),
                   static_cast<DWORD>((wcslen(reader) + 1) * sizeof(wchar_t)));
}

double Micros(LONGLONG from, LONGLONG to) { return TicksToMicros(to - from); }

// One removal with the hand-off naming the reader, handled by a shell monitor whose SDK
// counters go to times: the counters, or an empty map when it did not disconnect in time.
std::map<std::string, LONGLONG> RemoveAndAwaitDisconnect(const std::wstring& times, LONGLONG& removed)
{
    DeleteFileW(times.c_str());
    SetHandOff(kReader);
    Arm();
    removed = Now();
    SimRemoveCard(kReader);
    const bool detached = WaitForDetach(times);
    InterlockedExchange(&g_armed, 0);
    if (!detached || !WaitQuiet(1))
        return {};
    return SdkTimes(times);
}

bool InsertAndAwaitQuiet()
{
    SimInsertCard(kReader, nullptr, 0, nullptr, nullptr);
    return WaitQuiet(1);
}

// ---- The shell's monitor in this process --------------------------------------------------

bool MeasureShellInProcess(int rounds, const std::wstring& times)
{
    testsupport::ImportHook wait(nullptr, "SCardGetStatusChangeW", &TimedGetStatusChange);
    testsupport::ImportHook registry(nullptr, "RegOpenKeyExW", &TimedRegOpenKeyEx);
    testsupport::ImportHook load(nullptr, "LoadLibraryW", &TimedLoadLibrary);
    RefPtr<SCardAmbrelMonitoringThread> monitor(new SCardAmbrelMonitoringThread());
    monitor->Start();
    monitor->EnableMonitoring();
    if (!WaitQuiet(1)) {
        fwprintf(stderr, L"the shell's monitor never waited\n");
        return false;
    }
    std::vector<double> total, wake, dispatch, registryRead, sdkLoad, lookUp, calls;
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i) {
        LONGLONG removed = 0;
        std::map<std::string, LONGLONG> sdk = RemoveAndAwaitDisconnect(times, removed);
        if (sdk.count("VsmDisconnectAllSessions") == 0 || !g_waitSeen || !g_registrySeen || !g_loadSeen) {
            fwprintf(stderr, L"in-process round %d: the sessions were not disconnected\n", i);
            ok = false;
            break;
        }
        total.push_back(Micros(removed, sdk["VsmDisconnectAllSessions"]));
        wake.push_back(Micros(removed, g_waitReturned));
        dispatch.push_back(Micros(g_waitReturned, g_registryOpened));
        registryRead.push_back(Micros(g_registryOpened, g_loadStarted));
        sdkLoad.push_back(Micros(g_loadStarted, g_loadReturned));
        lookUp.push_back(Micros(g_loadReturned, sdk["VsmInitialize"]));
        calls.push_back(Micros(sdk["VsmInitialize"], sdk["VsmDisconnectAllSessions"]));
        ok = InsertAndAwaitQuiet();
    }
    monitor->RequestStop();
    monitor->WaitForStop();
    if (!ok)
        return false;
    ReportLatency("inproc", L"shell monitor in-process: removal to VsmDisconnectAllSessions", total);
    ReportLatency("inproc-wake", L"  phase: removal to the monitor's wait returning", wake);
    ReportLatency("inproc-dispatch", L"  phase: wait return to the registry read (states compared)", dispatch);
    ReportLatency("inproc-registry", L"  phase: registry read of the hand-off value (to LoadLibraryW)", registryRead);
    ReportLatency("inproc-load", L"  phase: LoadLibraryW of VsmSDK.dll", sdkLoad);
    ReportLatency("inproc-lookup", L"  phase: GetProcAddress x3 to VsmInitialize", lookUp);
    ReportLatency("inproc-calls", L"  phase: VsmInitialize to VsmDisconnectAllSessions", calls);
    return true;
}

// ---- The real Ambrel.exe ------------------------------------------------------------------

// The shell this program started (its process handle), and the browser stand-in it started.
void EndShell(const tsmb::UniqueHandle& shell)
{
    TerminateProcess(shell.Get(), 0);
    WaitForSingleObject(shell.Get(), kTimeoutMs);
    standin::EndBrowserStandIns(kTimeoutMs);
}

bool MeasureShellProgram(int rounds, const std::wstring& times)
{
    const std::wstring program = standin::BesideThisProgram(L"Ambrel.exe");
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        fwprintf(stderr, L"cannot start Ambrel.exe\n");
        return false;
    }
    const tsmb::UniqueHandle shell(started.hProcess), shellThread(started.hThread);
    // The browser it starts, so that the end finds it; and the monitor waiting.
    if (!keyvoratest::PumpUntil([] { return FindWindowW(L"IEFrame", nullptr) != nullptr; }, 30000) || !WaitQuiet(1)) {
        fwprintf(stderr, L"the shell's browser or monitor never came\n");
        EndShell(shell);
        return false;
    }
    std::vector<double> total, toLoaded, toInitialize, calls;
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i) {
        LONGLONG removed = 0;
        std::map<std::string, LONGLONG> sdk = RemoveAndAwaitDisconnect(times, removed);
        if (sdk.count("VsmDisconnectAllSessions") == 0) {
            fwprintf(stderr, L"Ambrel.exe round %d: the sessions were not disconnected\n", i);
            ok = false;
            break;
        }
        total.push_back(Micros(removed, sdk["VsmDisconnectAllSessions"]));
        toLoaded.push_back(Micros(removed, sdk["attach"]));
        toInitialize.push_back(Micros(sdk["attach"], sdk["VsmInitialize"]));
        calls.push_back(Micros(sdk["VsmInitialize"], sdk["VsmDisconnectAllSessions"]));
        ok = InsertAndAwaitQuiet();
    }
    EndShell(shell);
    if (!ok)
        return false;
    ReportLatency("shell", L"Ambrel.exe: removal to VsmDisconnectAllSessions", total);
    ReportLatency("shell-attach", L"  phase: removal to the SDK's DllMain (wake-up, registry read, load)", toLoaded);
    ReportLatency("shell-lookup", L"  phase: DllMain to VsmInitialize (rest of the load, GetProcAddress x3)", toInitialize);
    ReportLatency("shell-calls", L"  phase: VsmInitialize to VsmDisconnectAllSessions", calls);
    return true;
}

// ---- The hosted control -------------------------------------------------------------------

bool MeasureControl(int rounds, const benchexchange::Ports& ports)
{
    if (!benchexchange::PrepareCard(kReader)) {
        fwprintf(stderr, L"cannot trust the test CA or register the card provider\n");
        return false;
    }
    testsupport::ImportHook option(nullptr, "InternetSetOptionW", &TimedSetOption);
    testsupport::ImportHook wait(nullptr, "SCardGetStatusChangeW", &TimedGetStatusChange);
    testsupport::ImportHook post(nullptr, "PostMessageW", &TimedPostMessage);
    keyvoratest::ClassRegistration registration;
    keyvoratest::EventSink sink;
    keyvoratest::HostedControl host(&sink);
    if (!keyvoratest::PumpUntil([&] { return !sink.events.empty() && sink.events.back().eventType == 1; }, kTimeoutMs)) {
        fwprintf(stderr, L"the control never saw the card\n");
        return false;
    }
    benchexchange::SetPin(host, L"1234");
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(ports.http) + L"/text?body=x";
    std::vector<double> total, wake, toPost, toEnd, endCall;
    for (int i = 0; i < rounds; ++i) {
        std::wstring data;
        if (!benchexchange::ReadThroughControl(host, url, data) || data != L"x" || !WaitQuiet(1)) {
            fwprintf(stderr, L"control round %d: the request failed\n", i);
            return false;
        }
        const size_t events = sink.events.size();
        Arm();
        const LONGLONG removed = Now();
        SimRemoveCard(kReader);
        const bool ended = keyvoratest::PumpUntil([&] { return g_endSeen && sink.events.size() > events; }, kTimeoutMs);
        InterlockedExchange(&g_armed, 0);
        if (!ended || !g_waitSeen || !g_postSeen) {
            fwprintf(stderr, L"control round %d: the TLS session did not end\n", i);
            return false;
        }
        total.push_back(Micros(removed, g_endReturned));
        wake.push_back(Micros(removed, g_waitReturned));
        toPost.push_back(Micros(g_waitReturned, g_posted));
        toEnd.push_back(Micros(g_posted, g_endStarted));
        endCall.push_back(Micros(g_endStarted, g_endReturned));
        const size_t before = sink.events.size();
        benchexchange::InsertCardWithKey(kReader);
        if (!keyvoratest::PumpUntil([&] { return sink.events.size() > before && sink.events.back().eventType == 1; },
                                    kTimeoutMs) ||
            !WaitQuiet(1)) {
            fwprintf(stderr, L"control round %d: the card's return was not seen\n", i);
            return false;
        }
    }
    ReportLatency("tls", L"hosted control: removal to the end of INTERNET_OPTION_END_BROWSER_SESSION", total);
    ReportLatency("tls-wake", L"  phase: removal to the monitor's wait returning", wake);
    ReportLatency("tls-post", L"  phase: wait return to the posted card event", toPost);
    ReportLatency("tls-start", L"  phase: posted event to InternetSetOptionW", toEnd);
    ReportLatency("tls-call", L"  phase: InternetSetOptionW(INTERNET_OPTION_END_BROWSER_SESSION) itself", endCall);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 100;
    const benchexchange::Ports ports = benchexchange::ReadPorts();
    if (ports.http == 0) {
        fwprintf(stderr, L"start the test server first (testbed/https/testserver.py start <bin>\\httpserver ...)\n");
        return 1;
    }
    // The hand-off's parent belongs to the deployment: made when missing, as the tests do.
    {
        tsmb::UniqueRegistryKey parent;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            parent.Put(), nullptr) != ERROR_SUCCESS)
            parent.Release();  // nothing was opened
    }
    const std::wstring times = TempFile(L"removal-latency-vsmsdk.times");
    SetEnvironmentVariableW(L"VSMSDK_TIMES", times.c_str());
    SetEnvironmentVariableW(L"VSMSDK_LOG", nullptr);

    SimReset();
    SimAttachReader(kReader);
    const std::vector<double> bare = MeasureServiceWakeUp(kReader, rounds * 2);
    SimRemoveCard(kReader);
    ReportLatency("wakeup", L"bare service: insert/remove to the blocked wait's return", bare);

    SimInsertCard(kReader, nullptr, 0, nullptr, nullptr);
    bool ok = MeasureShellProgram(rounds, times);
    // A terminated shell leaves its wait behind in the service's state.
    SimReset();
    SimAttachReader(kReader);
    SimInsertCard(kReader, nullptr, 0, nullptr, nullptr);
    ok = ok && MeasureShellInProcess(rounds, times);
    SimRemoveCard(kReader);
    ok = ok && MeasureControl(rounds, ports);

    SimReset();
    DeleteFileW(times.c_str());
    RegDeleteKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, tsmb::GetRegistryViewFlag(), 0);
    return ok ? 0 : 1;
}
