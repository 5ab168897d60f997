// The shell: its browser launches (with the shell API hooked), the frame keeper, the ordered
// end with the optional log-off, and the whole program under Wine with the browser stand-in.
#include "AmbrelShell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "CardService.h"
#include "EventCapture.h"
#include "ImportHook.h"
#include "LogFile.h"
#include "Process.h"
#include "ScratchRegistry.h"
#include "Trace.h"
#include "TraceCapture.h"
#include "UniqueHandle.h"

using testsupport::ImportHook;
using testsupport::LogFile;
using testsupport::ScratchValue;

namespace {

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const wchar_t kDeskUrl[] = L"http://desk.example/start?x=1&iexplore-lifetime-ms=100";
const wchar_t kResetUrl[] = L"http://reset.example/again?iexplore-lifetime-ms=2300";

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The configuration values, each removed first and restored last.
struct ShellConfiguration {
    // The shell reads these without a view flag.
    ScratchValue resetFlag{HKEY_CURRENT_USER, kConfigKey, L"DesktopResetInProgress", testsupport::kUnflaggedView};
    ScratchValue desktopUrl{HKEY_LOCAL_MACHINE, kConfigKey, L"DesktopURL", testsupport::kUnflaggedView};
    ScratchValue resetUrl{HKEY_LOCAL_MACHINE, kConfigKey, L"DesktopResetURL", testsupport::kUnflaggedView};
    ScratchValue autoLogOff{HKEY_LOCAL_MACHINE, kConfigKey, L"AmbrelAutoLogOff", testsupport::kUnflaggedView};

