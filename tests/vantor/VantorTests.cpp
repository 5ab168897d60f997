// vantor: the "restart" command ends every browser process; everything else ends nothing.
#include "VantorCommand.h"

#include <psapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ImportHook.h"
#include "Process.h"
#include "ProcessImage.h"

using testsupport::BesideTestProgram;
using testsupport::ChildProcess;
using testsupport::ImportHook;

namespace {

const DWORD kExitFailure = 0xFFFFFFFF;

// A browser stand-in (or a copy under another image name) running until it is ended.
std::unique_ptr<ChildProcess> StartBrowserLike(const std::wstring& program)
{
    auto process = std::make_unique<ChildProcess>(program, L"\"" + program + L"\"");
    // Its frame window exists once it runs its message loop; generous for a loaded machine.
    EXPECT_NE(nullptr, process->WaitForWindow(L"IEFrame", 60000));
    return process;
}

std::wstring BrowserPath() { return BesideTestProgram(L"iexplore.exe"); }

// The stand-in under a name that merely starts with the browser's.
// Copied once per run: rewriting the image of a process that has only just ended can leave
// a file that does not start.
std::wstring OtherImagePath()
{
    static const std::wstring path = [] {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        const std::wstring copy = std::wstring(folder) + L"iexplorer.exe";
        EXPECT_TRUE(CopyFileW(BrowserPath().c_str(), copy.c_str(), FALSE));
        return copy;
    }();
    return path;
}

DWORD RunVantor(const std::wstring& commandText)
{
    const std::wstring program = BesideTestProgram(L"vantor.exe");
    // The start-up code skips the program name and the blanks after it; an empty text gets
    // no blank so that the command is really empty.
    const std::wstring commandLine = L"\"" + program + L"\"" + (commandText.empty() ? L"" : L" " + commandText);
    ChildProcess vantor(program, commandLine);
    EXPECT_TRUE(vantor.WaitForExit(20000));
    return vantor.ExitCode();
}

struct CommandCase {
    const wchar_t* text;
    bool restarts;
};

class VantorCommandLine : public ::testing::TestWithParam<CommandCase> {};

TEST_P(VantorCommandLine, EndsBrowsersOnlyForTheRestartCommand)
{
    const CommandCase& c = GetParam();
    auto first = StartBrowserLike(BrowserPath());
    auto second = StartBrowserLike(BrowserPath());
    auto other = StartBrowserLike(OtherImagePath());

    const DWORD exitCode = RunVantor(c.text);

    if (c.restarts) {
        EXPECT_EQ(0u, exitCode);
        EXPECT_TRUE(first->WaitForExit(10000));
        EXPECT_TRUE(second->WaitForExit(10000));
    } else {
        EXPECT_EQ(kExitFailure, exitCode);
        EXPECT_TRUE(first->IsRunning());
        EXPECT_TRUE(second->IsRunning());
    }
    EXPECT_TRUE(other->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Commands, VantorCommandLine,
                         ::testing::Values(CommandCase{L"restart", true}, CommandCase{L"RESTART", true},
                                           CommandCase{L"ReStArT", true}, CommandCase{L"vantor:restart", true},
                                           CommandCase{L"VANTOR:RESTART", true}, CommandCase{L"Vantor:reStart", true},
                                           CommandCase{L"restart/", false}, CommandCase{L"vantor:restart/", false},
                                           CommandCase{L"\"restart\"", false}, CommandCase{L"restart ", false},
                                           CommandCase{L"vantor: restart", false},
                                           CommandCase{L"vantor:vantor:restart", false},
                                           CommandCase{L"restar", false}, CommandCase{L"", false},
                                           CommandCase{L"vantor:", false}));

TEST(Vantor, RestartWithNoBrowserRunningExitsWithZero)
{
    EXPECT_EQ(0u, RunVantor(L"restart"));
}

// Snapshot hooks: fake identifiers of processes that do not exist come first, so the real
// ones (and the browsers among them) are seen only when the whole list was read.
std::vector<DWORD> g_bufferSizes;
DWORD g_snapshotTotal = 0;
bool g_snapshotFails = false;
DWORD g_unopenableProcess = 0;
std::vector<DWORD> g_openAccess;

BOOL WINAPI FakeEnumProcesses(DWORD* ids, DWORD bufferSize, DWORD* returned)
{
    g_bufferSizes.push_back(bufferSize);
    if (g_snapshotFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<DWORD> real(4096);
    DWORD realBytes = 0;
    testsupport::RealExport<decltype(&EnumProcesses)>(L"psapi.dll", "EnumProcesses")(
        real.data(), static_cast<DWORD>(real.size() * sizeof(DWORD)), &realBytes);
    real.resize(realBytes / sizeof(DWORD));
    std::vector<DWORD> all;
    for (DWORD i = 0; real.size() + all.size() < g_snapshotTotal; ++i)
        all.push_back(0x7FFF0000u + 4 * i);
    all.insert(all.end(), real.begin(), real.end());
    const DWORD fit = std::min<DWORD>(static_cast<DWORD>(all.size()), bufferSize / sizeof(DWORD));
    std::copy(all.begin(), all.begin() + fit, ids);
    *returned = fit * sizeof(DWORD);
    return TRUE;
}

HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    if (id == g_unopenableProcess) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (id < 0x7FFF0000u)
        g_openAccess.push_back(access | (inherit ? 0x80000000u : 0));
    return testsupport::RealExport<decltype(&OpenProcess)>(L"kernel32.dll", "OpenProcess")(access, inherit, id);
}

class VantorSnapshot : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_bufferSizes.clear();
        g_openAccess.clear();
        g_snapshotTotal = 0;
        g_snapshotFails = false;
        g_unopenableProcess = 0;
    }
    ImportHook m_enumHook{nullptr, "EnumProcesses", &FakeEnumProcesses};
    ImportHook m_openHook{nullptr, "OpenProcess", &FakeOpenProcess};
};

