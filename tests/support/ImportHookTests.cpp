// The import hook must put its replacement into exactly the right slot and, when it ends,
// put back exactly what it found there; every other test trusts it for that.
#include "ImportHook.h"

#include <gtest/gtest.h>

using testsupport::FindImportSlot;
using testsupport::ImportHook;

namespace {

DWORD WINAPI FirstTickCount() { return 111; }
DWORD WINAPI SecondTickCount() { return 222; }
DWORD WINAPI FixedProcessId() { return 4242; }

// Called through the import table each time: the hook must be in place before the call,
// outside any function that caches the import's address.
__attribute__((noinline)) DWORD CallGetTickCount() { return GetTickCount(); }
__attribute__((noinline)) DWORD CallGetCurrentProcessId() { return GetCurrentProcessId(); }

void* KernelExport(const char* name) { return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)); }

}  // namespace

TEST(ImportHook, Install_ReplacesCallsAndRestoresTheOriginalEntry)
{
    void** slot = FindImportSlot(nullptr, nullptr, "GetTickCount");
    ASSERT_NE(slot, nullptr);
    void* before = *slot;
    {
        ImportHook hook(nullptr, "GetTickCount", &FirstTickCount);
        EXPECT_EQ(CallGetTickCount(), 111u);
        EXPECT_EQ(hook.Original<void*>(), before);
    }
    EXPECT_EQ(*slot, before);
    EXPECT_NE(CallGetTickCount(), 111u);
}

TEST(ImportHook, Nested_InnerEndsFirst_OuterReplacementComesBack)
{
    void** slot = FindImportSlot(nullptr, nullptr, "GetTickCount");
    void* before = *slot;
    {
        ImportHook outer(nullptr, "GetTickCount", &FirstTickCount);
        {
            ImportHook inner(nullptr, "GetTickCount", &SecondTickCount);
            EXPECT_EQ(CallGetTickCount(), 222u);
            EXPECT_EQ(inner.Original<DWORD(WINAPI*)()>(), &FirstTickCount);
        }
        EXPECT_EQ(CallGetTickCount(), 111u);
    }
    EXPECT_EQ(*slot, before);
}

TEST(ImportHook, TwoFunctions_EachSlotKeepsItsOwnEntry)
{
    void** tickSlot = FindImportSlot(nullptr, nullptr, "GetTickCount");
    void** pidSlot = FindImportSlot(nullptr, nullptr, "GetCurrentProcessId");
    ASSERT_NE(pidSlot, nullptr);
    ASSERT_NE(tickSlot, pidSlot);
    void* tickBefore = *tickSlot;
    void* pidBefore = *pidSlot;
    {
        ImportHook tick(nullptr, "GetTickCount", &FirstTickCount);
        ImportHook pid(nullptr, "GetCurrentProcessId", &FixedProcessId);
        EXPECT_EQ(CallGetCurrentProcessId(), 4242u);
        EXPECT_EQ(CallGetTickCount(), 111u);
    }
    EXPECT_EQ(*tickSlot, tickBefore);
    EXPECT_EQ(*pidSlot, pidBefore);
    EXPECT_EQ(CallGetCurrentProcessId(), GetCurrentProcessId());
}

TEST(ImportHook, Slot_HoldsTheExportOfTheNamedDll)
{
    void** slot = FindImportSlot(nullptr, "KERNEL32.dll", "GetCurrentProcessId");
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, KernelExport("GetCurrentProcessId"));
}

TEST(ImportHook, NotImported_Throws)
{
    EXPECT_THROW(ImportHook(nullptr, "NoSuchFunctionAnywhere", &FirstTickCount), std::runtime_error);
    EXPECT_EQ(FindImportSlot(nullptr, "user32.dll", "GetTickCount"), nullptr);
}
