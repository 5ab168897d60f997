// The soak run in the suite: fixed seeds, no mismatch and no growth; the first mismatch (seed,
// step, action, expected, seen) ends the run with a failure. The quick form runs every time;
// the long one, 10 000 steps, only when asked for (see CMakeLists.txt).
// The report comes through a file: the browser the shell starts would keep a pipe open.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Process.h"

namespace {

struct SoakRun {
    const char* name;
    const wchar_t* seeds;
    int steps;
    DWORD boundMs;  // for a run that hangs, well inside ctest's time-out
};

class Soak : public ::testing::TestWithParam<SoakRun> {};

TEST_P(Soak, FixedSeedsNoMismatchNoGrowth)
{
    const SoakRun& run = GetParam();
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring report = std::wstring(folder) + L"soak-report.txt";
    DeleteFileW(report.c_str());
    const std::wstring program = testsupport::BesideTestProgram(L"soak.exe");
    testsupport::ChildProcess soak(program, L"\"" + program + L"\" --seeds " + run.seeds + L" --steps " +
                                                std::to_wstring(run.steps) + L" --report \"" + report + L"\"");
    const bool ended = soak.WaitForExit(run.boundMs);
    std::ifstream file(report.c_str());
    std::stringstream text;
    text << file.rdbuf();
    printf("%s", text.str().c_str());
    ASSERT_TRUE(ended) << "the soak run did not end; its report so far:\n" << text.str();
    EXPECT_EQ(0u, soak.ExitCode()) << text.str();
    EXPECT_NE(std::string::npos, text.str().find(" 0 mismatches")) << text.str();
    DeleteFileW(report.c_str());
}

INSTANTIATE_TEST_SUITE_P(Quick, Soak, ::testing::Values(SoakRun{"Quick", L"11,12,13,14", 40, 240000}),
                         [](const ::testing::TestParamInfo<SoakRun>& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Long, Soak,
                         ::testing::Values(SoakRun{"TenThousandSteps", L"101,102,103,104", 2500, 7000000}),
                         [](const ::testing::TestParamInfo<SoakRun>& info) { return std::string(info.param.name); });

}  // namespace
