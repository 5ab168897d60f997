#include "ImportHook.h"
#include "Trace.h"

#include <gtest/gtest.h>

namespace {
int g_debugOutputs = 0;
void WINAPI CountingOutputDebugStringA(LPCSTR) { ++g_debugOutputs; }
}  // namespace

// With tracing off nothing is formatted or written: a "%s" argument that would fault if it
// were read goes through untouched.
TEST(TraceOff, NothingIsFormattedOrEmitted)
{
    testsupport::ImportHook hook(nullptr, "OutputDebugStringA", &CountingOutputDebugStringA);
    ASSERT_FALSE(tsmb::IsTracingEnabled());
    SetLastError(1234);
    Trace("%s %S %ld", reinterpret_cast<const char*>(1), reinterpret_cast<const wchar_t*>(1), 5L);
    EXPECT_EQ(g_debugOutputs, 0);
    EXPECT_EQ(GetLastError(), 1234u);
}