    bool ResetFlagPresent() const
    {
        return RegGetValueW(HKEY_CURRENT_USER, kConfigKey, L"DesktopResetInProgress", RRF_RT_ANY, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
    }
};

void SetDword(const ScratchValue& value, DWORD data)
{
    value.Set(REG_DWORD, &data, sizeof(data));
}

void SetMultiString(const ScratchValue& value, const std::vector<std::wstring>& strings)
{
    std::wstring data;
    for (const std::wstring& s : strings)
        data += s + L'\0';
    data += L'\0';
    value.Set(REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

// ---- Launches, with the shell API hooked ----------------------------------------------------

std::vector<std::string> g_launches;

HINSTANCE WINAPI RecordShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                                     INT show)
{
    std::ostringstream call;
    call << (owner ? "owner " : "") << (verb ? "verb " : "") << (directory ? "directory " : "") << Narrow(file)
         << " [" << Narrow(parameters ? parameters : L"(null)") << "] " << show;
    g_launches.push_back(call.str());
    return reinterpret_cast<HINSTANCE>(33);
}

std::string Launch(const std::wstring& url)
{
    return "iexplore.exe [ -k " + Narrow(url) + "] 5";
}

struct LaunchCase {
    const char* name;
    std::function<void(const ShellConfiguration&)> arrange;
    std::string expected;
    bool flagLeft;
};

class ShellLaunch : public ::testing::TestWithParam<LaunchCase> {
protected:
    ShellConfiguration m_config;
    ImportHook m_shell{nullptr, "ShellExecuteW", &RecordShellExecuteW};
};

TEST_P(ShellLaunch, StartsTheBrowserInKioskModeOnTheChosenUrl)
{
    const LaunchCase& c = GetParam();
    m_config.desktopUrl.SetString(L"http://desk.example/");
    m_config.resetUrl.SetString(L"http://reset.example/");
    c.arrange(m_config);
    g_launches.clear();

    ambrel::LaunchDesktopBrowser();

    EXPECT_EQ(std::vector<std::string>{c.expected}, g_launches);
    EXPECT_EQ(c.flagLeft, m_config.ResetFlagPresent());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellLaunch,
    ::testing::Values(
        LaunchCase{"NoResetFlag", [](const ShellConfiguration&) {}, Launch(L"http://desk.example/"), false},
        LaunchCase{"ResetFlagSet", [](const ShellConfiguration& c) { SetDword(c.resetFlag, 1); },
                   Launch(L"http://reset.example/"), false},
        LaunchCase{"ResetFlagZeroIsConsumed", [](const ShellConfiguration& c) { SetDword(c.resetFlag, 0); },
                   Launch(L"http://desk.example/"), false},
        LaunchCase{"ResetFlagAsStringCountsAsMissing",
                   [](const ShellConfiguration& c) { c.resetFlag.SetString(L"1"); }, Launch(L"http://desk.example/"),
                   true},
        LaunchCase{"ShortResetFlagCountsAsMissing",
                   [](const ShellConfiguration& c) {
                       const WORD two = 1;
                       c.resetFlag.Set(REG_DWORD, &two, sizeof(two));
                   },
                   Launch(L"http://desk.example/"), true},
        LaunchCase{"ResetWithoutResetUrl",
                   [](const ShellConfiguration& c) {
                       SetDword(c.resetFlag, 7);
                       c.resetUrl.Remove();
                   },
                   Launch(L""), false},
        LaunchCase{"MultiStringGivesItsFirstString",
                   [](const ShellConfiguration& c) {
                       SetMultiString(c.desktopUrl, {L"http://first.example/", L"http://second.example/"});
                   },
                   Launch(L"http://first.example/"), false},
        LaunchCase{"ExpandStringCountsAsMissing",
                   [](const ShellConfiguration& c) { c.desktopUrl.SetString(L"http://%HOST%/", REG_EXPAND_SZ); },
                   Launch(L""), false},
        LaunchCase{"UrlWithoutTerminator",
                   [](const ShellConfiguration& c) {
                       const wchar_t text[] = {L'h', L't', L't', L'p', L':', L'/', L'/', L'n', L'/'};
                       c.desktopUrl.Set(REG_SZ, text, sizeof(text));
                   },
                   Launch(L"http://n/"), false},
        LaunchCase{"UrlWithBlanksAndQuotesAsStored",
                   [](const ShellConfiguration& c) { c.desktopUrl.SetString(L"\"http://q.example/a b\" -x"); },
                   Launch(L"\"http://q.example/a b\" -x"), false}),
    [](const ::testing::TestParamInfo<LaunchCase>& info) { return std::string(info.param.name); });

// ---- The frame keeper --------------------------------------------------------------------

std::atomic<int> g_iterations{0};
HANDLE g_iterationEvent = nullptr;  // the fixture's, for the hook
std::vector<std::string> g_pushes;

HWND WINAPI CountingFindWindowW(LPCWSTR className, LPCWSTR title)
{
    ++g_iterations;
    SetEvent(g_iterationEvent);
    return testsupport::RealExport<decltype(&FindWindowW)>(L"user32.dll", "FindWindowW")(className, title);
}

// Records the push and leaves the stacking order to the test, so each change below the frame
// is the test's own.
BOOL WINAPI RecordSetWindowPos(HWND window, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    std::ostringstream call;
    call << window << (after == HWND_BOTTOM ? " bottom " : " other ") << x << "," << y << " " << cx << "x" << cy
         << " 0x" << std::hex << flags;
    g_pushes.push_back(call.str());
    return TRUE;
}

// The waits the keeper thread makes while it runs the keeper, with their time-outs.
std::atomic<DWORD> g_keeperThread{0};
std::vector<std::pair<HANDLE, DWORD>> g_keeperWaits;

DWORD WINAPI RecordKeeperWait(HANDLE handle, DWORD milliseconds)
{
    if (GetCurrentThreadId() == g_keeperThread)
        g_keeperWaits.emplace_back(handle, milliseconds);
    return testsupport::RealExport<decltype(&WaitForSingleObject)>(L"kernel32.dll", "WaitForSingleObject")(
        handle, milliseconds);
}

class FrameKeeper : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_iterationEvent = m_iterationEvent.Get();
        g_keeperWaits.clear();
        g_pushes.clear();
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"IEFrame";
        RegisterClassW(&wc);
        wc.lpszClassName = L"KeeperNeighbour";
        RegisterClassW(&wc);
        m_frame = CreateWindowExW(0, L"IEFrame", L"frame", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        ASSERT_NE(nullptr, m_frame);
    }
    void TearDown() override
    {
        if (m_keeper.joinable()) {
            SetEvent(m_stop.Get());
            m_keeper.join();
        }
        DestroyWindow(m_frame);
    }
    void StartKeeper()
    {
        m_keeper = std::thread([this] {
            g_keeperThread = GetCurrentThreadId();
            ambrel::KeepBrowserFrameAtBottom(m_stop.Get());
            g_keeperThread = 0;
        });
    }
    // Waits until the keeper has run n more periods.
    bool WaitForIterations(int n)
    {
        const int target = g_iterations + n + 1;
        while (g_iterations < target)
            if (WaitForSingleObject(g_iterationEvent, 5000) != WAIT_OBJECT_0)
                return false;
        return true;
    }
    std::string Push() const
    {
        std::ostringstream call;
        call << m_frame << " bottom 0,0 0x0 0x4003";
        return call.str();
    }

    HWND m_frame = nullptr;
    tsmb::UniqueHandle m_iterationEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    tsmb::UniqueHandle m_stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ImportHook m_find{nullptr, "FindWindowW", &CountingFindWindowW};
    ImportHook m_setPos{nullptr, "SetWindowPos", &RecordSetWindowPos};
    std::thread m_keeper;
};

TEST_F(FrameKeeper, PushesTheFrameDownOnlyWhenTheWindowBelowItChanged)
{
    StartKeeper();
    ASSERT_TRUE(WaitForIterations(3));
    EXPECT_EQ(std::vector<std::string>{Push()}, g_pushes);

    // A new window right below the frame: one more push, then quiet again.
    HWND neighbour = CreateWindowExW(0, L"KeeperNeighbour", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, neighbour);
    testsupport::RealExport<decltype(&SetWindowPos)>(L"user32.dll", "SetWindowPos")(
        neighbour, m_frame, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(neighbour, GetWindow(m_frame, GW_HWNDNEXT));
    ASSERT_TRUE(WaitForIterations(3));
    EXPECT_EQ((std::vector<std::string>{Push(), Push()}), g_pushes);
    DestroyWindow(neighbour);
}

// The keeper spends its period waiting on the stop event, so a stop ends it at once instead
// of after the rest of a period; the stop is also checked before the first push.
TEST_F(FrameKeeper, WaitsOutItsPeriodOnTheStopEventAndEndsWhenItIsSet)
{
    {
        ImportHook wait(nullptr, "WaitForSingleObject", &RecordKeeperWait);
        StartKeeper();
        ASSERT_TRUE(WaitForIterations(2));
        SetEvent(m_stop.Get());
        m_keeper.join();
    }
    ASSERT_GE(g_keeperWaits.size(), 4u);
    EXPECT_EQ(std::make_pair(m_stop.Get(), DWORD{0}), g_keeperWaits.front());
    for (size_t i = 1; i < g_keeperWaits.size(); ++i)
        EXPECT_EQ(std::make_pair(m_stop.Get(), DWORD{500}), g_keeperWaits[i]) << "wait " << i;
}

// The shell's keeper, as the shell starts it: its thread and stop event, as CreateThread got
// them. Its period waits on that event are made endless, so that only the event can end the
// keeper before Stop gives up on it: no timing decides the outcome.
HANDLE g_shellKeeperStop = nullptr;
tsmb::UniqueHandle g_shellKeeperThread;  // the test's own copy of the handle
HANDLE g_shellKeeperInPeriod = nullptr;

HANDLE WINAPI RecordKeeperThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                 LPVOID parameter, DWORD flags, LPDWORD id)
{
    // Known before the thread runs: its first period may begin before CreateThread returns.
    if (start == &ambrel::KeepBrowserFrameAtBottom)
        g_shellKeeperStop = static_cast<HANDLE>(parameter);
    HANDLE thread = testsupport::RealExport<decltype(&CreateThread)>(L"kernel32.dll", "CreateThread")(
        security, stack, start, parameter, flags, id);
    if (thread && start == &ambrel::KeepBrowserFrameAtBottom)
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), g_shellKeeperThread.Put(), SYNCHRONIZE, FALSE,
                        0);
    return thread;
}

