#include "TraceCapture.h"

#include "CriticalSection.h"
#include "SecurityAttributes.h"
#include "SyncEvent.h"
#include "Thread.h"
#include "Trace.h"
#include "UniqueHandle.h"
#include "Win32Error.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

using testsupport::ImportHook;
using testsupport::TraceCapture;

namespace {

class FoundationTest : public ::testing::Test {
protected:
    testsupport::ComponentTrace m_component{L"SCardAuth"};
};

class LambdaThread : public tsmb::Thread {
public:
    explicit LambdaThread(std::function<void()> body) : m_body(std::move(body)) {}
    void Execute() override { m_body(); }

private:
    std::function<void()> m_body;
};

RefPtr<tsmb::SecurityAttributes> DefaultAttributes() { return RefPtr<tsmb::SecurityAttributes>(new tsmb::SecurityAttributes(false)); }

DWORD ExitCodeAfterEnd(HANDLE thread)
{
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    return code;
}

// Failing stand-ins for the platform calls of the foundation; each sets its last error.
HANDLE WINAPI FailCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
DWORD WINAPI FailResumeThread(HANDLE) { SetLastError(ERROR_INVALID_HANDLE); return static_cast<DWORD>(-1); }
DWORD WINAPI FailSuspendThread(HANDLE) { SetLastError(ERROR_ACCESS_DENIED); return static_cast<DWORD>(-1); }
HANDLE WINAPI FailCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { SetLastError(1450); return nullptr; }
BOOL WINAPI FailSetEvent(HANDLE) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
BOOL WINAPI FailResetEvent(HANDLE) { SetLastError(ERROR_ACCESS_DENIED); return FALSE; }

struct FailureCase {
    const char* name;
    const char* function;
    const void* replacement;
    std::function<void()> action;  // runs with the hook in place
    const char* line;
    DWORD code;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class PlatformFailure : public FoundationTest, public ::testing::WithParamInterface<FailureCase> {};

// Objects the actions work on are made before the hook goes in.
std::unique_ptr<RefPtr<LambdaThread>> g_thread;
std::unique_ptr<RefPtr<tsmb::SyncEvent>> g_event;

}  // namespace

// Every failing platform call of the thread and event classes: one exact trace line, then the
// last error thrown as the code.
TEST_P(PlatformFailure, TracesOneLineAndThrowsTheCode)
{
    const FailureCase& c = GetParam();
    g_thread = std::make_unique<RefPtr<LambdaThread>>(new LambdaThread([] {}));
    g_event = std::make_unique<RefPtr<tsmb::SyncEvent>>(new tsmb::SyncEvent(DefaultAttributes()));
    TraceCapture capture;
    DWORD thrown = 0;
    {
        ImportHook hook(nullptr, c.function, c.replacement);
        try {
            c.action();
        } catch (const tsmb::Win32Error& e) {
            thrown = e.GetErrorCode();
        }
    }
    EXPECT_EQ(thrown, c.code);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
    // Let the untouched worker run to its end before it is released.
    (*g_thread)->Start();
    WaitForSingleObject((*g_thread)->GetHandle(), 10000);
    g_thread.reset();
    g_event.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Foundation, PlatformFailure,
    ::testing::Values(
        FailureCase{"CreateThread", "CreateThread", reinterpret_cast<const void*>(&FailCreateThread),
                    [] { RefPtr<LambdaThread> t(new LambdaThread([] {})); },
                    "SCardAuthtsmb::Thread::Init:CreateThread: failed with last error: 8", 8},
        FailureCase{"Start", "ResumeThread", reinterpret_cast<const void*>(&FailResumeThread),
                    [] { (*g_thread)->Start(); },
                    "SCardAuthtsmb::Thread::Start:ResumeThread: failed with last error: 6", 6},
        FailureCase{"Resume", "ResumeThread", reinterpret_cast<const void*>(&FailResumeThread),
                    [] { (*g_thread)->Resume(); },
                    "SCardAuthtsmb::Thread::Resume:ResumeThread: failed with last error: 6", 6},
        FailureCase{"Suspend", "SuspendThread", reinterpret_cast<const void*>(&FailSuspendThread),
                    [] { (*g_thread)->Suspend(); },
                    "SCardAuthtsmb::Thread::Suspend:SuspendThread: failed with last error: 5", 5},
        FailureCase{"CreateEvent", "CreateEventW", reinterpret_cast<const void*>(&FailCreateEventW),
                    [] { RefPtr<tsmb::SyncEvent> e(new tsmb::SyncEvent(DefaultAttributes())); },
                    "SCardAuthtsmb::SyncEvent::SyncEvent:CreateEvent: failed with last error: 1450", 1450},
        FailureCase{"SetEvent", "SetEvent", reinterpret_cast<const void*>(&FailSetEvent),
                    [] { (*g_event)->Set(); },
                    "SCardAuthtsmb::SyncEvent::Set:SetEvent: failed with last error: 6", 6},
        FailureCase{"ResetEvent", "ResetEvent", reinterpret_cast<const void*>(&FailResetEvent),
                    [] { (*g_event)->Reset(); },
                    "SCardAuthtsmb::SyncEvent::Reset:ResetEvent: failed with last error: 5", 5}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(FoundationTest, Thread_DoesNotRunUntilStart)
{
    LONG runs = 0;
    RefPtr<LambdaThread> thread(new LambdaThread([&runs] { InterlockedIncrement(&runs); }));
    // A previous suspend count of 1 means the thread was created suspended and is still so.
    EXPECT_EQ(SuspendThread(thread->GetHandle()), 1u);
    EXPECT_EQ(ResumeThread(thread->GetHandle()), 2u);
    EXPECT_EQ(runs, 0);
    thread->Start();
    EXPECT_EQ(ExitCodeAfterEnd(thread->GetHandle()), 0u);
    EXPECT_EQ(runs, 1);
}

TEST_F(FoundationTest, Thread_ExceptionFromExecute_IsTracedAndExitCodeIsZero)
{
    struct Case { std::function<void()> body; const char* line; };
    const Case cases[] = {
        {[] { throw tsmb::Win32Error(5); },
         "SCardAuthtsmb::Thread::ThreadProc:Execute: failed with exception: Win32 error: 5"},
        {[] { throw std::runtime_error("boom"); },
         "SCardAuthtsmb::Thread::ThreadProc:Execute: failed with exception: boom"},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        RefPtr<LambdaThread> thread(new LambdaThread(c.body));
        thread->Start();
        EXPECT_EQ(ExitCodeAfterEnd(thread->GetHandle()), 0u);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
    }
}

TEST_F(FoundationTest, SyncEvent_ManualResetSemantics)
{
    RefPtr<tsmb::SyncEvent> event(new tsmb::SyncEvent(DefaultAttributes()));
    EXPECT_EQ(WaitForSingleObject(event->GetHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    event->Reset();
    EXPECT_EQ(WaitForSingleObject(event->GetHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    event->Set();
    event->Set();
    EXPECT_EQ(WaitForSingleObject(event->GetHandle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event->GetHandle(), 0), WAIT_OBJECT_0);
    event->Reset();
    EXPECT_EQ(WaitForSingleObject(event->GetHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(FoundationTest, SecurityAttributes_FullLengthNoDescriptor)
{
    for (bool inherit : {false, true}) {
        tsmb::SecurityAttributes attributes(inherit);
        EXPECT_EQ(attributes.GetSecurityAttributes()->nLength, sizeof(SECURITY_ATTRIBUTES));  // 12 in a 32-bit build
        EXPECT_EQ(attributes.GetSecurityAttributes()->lpSecurityDescriptor, nullptr);
        EXPECT_EQ(attributes.GetSecurityAttributes()->bInheritHandle, inherit ? TRUE : FALSE);
    }
}

namespace {
BOOL g_daclPresent;
PACL g_dacl;
BOOL WINAPI FailGetDacl(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL) { SetLastError(ERROR_INVALID_SECURITY_DESCR); return FALSE; }
BOOL WINAPI FakeGetDacl(PSECURITY_DESCRIPTOR, LPBOOL present, PACL* dacl, LPBOOL defaulted)
{
    *present = g_daclPresent;
    *dacl = g_dacl;
    *defaulted = FALSE;
    return TRUE;
}
DWORD WINAPI FailSetSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL) { return ERROR_ACCESS_DENIED; }
}  // namespace

TEST_F(FoundationTest, SetSecurityInfoDacl_EachFailureTracedAndThrown)
{
    static ACL someAcl;
    struct Case { bool failGet; BOOL present; PACL dacl; const char* line; DWORD code; };
    const Case cases[] = {
        {true, FALSE, nullptr,
         "SCardAuthtsmb::SecurityAttributes::SetSecurityInfoDacl::GetSecurityDescriptorDacl: failed with last error: 1338", 1338},
        {false, FALSE, nullptr,
         "SCardAuthtsmb::SecurityAttributes::SetSecurityInfoDacl:GetSecurityDescriptorDacl: DACL is not present: failed with last error: 1359", 1359},
        {false, TRUE, nullptr,
         "SCardAuthtsmb::SecurityAttributes::SetSecurityInfoDacl:GetSecurityDescriptorDacl: DACL is null: failed with last error: 1359", 1359},
        {false, TRUE, &someAcl,
         "SCardAuthtsmb::SecurityAttributes::SetSecurityInfoDacl:SetSecurityInfo: failed with error: 5", 5},
    };
    RefPtr<tsmb::SyncEvent> event(new tsmb::SyncEvent(DefaultAttributes()));
    for (const Case& c : cases) {
        g_daclPresent = c.present;
        g_dacl = c.dacl;
        tsmb::SecurityAttributes attributes(false);
        // Freed by the attributes' destructor.
        PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
        attributes.GetSecurityAttributes()->lpSecurityDescriptor = descriptor;
        TraceCapture capture;
        DWORD thrown = 0;
        {
            ImportHook get(nullptr, "GetSecurityDescriptorDacl",
                           c.failGet ? reinterpret_cast<const void*>(&FailGetDacl) : reinterpret_cast<const void*>(&FakeGetDacl));
            ImportHook set(nullptr, "SetSecurityInfo", &FailSetSecurityInfo);
            try {
                attributes.SetSecurityInfoDacl(event->GetHandle(), SE_KERNEL_OBJECT);
            } catch (const tsmb::Win32Error& e) {
                thrown = e.GetErrorCode();
            }
        }
        EXPECT_EQ(thrown, c.code);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
    }
    // Without a descriptor (as every user makes them) it reports instead of reading through null.
    tsmb::SecurityAttributes bare(false);
    TraceCapture capture;
    DWORD thrown = 0;
    try {
        bare.SetSecurityInfoDacl(event->GetHandle(), SE_KERNEL_OBJECT);
    } catch (const tsmb::Win32Error& e) {
        thrown = e.GetErrorCode();
    }
    EXPECT_EQ(thrown, 1338u);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"SCardAuthtsmb::SecurityAttributes::SetSecurityInfoDacl: no security "
                                                        "descriptor: failed with last error: 1338"});
}

namespace {
class Counted : public tsmb::Object {
public:
    explicit Counted(volatile LONG* deletions) : m_deletions(deletions) {}
    ~Counted() override { InterlockedIncrement(m_deletions); }

private:
    volatile LONG* m_deletions;
};

struct ReleaseRace {
    HANDLE go;
    RefPtr<Counted> reference;
};

DWORD WINAPI ReleaseWhenTold(LPVOID parameter)
{
    auto* race = static_cast<ReleaseRace*>(parameter);
    WaitForSingleObject(race->go, INFINITE);
    race->reference = nullptr;
    return 0;
}
}  // namespace

TEST(RefPtr, LastReleaseFromTwoThreadsAtOnce_DeletesExactlyOnce)
{
    const tsmb::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (int round = 0; round < 300; ++round) {
        volatile LONG deletions = 0;
        ReleaseRace races[2] = {{go.Get(), nullptr}, {go.Get(), nullptr}};
        {
            RefPtr<Counted> object(new Counted(&deletions));
            races[0].reference = object;
            races[1].reference = object;
        }
        const tsmb::UniqueHandle first(CreateThread(nullptr, 0, &ReleaseWhenTold, &races[0], 0, nullptr));
        const tsmb::UniqueHandle second(CreateThread(nullptr, 0, &ReleaseWhenTold, &races[1], 0, nullptr));
        const HANDLE threads[2] = {first.Get(), second.Get()};
        SetEvent(go.Get());
        ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 10000), WAIT_OBJECT_0);
        ResetEvent(go.Get());
        ASSERT_EQ(deletions, 1) << "round " << round;
    }
}

TEST(RefPtr, CopyMoveAndAssign_KeepTheCountRight)
{
    volatile LONG deletions = 0;
    {
        RefPtr<Counted> a(new Counted(&deletions));
        RefPtr<Counted> b(a);
        RefPtr<Counted> c(std::move(b));
        EXPECT_FALSE(b);
        c = c;  // self-assignment keeps the object
        a = nullptr;
        EXPECT_EQ(deletions, 0);
        RefPtr<Counted> d(new Counted(&deletions));
        d = c;  // the replaced object goes
        EXPECT_EQ(deletions, 1);
        c = std::move(d);
        EXPECT_EQ(deletions, 1);
    }
    EXPECT_EQ(deletions, 2);
}

TEST(CriticalSection, RecursiveForOwner_ScopedLockLeavesOnException)
{
    tsmb::CriticalSection section;
    try {
        tsmb::CriticalSectionLock outer(section);
        tsmb::CriticalSectionLock inner(section);
        throw std::runtime_error("passing");
    } catch (const std::runtime_error&) {
    }
    // Another thread can now take it.
    struct Probe { static DWORD WINAPI Run(LPVOID p) { tsmb::CriticalSectionLock lock(*static_cast<tsmb::CriticalSection*>(p)); return 7; } };
    const tsmb::UniqueHandle other(CreateThread(nullptr, 0, &Probe::Run, &section, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(other.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(other.Get(), &code);
    EXPECT_EQ(code, 7u);
}
