// Tumblet: start condition, the window procedure's actions (with every privileged call hooked,
// so nothing is locked, logged off or powered down), and the real program under Xvfb.
#include "Tumblet.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "EventCapture.h"
#include "ImportHook.h"
#include "Process.h"
#include "ScratchRegistry.h"
#include "UniqueHandle.h"

using testsupport::ImportHook;
using testsupport::ScratchValue;

namespace {

const wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kShellMapping[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\system.ini\\boot";
const wchar_t kUserMapping[] = L"USR:Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// The three "Shell" values of the start condition, removed first and restored last.
class ShellValues {
public:
    // Read without a view flag.
    ScratchValue mapping{HKEY_LOCAL_MACHINE, kShellMapping, L"Shell", testsupport::kUnflaggedView};
    ScratchValue user{HKEY_CURRENT_USER, kWinlogon, L"Shell", testsupport::kUnflaggedView};
    ScratchValue machine{HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", testsupport::kUnflaggedView};
};

struct ConditionCase {
    const char* name;
    const wchar_t* mapping;  // nullptr: value missing
    const wchar_t* user;
    const wchar_t* machine;
    bool expected;
};

class TumbletStartCondition : public ::testing::TestWithParam<ConditionCase> {};

TEST_P(TumbletStartCondition, FollowsTheShellValues)
{
    const ConditionCase& c = GetParam();
    ShellValues shell;
    if (c.mapping)
        shell.mapping.SetString(c.mapping);
    if (c.user)
        shell.user.SetString(c.user);
    if (c.machine)
        shell.machine.SetString(c.machine);
    EXPECT_EQ(c.expected, tumblet::ReadClientAgentShellCondition());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TumbletStartCondition,
    ::testing::Values(
        ConditionCase{"MachineAgent", nullptr, nullptr, L"orbiter.exe", true},
        ConditionCase{"MachineAgentAnyCaseAnywhere", nullptr, nullptr, L"\"C:\\Agent\\ORBITER.EXE\" /kiosk", true},
        ConditionCase{"MachineExplorer", nullptr, nullptr, L"explorer.exe", false},
        ConditionCase{"NothingSet", nullptr, nullptr, nullptr, false},
        ConditionCase{"UserAgentWithoutMapping", nullptr, L"orbiter.exe", L"explorer.exe", false},
        ConditionCase{"MappedUserDecidesYes", kUserMapping, L"C:\\x\\Orbiter.exe", L"explorer.exe", true},
        ConditionCase{"MappedUserDecidesNo", kUserMapping, L"explorer.exe", L"orbiter.exe", false},
        ConditionCase{"MappedUserMissingMachineDecides", kUserMapping, nullptr, L"orbiter.exe", true},
        ConditionCase{"MappedUserMissingMachineMissing", kUserMapping, nullptr, nullptr, false},
        ConditionCase{"MappingLowerCase", L"usr:Software\\x", L"orbiter.exe", nullptr, true},
        ConditionCase{"MappingToSystem", L"SYS:Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"orbiter.exe",
                      L"explorer.exe", false}),
    [](const ::testing::TestParamInfo<ConditionCase>& info) { return std::string(info.param.name); });

TEST(TumbletStartConditionValues, AnyValueTypeAndAMissingTerminatorAreRead)
{
    ShellValues shell;
    shell.machine.SetString(L"%ProgramFiles%\\Orbiter\\orbiter.exe", REG_EXPAND_SZ);
    EXPECT_TRUE(tumblet::ReadClientAgentShellCondition());

    const wchar_t unterminated[] = {L'o', L'r', L'b', L'i', L't', L'e', L'r', L'.', L'e', L'x', L'e'};
    shell.machine.Set(REG_BINARY, unterminated, sizeof(unterminated));
    EXPECT_TRUE(tumblet::ReadClientAgentShellCondition());
}

// ---- Window procedure, in-process -------------------------------------------------------

std::vector<std::string> g_calls;
bool g_failOpenToken = false;
bool g_failAdjust = false;
bool g_failExit = false;
bool g_failPower = false;

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", value);
    return text;
}

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access, HANDLE* token)
{
    g_calls.push_back("OpenProcessToken " + Hex(access));
    if (g_failOpenToken) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return testsupport::RealExport<decltype(&OpenProcessToken)>(L"advapi32.dll", "OpenProcessToken")(process, access,
                                                                                                     token);
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD, TOKEN_PRIVILEGES*,
                                      DWORD*)
{
    LUID shutdown = {};
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown);
    const bool asExpected = !disableAll && state && state->PrivilegeCount == 1 &&
                            state->Privileges[0].Attributes == SE_PRIVILEGE_ENABLED &&
                            state->Privileges[0].Luid.LowPart == shutdown.LowPart &&
                            state->Privileges[0].Luid.HighPart == shutdown.HighPart;
    g_calls.push_back(asExpected ? "AdjustTokenPrivileges SeShutdownPrivilege" : "AdjustTokenPrivileges unexpected");
    return g_failAdjust ? FALSE : TRUE;
}