DWORD RealWait(HANDLE handle, DWORD milliseconds)
{
    return testsupport::RealExport<decltype(&WaitForSingleObject)>(L"kernel32.dll", "WaitForSingleObject")(
        handle, milliseconds);
}

DWORD WINAPI EndlessKeeperPeriod(HANDLE handle, DWORD milliseconds)
{
    if (handle == g_shellKeeperStop && milliseconds != 0) {
        SetEvent(g_shellKeeperInPeriod);
        milliseconds = INFINITE;
    }
    return RealWait(handle, milliseconds);
}

TEST_F(FrameKeeper, ShellsKeeper_StopEndsItInTheMiddleOfItsPeriod)
{
    g_shellKeeperStop = nullptr;
    g_shellKeeperThread.Close();
    const tsmb::UniqueHandle inPeriod(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_shellKeeperInPeriod = inPeriod.Get();
    bool ranOn = false;
    {
        ImportHook create(nullptr, "CreateThread", &RecordKeeperThread);
        ImportHook wait(nullptr, "WaitForSingleObject", &EndlessKeeperPeriod);
        ambrel::BrowserFrameKeeper keeper;
        ASSERT_NE(nullptr, g_shellKeeperThread.Get());
        ASSERT_EQ(WAIT_OBJECT_0, RealWait(g_shellKeeperInPeriod, 10000)) << "the keeper never began a period";
        keeper.Stop();
        ranOn = RealWait(g_shellKeeperThread.Get(), 0) == WAIT_TIMEOUT;
        if (ranOn) {
            // Stop gave up on it and left its event open: end it here.
            SetEvent(g_shellKeeperStop);
            RealWait(g_shellKeeperThread.Get(), 10000);
        }
    }
    EXPECT_FALSE(ranOn) << "the keeper still ran when Stop returned: its stop event was not set, and a keeper that "
                           "is not told runs on at least to the end of its period";
    g_shellKeeperThread.Close();
}

// ---- The whole shell in-process, with the browser launch and the log-off hooked ------------

std::vector<std::string> g_logOffs;

BOOL WINAPI RecordExitWindowsEx(UINT flags, DWORD reason)
{
    std::ostringstream call;
    call << "ExitWindowsEx " << flags << " " << reason;
    g_logOffs.push_back(call.str());
    OutputDebugStringA(call.str().c_str());
    return TRUE;
}

HINSTANCE WINAPI IgnoreShellExecuteW(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)
{
    return reinterpret_cast<HINSTANCE>(33);
}

struct LogOffCase {
    const char* name;
    std::function<void(const ScratchValue&)> arrange;
    bool logsOff;
};

class ShellEnd : public ::testing::TestWithParam<LogOffCase> {
protected:
    void SetUp() override
    {
        EnableTracing();
        g_logOffs.clear();
    }
    testsupport::CardServiceReset m_service;
    ShellConfiguration m_config;
    ImportHook m_shell{nullptr, "ShellExecuteW", &IgnoreShellExecuteW};
    ImportHook m_exit{nullptr, "ExitWindowsEx", &RecordExitWindowsEx};
    testsupport::EventCapture m_events;
};

TEST_P(ShellEnd, RequestsTheLogOffOnlyWhenConfiguredAndBeforeTheMonitorStops)
{
    GetParam().arrange(m_config.autoLogOff);
    testsupport::TraceCapture trace;

    // No browser ever runs, so the first cycle is short and the shell ends.
    EXPECT_EQ(0, ambrel::RunShell());

    const std::vector<std::string> lines = trace.Lines();
    const auto stop = std::find(lines.begin(), lines.end(),
                                "SCardAmbrel:SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread: "
                                "executing...");
    ASSERT_NE(lines.end(), stop);
    EXPECT_TRUE(std::find(stop, lines.end(), "SCardAmbrel:SCardAmbrelMonitoringThread::~SCardAmbrelMonitoringThread: "
                                             "executing...") != lines.end());
    // The browser that does not start is in the Event Log, with what follows.
    testsupport::ExpectOutcomes(m_events, L"Ambrel.exe",
                                {{0, GetParam().logsOff ? ORVANE_EVENT_SHORT_RUN_LOG_OFF : ORVANE_EVENT_SHORT_RUN, {}}});
    if (GetParam().logsOff) {
        EXPECT_EQ(std::vector<std::string>{"ExitWindowsEx 0 0"}, g_logOffs);
        EXPECT_LT(std::find(lines.begin(), lines.end(), "ExitWindowsEx 0 0"), stop);
    } else {
        EXPECT_TRUE(g_logOffs.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellEnd,
    ::testing::Values(LogOffCase{"Set", [](const ScratchValue& v) { SetDword(v, 1); }, true},
                      LogOffCase{"AnyNonZero", [](const ScratchValue& v) { SetDword(v, 0x80000000); }, true},
                      LogOffCase{"Zero", [](const ScratchValue& v) { SetDword(v, 0); }, false},
                      LogOffCase{"Missing", [](const ScratchValue&) {}, false},
                      LogOffCase{"String", [](const ScratchValue& v) { v.SetString(L"1"); }, false}),
    [](const ::testing::TestParamInfo<LogOffCase>& info) { return std::string(info.param.name); });

// A worker that does not end within the stop's bound: the shell still ends cleanly, and the
// object stays alive for the thread that may still run, also through the runtime's clean-up.
TEST(ShellStop, WorkerThatDoesNotEnd_IsNeverDestroyedAndTheShellExitsCleanly)
{
    testsupport::CardServiceReset service;
    ASSERT_EQ(0, SimAttachReader(L"Reader A"));
    LogFile trace{L"SHELL_STOP_TRACE", L"ambrel-stop-trace.log"};
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetEnvironmentVariableW(L"SHELL_STOP_TRACE", path, MAX_PATH));
    const std::wstring program = testsupport::BesideTestProgram(L"shell_stop_probe.exe");
    testsupport::ChildProcess probe(program, L"\"" + program + L"\" \"" + path + L"\"");
    ASSERT_TRUE(probe.WaitForExit(60000));
    EXPECT_EQ(0u, probe.ExitCode());

    const std::vector<std::string> lines = trace.Lines();
    const auto has = [&](const std::string& start) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    EXPECT_TRUE(has("SCardAmbrel:scardm::SCardMonitoringThread::WaitForStop:WaitForSingleObject: failed with last error: 1460"));
    EXPECT_TRUE(has("SCardAmbrel:SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread: failed while "
                    "stopping/destroying SCardAmbrelMonitoringThread with exception: "));
    EXPECT_FALSE(has("SCardAmbrel:SCardAmbrelMonitoringThread::~SCardAmbrelMonitoringThread"));
    EXPECT_FALSE(has("SCardAmbrel:scardm::SCardMonitoringThread::~SCardMonitoringThread"));
}

// A browser whose module list cannot be read (a 64-bit one, seen from the 32-bit shell) is
// still waited for: found by its image name.
BOOL WINAPI UnreadableModules(HANDLE, HMODULE*, DWORD, LPDWORD)
{
    SetLastError(ERROR_PARTIAL_COPY);
    return FALSE;
}

TEST(ShellWait, BrowserOfTheOtherBitnessIsWaitedForByItsImageName)
{
    const std::wstring program = testsupport::BesideTestProgram(L"iexplore.exe");
    testsupport::ChildProcess browser(program, L"\"" + program + L"\" iexplore-lifetime-ms=1500");
    ASSERT_NE(nullptr, browser.WaitForWindow(L"IEFrame", 60000));
    ImportHook modules(nullptr, "EnumProcessModules", &UnreadableModules);
    EXPECT_TRUE(ambrel::WaitForBrowserProcesses());
    EXPECT_TRUE(browser.WaitForExit(0)) << "returned while the browser still ran";
}

// ---- The real program with the browser stand-in -------------------------------------------

struct BrowserEvent {
    std::string kind;  // "start" or "end"
    DWORD pid = 0;
    std::string role;       // "main" or "extra"
    std::string arguments;  // start: the command line after the program name
    DWORD tick = 0;         // end: when it ended
};

std::vector<BrowserEvent> ParseBrowserLog(const std::vector<std::string>& lines)
{
    std::vector<BrowserEvent> events;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        BrowserEvent event;
        in >> event.kind >> event.pid >> event.role;
        if (event.kind == "start") {
            std::getline(in, event.arguments);
        } else {
            std::string at;
            in >> at >> event.tick;
        }
        events.push_back(event);
    }
    return events;
}

// The URL each main browser process was started on (the text after " -k ").
std::vector<std::string> LaunchedUrls(const std::vector<BrowserEvent>& events)
{
    std::vector<std::string> urls;
    for (const BrowserEvent& e : events) {
        if (e.kind != "start" || e.role != "main")
            continue;
        const size_t at = e.arguments.find(" -k ");
        urls.push_back(at == std::string::npos ? "(no -k)" : e.arguments.substr(at + 4));
    }
    return urls;
}

class ShellProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(L"IEXPLORE_LIFETIME_MS", L"100");
        m_config.desktopUrl.SetString(kDeskUrl);
        m_config.resetUrl.SetString(kResetUrl);
    }
    void TearDown() override { SetEnvironmentVariableW(L"IEXPLORE_LIFETIME_MS", nullptr); }

    // Runs Ambrel.exe to its end; returns the tick count at which it ended.
    DWORD RunAmbrel(DWORD timeoutMs = 30000)
    {
        const std::wstring program = testsupport::BesideTestProgram(L"Ambrel.exe");
        testsupport::ChildProcess shell(program, L"\"" + program + L"\"");
        EXPECT_TRUE(shell.WaitForExit(timeoutMs)) << "the shell did not end";
        const DWORD ended = GetTickCount();
        EXPECT_EQ(0u, shell.ExitCode());
        return ended;
    }

    testsupport::CardServiceReset m_service;
    ShellConfiguration m_config;
    LogFile m_browserLog{L"IEXPLORE_LOG", L"ambrel-browser.log"};
};