TEST_F(VantorSnapshot, GrowsIn1024ByteStepsUntilTheListFitsAndFindsEveryBrowser)
{
    // 256 identifiers fill 1024 bytes exactly: a full buffer always means one more round.
    for (DWORD total : {256u, 700u}) {
        SCOPED_TRACE(total);
        g_bufferSizes.clear();
        g_snapshotTotal = total;
        auto first = StartBrowserLike(BrowserPath());
        auto second = StartBrowserLike(BrowserPath());

        EXPECT_EQ(0, vantor::HandleCommand(L"restart"));

        std::vector<DWORD> expected;
        for (DWORD size = 1024; size <= total * sizeof(DWORD); size += 1024)
            expected.push_back(size);
        expected.push_back(expected.empty() ? 1024 : expected.back() + 1024);
        EXPECT_EQ(expected, g_bufferSizes);
        EXPECT_TRUE(first->WaitForExit(10000));
        EXPECT_TRUE(second->WaitForExit(10000));
    }
}

TEST_F(VantorSnapshot, OpensEachProcessForQueryReadAndTerminateWithoutInheritance)
{
    auto browser = StartBrowserLike(BrowserPath());
    EXPECT_EQ(0, vantor::HandleCommand(L"restart"));
    ASSERT_FALSE(g_openAccess.empty());
    for (DWORD access : g_openAccess)
        EXPECT_EQ(0x411u, access);
}

TEST_F(VantorSnapshot, FailingSnapshotExitsWithMinusOneAndEndsNothing)
{
    auto browser = StartBrowserLike(BrowserPath());
    g_snapshotFails = true;
    EXPECT_EQ(-1, vantor::HandleCommand(L"vantor:restart"));
    EXPECT_TRUE(browser->IsRunning());
}