BOOL WINAPI FakeExitWindowsEx(UINT flags, DWORD reason)
{
    g_calls.push_back("ExitWindowsEx " + std::to_string(flags) + " " + Hex(reason));
    return g_failExit ? FALSE : TRUE;
}

BOOL WINAPI FakeSetSystemPowerState(BOOL suspend, BOOL force)
{
    g_calls.push_back("SetSystemPowerState " + std::to_string(suspend) + " " + std::to_string(force));
    return g_failPower ? FALSE : TRUE;
}

BOOL WINAPI FakeLockWorkStation()
{
    g_calls.push_back("LockWorkStation");
    return TRUE;
}

const std::string kPrivilege[] = {"OpenProcessToken 0x00000028", "AdjustTokenPrivileges SeShutdownPrivilege"};

// The privilege steps followed by the action.
std::vector<std::string> Privileged(const std::string& action)
{
    return {kPrivilege[0], kPrivilege[1], action};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class TumbletWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static const bool registered = tumblet::RegisterTumbletClass(GetModuleHandleW(nullptr));
        ASSERT_TRUE(registered);
        s_window = tumblet::CreateTumbletWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(nullptr, s_window);
    }
    static void TearDownTestSuite() { DestroyWindow(s_window); }

    void SetUp() override
    {
        // The lock-pending flag lives as long as the process: start each test without it.
        if (tumblet::IsLockPending())
            LogOff(1);
        g_calls.clear();
        g_failOpenToken = g_failAdjust = g_failExit = g_failPower = false;
        m_events.Clear();
    }

    void Lock() { SendMessageW(s_window, RegisterWindowMessageW(L"TessamCascadingLockMessage"), 7, 9); }
    void LogOff(WPARAM kind) { SendMessageW(s_window, RegisterWindowMessageW(L"TessamCascadingLogOffMessage"), kind, 0); }

    static HWND s_window;
    ImportHook m_token{nullptr, "OpenProcessToken", &FakeOpenProcessToken};
    ImportHook m_adjust{nullptr, "AdjustTokenPrivileges", &FakeAdjustTokenPrivileges};
    ImportHook m_exit{nullptr, "ExitWindowsEx", &FakeExitWindowsEx};
    ImportHook m_power{nullptr, "SetSystemPowerState", &FakeSetSystemPowerState};
    ImportHook m_lock{nullptr, "LockWorkStation", &FakeLockWorkStation};
    testsupport::EventCapture m_events;
};
HWND TumbletWindow::s_window = nullptr;

const testsupport::EventEntry kLocked{0, ORVANE_EVENT_LOCKED, {}}, kLoggedOff{0, ORVANE_EVENT_LOGGED_OFF, {}};

