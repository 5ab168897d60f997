// The soak run's CI variant: fixed seeds, about a minute, no mismatch and no growth.
#include <gtest/gtest.h>

#include "Process.h"

TEST(Soak, FixedSeedsNoMismatchNoGrowth)
{
    const testsupport::ProcessResult result =
        testsupport::RunBeside(L"soak.exe", L"--seeds 11,12,13,14 --steps 120", 280000);
    printf("%s", result.output.c_str());
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find(" 0 mismatches")) << result.output;
}