struct ProgramCase {
    const char* name;
    std::function<void(const ShellConfiguration&)> arrange;
    std::vector<std::string> urls;
    bool flagLeft;
};

class ShellProgramLoop : public ShellProgram, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ShellProgramLoop, LaunchesAsConfiguredAndEndsAfterAShortRun)
{
    const ProgramCase& c = GetParam();
    c.arrange(m_config);

    RunAmbrel();

    EXPECT_EQ(c.urls, LaunchedUrls(ParseBrowserLog(m_browserLog.Lines())));
    EXPECT_EQ(c.flagLeft, m_config.ResetFlagPresent());
}

const std::string kDesk = Narrow(kDeskUrl);

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellProgramLoop,
    ::testing::Values(
        ProgramCase{"NormalUrl", [](const ShellConfiguration&) {}, {kDesk}, false},
        // The reset page lives past 2 s, so the shell starts the browser again, on the normal URL.
        ProgramCase{"ResetConsumedByOneLaunch", [](const ShellConfiguration& c) { SetDword(c.resetFlag, 1); },
                    {Narrow(kResetUrl), kDesk}, false},
        ProgramCase{"ResetFlagZero", [](const ShellConfiguration& c) { SetDword(c.resetFlag, 0); }, {kDesk}, false},
        ProgramCase{"ResetFlagString", [](const ShellConfiguration& c) { c.resetFlag.SetString(L"1"); }, {kDesk},
                    true},
        ProgramCase{"MultiString",
                    [](const ShellConfiguration& c) { SetMultiString(c.desktopUrl, {kDeskUrl, L"http://b.example/"}); },
                    {kDesk}, false},
        ProgramCase{"ExpandString", [](const ShellConfiguration& c) { c.desktopUrl.SetString(kDeskUrl, REG_EXPAND_SZ); },
                    {""}, false}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST_F(ShellProgram, WaitsForEveryBrowserProcessBeforeTheNextLaunch)
{
    SetDword(m_config.resetFlag, 1);
    m_config.resetUrl.SetString(
        L"http://reset.example/?iexplore-lifetime-ms=100&iexplore-extra=2&iexplore-extra-lifetime-ms=2300");

    RunAmbrel();

    const std::vector<BrowserEvent> events = ParseBrowserLog(m_browserLog.Lines());
    ASSERT_EQ(2u, LaunchedUrls(events).size());
    size_t relaunch = 0;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == "start" && events[i].role == "main")
            relaunch = i;
    // Both extra processes (which outlive the first main one) ended before the second launch.
    const auto extraEnd = [](const BrowserEvent& e) { return e.kind == "end" && e.role == "extra"; };
    EXPECT_EQ(2, std::count_if(events.begin(), events.begin() + relaunch, extraEnd));
    EXPECT_EQ(0, std::count_if(events.begin() + relaunch, events.end(), extraEnd));
}