TEST_F(TumbletWindow, LockThenLogOffStaysLoggedOnAndTheNextLogOffLogsOff)
{
    Lock();
    EXPECT_TRUE(tumblet::IsLockPending());
    LogOff(1);
    EXPECT_EQ(std::vector<std::string>{"LockWorkStation"}, g_calls);
    EXPECT_FALSE(tumblet::IsLockPending());
    LogOff(1);
    EXPECT_EQ(Concat({"LockWorkStation"}, Privileged("ExitWindowsEx 4 0x00000000")), g_calls);
    testsupport::ExpectOutcomes(m_events, L"Tumblet.exe", {kLocked, kLoggedOff});
}

TEST_F(TumbletWindow, LogOffKindsZeroOneAndFortyTwoAllConsumeTheLockFlag)
{
    for (WPARAM kind : {0u, 1u, 42u}) {
        SCOPED_TRACE(kind);
        g_calls.clear();
        LogOff(kind);
        EXPECT_EQ(Privileged("ExitWindowsEx 4 0x00000000"), g_calls);
        Lock();
        LogOff(kind);
        EXPECT_FALSE(tumblet::IsLockPending());
    }
}

struct KindCase {
    WPARAM kind;
    const char* action;  // nullptr: nothing happens
    const wchar_t* logged;  // the power action in the Event Log
};

class TumbletLogOffKind : public TumbletWindow, public ::testing::WithParamInterface<KindCase> {};

TEST_P(TumbletLogOffKind, ActsAsTheTableSaysAndLeavesTheLockFlagAlone)
{
    const KindCase& c = GetParam();
    Lock();
    g_calls.clear();
    LogOff(c.kind);
    EXPECT_EQ(c.action ? Privileged(c.action) : std::vector<std::string>{}, g_calls);
    EXPECT_TRUE(tumblet::IsLockPending());
    std::vector<testsupport::EventEntry> expected{kLocked};
    if (c.logged)
        expected.push_back({0, ORVANE_EVENT_POWER_ACTION, {c.logged}});
    testsupport::ExpectOutcomes(m_events, L"Tumblet.exe", expected);
}

INSTANTIATE_TEST_SUITE_P(Table, TumbletLogOffKind,
                         ::testing::Values(KindCase{3, "ExitWindowsEx 5 0x80020013", L"a shut-down"},
                                           KindCase{4, "ExitWindowsEx 6 0x80020013", L"a restart"},
                                           KindCase{5, "SetSystemPowerState 1 1", L"suspend"},
                                           KindCase{6, "SetSystemPowerState 0 1", L"hibernation"},
                                           KindCase{2, nullptr, nullptr}, KindCase{7, nullptr, nullptr},
                                           KindCase{41, nullptr, nullptr}, KindCase{43, nullptr, nullptr},
                                           KindCase{0x10000, nullptr, nullptr}));

TEST_F(TumbletWindow, FailingExitBecomesOneForcedLogOffAttemptOnly)
{
    g_failExit = true;
    LogOff(3);
    EXPECT_EQ(Concat(Privileged("ExitWindowsEx 5 0x80020013"), Privileged("ExitWindowsEx 4 0x00000000")), g_calls);

    g_calls.clear();
    LogOff(1);
    EXPECT_EQ(Concat(Privileged("ExitWindowsEx 4 0x00000000"), Privileged("ExitWindowsEx 4 0x00000000")), g_calls);
}

TEST_F(TumbletWindow, FailingPowerRequestBecomesAForcedLogOff)
{
    g_failPower = true;
    LogOff(6);
    EXPECT_EQ(Concat(Privileged("SetSystemPowerState 0 1"), Privileged("ExitWindowsEx 4 0x00000000")), g_calls);
    // What was done is the forced log-off, not the hibernation.
    testsupport::ExpectOutcomes(m_events, L"Tumblet.exe", {kLoggedOff});
}