TEST_F(VantorSnapshot, BrowserThatCannotBeOpenedIsLeftRunning)
{
    auto protectedBrowser = StartBrowserLike(BrowserPath());
    auto browser = StartBrowserLike(BrowserPath());
    g_unopenableProcess = protectedBrowser->Id();

    EXPECT_EQ(0, vantor::HandleCommand(L"restart"));

    EXPECT_TRUE(browser->WaitForExit(10000));
    EXPECT_TRUE(protectedBrowser->IsRunning());
}

// A 32-bit program cannot read the module list of a 64-bit one (ERROR_PARTIAL_COPY); the
// browser is then recognised by its image name, still without letter case.
BOOL WINAPI UnreadableModules(HANDLE, HMODULE*, DWORD, LPDWORD)
{
    SetLastError(ERROR_PARTIAL_COPY);
    return FALSE;
}

struct ImageCase {
    const wchar_t* imageName;
    bool ended;
};

class VantorOtherBitness : public ::testing::TestWithParam<ImageCase> {};

TEST_P(VantorOtherBitness, RecognisesTheBrowserByItsImageName)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    // A folder per case: names that differ only in letter case are one file.
    static int cases = 0;
    const std::wstring directory = std::wstring(folder) + L"bitness-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++cases);
    CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring path = directory + L"\\" + GetParam().imageName;
    ASSERT_TRUE(CopyFileW(BrowserPath().c_str(), path.c_str(), FALSE));
    {
        auto browser = StartBrowserLike(path);
        ImportHook modules(nullptr, "EnumProcessModules", &UnreadableModules);
        EXPECT_EQ(0, vantor::HandleCommand(L"restart"));
        EXPECT_EQ(GetParam().ended, browser->WaitForExit(GetParam().ended ? 10000 : 300));
    }
    DeleteFileW(path.c_str());
    RemoveDirectoryW(directory.c_str());
}

INSTANTIATE_TEST_SUITE_P(Images, VantorOtherBitness,
                         ::testing::Values(ImageCase{L"iexplore.exe", true}, ImageCase{L"IExplore.EXE", true},
                                           ImageCase{L"iexplorer.exe", false}));

TEST(VantorModuleNames, ActionSeesTheBaseNameOfThisProgram)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring ownName = wcsrchr(path, L'\\') + 1;
    bool seen = false;
    EXPECT_TRUE(tsmb::ForEachProcessBaseName(0, [&](const wchar_t* baseName, HANDLE process) {
        if (GetProcessId(process) == GetCurrentProcessId())
            seen = _wcsicmp(baseName, ownName.c_str()) == 0;
    }));
    EXPECT_TRUE(seen);
}

// One rule for names the system treats without letter case (the shell's and vantor's browser
// image, vantor's command, Tumblet's client agent): the platform's ordinal comparison, which
// upper-cases beyond ASCII too and never matches a part of a name.
struct NameCase {
    const wchar_t* text;
    const wchar_t* expected;
    bool equal;
};

class NameRule : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameRule, ComparesWholeNamesLetterCaseAside)
{
    EXPECT_EQ(GetParam().equal, tsmb::EqualsIgnoringCase(GetParam().text, GetParam().expected));
    if (wcscmp(GetParam().expected, L"iexplore.exe") == 0) {
        EXPECT_EQ(GetParam().equal, tsmb::IsBrowserImage(GetParam().text));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameRule,
    ::testing::Values(NameCase{L"IEXPLORE.EXE", L"iexplore.exe", true}, NameCase{L"iexplore.exe", L"iexplore.exe", true},
                      NameCase{L"Iexplore.Exe", L"iexplore.exe", true}, NameCase{L"iexplore.ex", L"iexplore.exe", false},
                      NameCase{L"xiexplore.exe", L"iexplore.exe", false},
                      NameCase{L"iexplore.exe ", L"iexplore.exe", false}, NameCase{L"", L"iexplore.exe", false},
                      NameCase{L"\u00C4PFEL.EXE", L"\u00E4pfel.exe", true},
                      NameCase{L"\u0418E.EXE", L"\u0438e.exe", true}, NameCase{L"ie.exe", L"i\u0435.exe", false}));

}  // namespace