// Browser image names compare without letter case: a process of "IEXPLORE.EXE" that outlives
// the launched browser makes that run a long one, so the shell launches again after it ended.
TEST_F(ShellProgram, WaitsForABrowserImageNamedInOtherLetterCase)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring upper = std::wstring(folder) + L"IEXPLORE.EXE";
    ASSERT_TRUE(CopyFileW(testsupport::BesideTestProgram(L"iexplore.exe").c_str(), upper.c_str(), FALSE));
    {
        testsupport::ChildProcess other(upper, L"\"" + upper + L"\" iexplore-extra-process iexplore-lifetime-ms=3000");
        // Running once it has logged its start.
        const ULONGLONG deadline = GetTickCount64() + 30000;
        while (m_browserLog.Lines().empty() && GetTickCount64() < deadline && !other.WaitForExit(20)) {
        }
        ASSERT_EQ(1u, m_browserLog.Lines().size());

        RunAmbrel();

        const std::vector<BrowserEvent> events = ParseBrowserLog(m_browserLog.Lines());
        ASSERT_EQ(2u, LaunchedUrls(events).size()) << "the shell did not wait for IEXPLORE.EXE";
        const auto otherEnd = std::find_if(events.begin(), events.end(), [&](const BrowserEvent& e) {
            return e.kind == "end" && e.pid == other.Id();
        });
        const auto relaunch = std::find_if(events.rbegin(), events.rend(), [](const BrowserEvent& e) {
            return e.kind == "start" && e.role == "main";
        });
        EXPECT_LT(otherEnd - events.begin(), events.rend() - relaunch - 1);
    }
    DeleteFileW(upper.c_str());
}

TEST_F(ShellProgram, SecondInstanceInTheSessionReturnsAtOnce)
{
    const tsmb::UniqueHandle firstInstance(CreateMutexW(nullptr, FALSE, L"TSM_AmbrelExe"));
    ASSERT_NE(nullptr, firstInstance.Get());

    RunAmbrel(10000);

    EXPECT_TRUE(m_browserLog.Lines().empty()) << "the second instance started a browser";
}

TEST_F(ShellProgram, EndsPromptlyAfterTheBrowser)
{
    const DWORD shellEnded = RunAmbrel();

    const std::vector<BrowserEvent> events = ParseBrowserLog(m_browserLog.Lines());
    ASSERT_FALSE(events.empty());
    ASSERT_EQ("end", events.back().kind);
    // Keeper and monitor stop; generous for slow machines.
    EXPECT_LT(shellEnded - events.back().tick, 3000u);
}

}  // namespace