TEST_F(TumbletWindow, FailingPrivilegeNeverReachesTheActionAndIsTriedTwiceAtMost)
{
    g_failAdjust = true;
    LogOff(4);
    EXPECT_EQ(Concat({kPrivilege[0], kPrivilege[1]}, {kPrivilege[0], kPrivilege[1]}), g_calls);

    g_calls.clear();
    g_failAdjust = false;
    g_failOpenToken = true;
    LogOff(5);
    EXPECT_EQ((std::vector<std::string>{kPrivilege[0], kPrivilege[0]}), g_calls);
}

// The two cascading messages cannot be registered (RegisterWindowMessage answers 0): a message
// of that number (WM_NULL, which any program may send) locks nothing, logs nothing off and
// leaves no lock pending. The window state is made once per process: run in a fresh one.
int g_refusedRegistrations = 0;

UINT WINAPI FailingRegisterWindowMessageW(LPCWSTR name)
{
    if (wcsncmp(name, L"TessamCascading", 15) == 0) {
        ++g_refusedRegistrations;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return testsupport::RealExport<decltype(&RegisterWindowMessageW)>(L"user32.dll", "RegisterWindowMessageW")(name);
}

class TumbletUnregistered : public TumbletWindow {
protected:
    static void SetUpTestSuite() {}  // the window is made under the hook
};

TEST_F(TumbletUnregistered, WmNullLocksNothingAndLeavesNoLockPending)
{
    HWND window = nullptr;
    {
        ImportHook hook(nullptr, "RegisterWindowMessageW", &FailingRegisterWindowMessageW);
        ASSERT_TRUE(tumblet::RegisterTumbletClass(GetModuleHandleW(nullptr)));
        window = tumblet::CreateTumbletWindow(GetModuleHandleW(nullptr));
    }
    ASSERT_NE(nullptr, window);
    ASSERT_EQ(2, g_refusedRegistrations) << "run this test in a fresh process";
    for (WPARAM kind : {0u, 1u, 3u}) {
        SCOPED_TRACE(kind);
        SendMessageW(window, WM_NULL, kind, 0);
        EXPECT_EQ(std::vector<std::string>{}, g_calls);
        EXPECT_FALSE(tumblet::IsLockPending());
    }
    testsupport::ExpectOutcomes(m_events, L"Tumblet.exe", {});
    DestroyWindow(window);
}

std::vector<std::string> g_placements;

BOOL WINAPI RecordSetWindowPos(HWND window, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    g_placements.push_back(std::string(after == HWND_BOTTOM ? "bottom " : "other ") + std::to_string(x) + "," +
                           std::to_string(y) + " " + std::to_string(cx) + "x" + std::to_string(cy) + " " +
                           Hex(flags));
    return testsupport::RealExport<decltype(&SetWindowPos)>(L"user32.dll", "SetWindowPos")(window, after, x, y, cx,
                                                                                           cy, flags);
}

TEST_F(TumbletWindow, CreationPlacesTheWindowAtTheBottomOverTheVirtualScreen)
{
    g_placements.clear();
    HWND window = nullptr;
    {
        ImportHook hook(nullptr, "SetWindowPos", &RecordSetWindowPos);
        window = tumblet::CreateTumbletWindow(GetModuleHandleW(nullptr));
    }
    ASSERT_NE(nullptr, window);
    const std::string expected = "bottom " + std::to_string(GetSystemMetrics(SM_XVIRTUALSCREEN)) + "," +
                                 std::to_string(GetSystemMetrics(SM_YVIRTUALSCREEN)) + " " +
                                 std::to_string(GetSystemMetrics(SM_CXVIRTUALSCREEN)) + "x" +
                                 std::to_string(GetSystemMetrics(SM_CYVIRTUALSCREEN)) + " 0x00000040";
    EXPECT_EQ(std::vector<std::string>{expected}, g_placements);
    DestroyWindow(window);
}

// A hidden top-level window of this program, of a class of its own.
HWND CreateTopLevelWindow(const wchar_t* className, const wchar_t* title)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    return CreateWindowExW(0, className, title, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, wc.hInstance, nullptr);
}

