// A DLL that a program loads and frees again and again leaves nothing behind: a browser does
// that to the control for every page, the shell to the session SDK at every disconnection, the
// platform to a card provider at every key-container release. A 32-bit DLL that carries the
// C++ runtime leaves two handles behind at every unload (one with the win32 thread model)
// unless it keeps itself loaded; a 64-bit one leaves none, so the x86_64 variant passes these
// whatever the DLLs do, and only the i686 variant shows the fault.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Process.h"
#include "UniqueHandle.h"

namespace {

class LoadAndFree : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(LoadAndFree, FiftyCyclesLeaveNoHandleBehind)
{
    const std::wstring path = testsupport::BesideTestProgram(GetParam());
    auto cycles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            tsmb::UniqueModule module(LoadLibraryW(path.c_str()));
            ASSERT_NE(nullptr, module.Get()) << GetLastError();
            module.Close();
        }
    };
    // The first loads may make what lives as long as the process (the imports' own state).
    cycles(5);
    const DWORD before = testsupport::OpenHandles(GetCurrentProcess());
    ASSERT_GT(before, 0u);
    cycles(50);
    EXPECT_EQ(before, testsupport::OpenHandles(GetCurrentProcess()));
}

INSTANTIATE_TEST_SUITE_P(ControlAndStandIns, LoadAndFree,
                         ::testing::Values(L"Keyvora.dll", L"VsmSDK.dll", L"cardcsp.dll", L"ncrypt.dll"));

}  // namespace
