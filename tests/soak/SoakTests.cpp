// The soak run's CI variant: fixed seeds, well under a minute, no mismatch and no growth; the
// first mismatch (seed, step, expected, seen) ends the run with a failure.
// The report comes through a file: the browser the shell starts would keep a pipe open.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Process.h"

TEST(Soak, FixedSeedsNoMismatchNoGrowth)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring report = std::wstring(folder) + L"soak-report.txt";
    DeleteFileW(report.c_str());
    const std::wstring program = testsupport::BesideTestProgram(L"soak.exe");
    testsupport::ChildProcess soak(program, L"\"" + program + L"\" --seeds 11,12,13,14 --steps 120 --report \"" + report +
                                                L"\"");
    // A mismatch ends the run at once; the bound is for a run that hangs, well inside ctest's.
    const bool ended = soak.WaitForExit(240000);
    std::ifstream file(report.c_str());
    std::stringstream text;
    text << file.rdbuf();
    printf("%s", text.str().c_str());
    ASSERT_TRUE(ended) << "the soak run did not end; its report so far:\n" << text.str();
    EXPECT_EQ(0u, soak.ExitCode()) << text.str();
    EXPECT_NE(std::string::npos, text.str().find(" 0 mismatches")) << text.str();
    DeleteFileW(report.c_str());
}