TEST(TumbletFindTopLevelWindow, MatchesClassAndTitleExactly)
{
    HWND window = CreateTopLevelWindow(L"TumbletSearchProbe", L"Probe Title");
    ASSERT_NE(nullptr, window);

    EXPECT_EQ(window, tumblet::FindTopLevelWindow(L"TumbletSearchProbe", nullptr));
    EXPECT_EQ(window, tumblet::FindTopLevelWindow(L"TumbletSearchProbe", L"Probe Title"));
    EXPECT_EQ(nullptr, tumblet::FindTopLevelWindow(L"TumbletSearchProbe", L"probe title"));
    EXPECT_EQ(nullptr, tumblet::FindTopLevelWindow(L"tumbletsearchprobe", nullptr));
    EXPECT_EQ(nullptr, tumblet::FindTopLevelWindow(nullptr, L"Probe Title"));
    DestroyWindow(window);
}

// ---- The real program ----------------------------------------------------------------------

class TumbletProgram : public ::testing::Test {
protected:
    std::unique_ptr<testsupport::ChildProcess> Start()
    {
        const std::wstring program = testsupport::BesideTestProgram(L"Tumblet.exe");
        return std::make_unique<testsupport::ChildProcess>(program, L"\"" + program + L"\"");
    }

    // Its window, once the program has created it (nullptr after timeoutMs).
    ShellValues m_shell;
};

TEST_F(TumbletProgram, EndsAtOnceWhenTheAgentIsNotTheShell)
{
    m_shell.machine.SetString(L"explorer.exe");
    auto tumblet = Start();
    ASSERT_TRUE(tumblet->WaitForExit(10000));
    EXPECT_EQ(0u, tumblet->ExitCode());
}

TEST_F(TumbletProgram, RunsOneCopyWithAWindowOverTheScreenAndSignalsALock)
{
    m_shell.machine.SetString(L"C:\\Agent\\Orbiter.exe");
    auto tumblet = Start();
    HWND window = tumblet->WaitForWindow(tumblet::kWindowClass, 10000);
    ASSERT_NE(nullptr, window);
    // Idle means in the message loop: creation and placement are complete.
    ASSERT_TRUE(tumblet->WaitUntilIdle(10000));

    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), rect.left);
    EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), rect.top);
    EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), rect.right - rect.left);
    EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), rect.bottom - rect.top);
    EXPECT_TRUE(IsWindowVisible(window));
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_EQ(WS_EX_TOOLWINDOW, exStyle & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW)) << "would show in the task bar";

    auto second = Start();
    ASSERT_TRUE(second->WaitForExit(10000));
    EXPECT_EQ(0u, second->ExitCode());
    EXPECT_TRUE(tumblet->IsRunning());

    // The client software's side of a lock: its tray window and the unlock-cycle event.
    HWND tray = CreateTopLevelWindow(L"TessamHublineSystemTray", L"SystrayWindowName");
    ASSERT_NE(nullptr, tray);
    const tsmb::UniqueHandle unlockCycle(CreateEventW(nullptr, FALSE, FALSE, L"Local\\WorkStationUnlockCycle"));
    ASSERT_NE(nullptr, unlockCycle.Get());
    const UINT locked = RegisterWindowMessageW(L"WorkStationLocked");

    ASSERT_TRUE(PostMessageW(window, RegisterWindowMessageW(L"TessamCascadingLockMessage"), 0, 0));

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(unlockCycle.Get(), 10000));
    bool delivered = false;
    const DWORD start = GetTickCount();
    while (!delivered && GetTickCount() - start < 10000) {
        MSG msg;
        if (PeekMessageW(&msg, tray, locked, locked, PM_REMOVE))
            delivered = msg.wParam == 0 && msg.lParam == 0;
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_POSTMESSAGE);
    }
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(tumblet->IsRunning());
    DestroyWindow(tray);
}

}  // namespace
