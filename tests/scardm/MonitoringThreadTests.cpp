#include "CardService.h"
#include "ImportHook.h"
#include "RecordingMonitor.h"
#include "TraceCapture.h"

#include "Trace.h"
#include "Win32Error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using testsupport::TraceCapture;

namespace {

const std::string P = "SCardAuth:scardm::SCardMonitoringThread::";
const std::wstring kPnP = L"\\\\?PnP?\\Notification";

class Monitor : public ::testing::Test {
protected:
    void SetUp() override { m_monitor = new RecordingMonitor(); }
    void TearDown() override
    {
        if (m_monitor) {
            StopWithin(2000);
            m_monitor = nullptr;
        }
        LONG contexts = -1, blocks = -1, started = -1;
        SimGetOutstanding(&contexts, &blocks, &started);
        EXPECT_EQ(contexts, 0);
        EXPECT_EQ(blocks, 0);
        EXPECT_EQ(started, 0);
    }
    void StartAndEnable()
    {
        m_monitor->Start();
        m_monitor->EnableMonitoring();
    }
    // RequestStop then WaitForStop; fails the test when that takes longer than boundMs.
    void StopWithin(DWORD boundMs)
    {
        if (m_stopped)
            return;
        m_stopped = true;
        const ULONGLONG start = GetTickCount64();
        m_monitor->RequestStop();
        EXPECT_NO_THROW(m_monitor->WaitForStop());
        EXPECT_LT(GetTickCount64() - start, boundMs);
    }
    bool Monitoring() { return m_monitor->WaitUntil([&] { return !m_monitor->Initial().empty(); }); }

    testsupport::CardServiceReset m_service;
    testsupport::ComponentTrace m_component{L"SCardAuth"};
    TraceCapture m_trace;
    RefPtr<RecordingMonitor> m_monitor;
    bool m_stopped = false;
};

}  // namespace

TEST_F(Monitor, StopWhileCreated_EndsPromptly)
{
    m_monitor->RequestStop();
    m_monitor->Start();
    m_stopped = true;
    const ULONGLONG start = GetTickCount64();
    m_monitor->WaitForStop();
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(m_trace.Count(P + "Execute: executing..."), 1u);
    EXPECT_EQ(m_trace.Count(P + "WaitForMonitoring: executing..."), 0u);
}

TEST_F(Monitor, StopWhileWaitingForEnable_TakesTheStopEventBranch)
{
    m_monitor->Start();
    ASSERT_TRUE(m_trace.WaitFor(P + "WaitForMonitoring: executing...", 5000));
    StopWithin(2000);
    EXPECT_TRUE(m_trace.Contains(P + "WaitForMonitoring:WaitForMultipleObjects: succeeded to wait for stop event to be signaled"));
    EXPECT_TRUE(m_trace.Contains(P + "WaitForStop:WaitForSingleObject: succeeded to wait for monitoring thread to be signaled"));
    EXPECT_EQ(m_trace.Count(P + "WaitForSCardStartedEvent: executing..."), 0u);
}

TEST_F(Monitor, ServiceNotRunning_WaitsOnceThenMonitorsWhenItStarts)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    ASSERT_EQ(SimStopService(), 0);
    StartAndEnable();
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->BeforeStartedWaits() == 1; }));
    EXPECT_TRUE(m_monitor->Initial().empty());
    ASSERT_EQ(SimStartService(), 0);
    ASSERT_TRUE(Monitoring());
    EXPECT_EQ(m_monitor->BeforeStartedWaits(), 1);
    EXPECT_TRUE(m_trace.Contains(P + "WaitForSCardStartedEvent:WaitForMultipleObjects: succeeded to wait for SCard started "
                                     "event to be signaled"));
}

TEST_F(Monitor, StopWhileWaitingForService_EndsThroughTheStopEvent)
{
    ASSERT_EQ(SimStopService(), 0);
    StartAndEnable();
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->BeforeStartedWaits() == 1; }));
    StopWithin(2000);
    EXPECT_TRUE(m_trace.Contains(P + "WaitForSCardStartedEvent:WaitForMultipleObjects: succeeded to wait for stop event to be "
                                     "signaled"));
}

TEST_F(Monitor, StopWhileBlockedInStatusWait_CancelsAndReleasesTheContext)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    StartAndEnable();
    ASSERT_TRUE(Monitoring());
    ASSERT_TRUE(m_trace.WaitFor(P + "WaitForStateChangeInReaderStates: executing...", 5000));
    StopWithin(2000);
    EXPECT_TRUE(m_trace.Contains(P + "WaitForStateChangeInReaderStates:SCardGetStatusChange: cancelled (SCardCancel called) "
                                     "=> exit from WaitForStateChangeInReaderStates"));
    EXPECT_TRUE(m_monitor->Changes().empty());
    // Once ended, waiting again returns at once.
    EXPECT_NO_THROW(m_monitor->WaitForStop());
}

// A stop can land anywhere, also between the flag test and the start of the status-change
// wait, where a cancel finds nothing pending; it must still end the worker promptly.
TEST_F(Monitor, StopAtAnyMoment_AlwaysEndsPromptly)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    m_monitor->Start();  // the fixture's own monitor waits for enable meanwhile
    for (int round = 0; round < 40; ++round) {
        RefPtr<RecordingMonitor> monitor(new RecordingMonitor());
        monitor->Start();
        monitor->EnableMonitoring();
        if (round % 4 == 1)
            monitor->WaitUntil([&] { return !monitor->Initial().empty(); });
        else if (round % 4 == 2)
            Sleep(round % 7);
        const ULONGLONG start = GetTickCount64();
        monitor->RequestStop();
        ASSERT_NO_THROW(monitor->WaitForStop()) << "round " << round;
        ASSERT_LT(GetTickCount64() - start, 2000u) << "round " << round;
    }
}

namespace {

// The worker held at the entry of its first blocking status-change wait, after its stop-flag
// test, until the test has requested the stop: that request's cancel finds nothing pending and
// is lost, as on Windows, so only a cancel made again ends the wait.
struct HeldAtWait {
    tsmb::UniqueHandle reached{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    tsmb::UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG armed = 1;
};
HeldAtWait* g_held = nullptr;

LONG WINAPI HoldBeforeTheWait(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATEW* states, DWORD count)
{
    if (timeout == INFINITE && InterlockedExchange(&g_held->armed, 0)) {
        SetEvent(g_held->reached.Get());
        WaitForSingleObject(g_held->release.Get(), 10000);
    }
    return testsupport::RealExport<decltype(&SCardGetStatusChangeW)>(L"winscard.dll", "SCardGetStatusChangeW")(
        context, timeout, states, count);
}

}  // namespace

TEST_F(Monitor, StopJustBeforeTheStatusWait_IsCancelledAgainAndEndsPromptly)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    HeldAtWait held;
    g_held = &held;
    testsupport::ImportHook hook(nullptr, "SCardGetStatusChangeW", &HoldBeforeTheWait);
    StartAndEnable();
    ASSERT_EQ(WaitForSingleObject(held.reached.Get(), 5000), WAIT_OBJECT_0);
    m_stopped = true;
    const ULONGLONG start = GetTickCount64();
    m_monitor->RequestStop();
    SetEvent(held.release.Get());
    bool ended = true;
    try {
        m_monitor->WaitForStop();
    } catch (const tsmb::Win32Error&) {
        ended = false;
    }
    EXPECT_TRUE(ended) << "a stop that landed between the worker's flag test and its status-change wait did not end "
                          "it: the cancel found nothing pending and was not made again";
    EXPECT_LT(GetTickCount64() - start, 2000u);
    if (!ended) {
        // A reader change ends the wait; the worker then sees the stop.
        ASSERT_EQ(SimAttachReader(L"R2"), 0);
        WaitForSingleObject(m_monitor->GetHandle(), 10000);
    }
    EXPECT_TRUE(m_trace.Contains(P + "WaitForStateChangeInReaderStates:SCardGetStatusChange: cancelled (SCardCancel called) "
                                     "=> exit from WaitForStateChangeInReaderStates"));
}

enum class After { WaitsForService, Disables, Retries };

struct FailureCase {
    LONG code;
    After after;
};

class EstablishFailure : public Monitor, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(EstablishFailure, ServiceGoneCodesWaitForTheService_CancelDisables_OthersRetryAfterOneSecond)
{
    const FailureCase c = GetParam();
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    ASSERT_EQ(SimFailNext("SCardEstablishContext", c.code), 0);
    StartAndEnable();
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(c.code));
    char dec[16];
    snprintf(dec, sizeof(dec), "%ld", static_cast<long>(c.code));
    const std::string retry = P + "Execute: failed with exception: Win32 error: " + dec + " => ignore and retry monitoring";
    ASSERT_TRUE(m_trace.WaitFor(retry, 5000));
    const std::string failedWith = P + "Execute: failed with SCard error " + hex;
    switch (c.after) {
    case After::Disables:
        ASSERT_TRUE(m_trace.WaitFor(failedWith + " => disable monitoring", 5000));
        ASSERT_TRUE(m_trace.WaitFor(P + "DisableMonitoring: executing...", 5000));
        // After the pause the worker waits for a new enable; nothing is monitored until then.
        ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_trace.Count(P + "WaitForMonitoring: executing...") == 2; }));
        EXPECT_TRUE(m_monitor->Initial().empty());
        m_monitor->EnableMonitoring();
        break;
    case After::WaitsForService:
        // The service is running again, so its started event lets the next pass through.
        ASSERT_TRUE(Monitoring());
        EXPECT_EQ(m_trace.LinesStartingWith(failedWith), std::vector<std::string>{failedWith + " => wait for SCard service"});
        EXPECT_EQ(m_trace.Count(P + "DisableMonitoring: executing..."), 0u);
        EXPECT_EQ(m_monitor->BeforeStartedWaits(), 2);
        break;
    case After::Retries:
        EXPECT_EQ(m_trace.LinesStartingWith(P + "Execute: failed with SCard error").size(), 0u);
        break;
    }
    ASSERT_TRUE(Monitoring());
    EXPECT_EQ(m_trace.Count(P + "CreateSCardContext:SCardEstablishContext: failed with SCard error: " + hex), 1u);
}

INSTANTIATE_TEST_SUITE_P(Codes, EstablishFailure,
                         ::testing::Values(FailureCase{static_cast<LONG>(SCARD_E_NO_SERVICE), After::WaitsForService},
                                           FailureCase{static_cast<LONG>(SCARD_E_SYSTEM_CANCELLED), After::WaitsForService},
                                           FailureCase{static_cast<LONG>(SCARD_E_SERVICE_STOPPED), After::WaitsForService},
                                           FailureCase{static_cast<LONG>(SCARD_E_CANCELLED), After::Disables},
                                           FailureCase{static_cast<LONG>(SCARD_F_COMM_ERROR), After::Retries}));

TEST_F(Monitor, Readers_RebuiltOnAttachAndDetach_NotOnCardChange_PseudoReaderLast)
{
    ASSERT_EQ(SimAttachReader(L"A"), 0);
    ASSERT_EQ(SimAttachReader(L"B"), 0);
    StartAndEnable();
    ASSERT_TRUE(Monitoring());
    EXPECT_EQ(m_monitor->Initial().back().readers, (std::vector<std::wstring>{L"A", L"B", kPnP}));
    EXPECT_EQ(m_monitor->Initial().back().pnpCount, 2);

    ASSERT_EQ(SimInsertCard(L"B", nullptr, 0, nullptr, nullptr), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Changes().size() == 1; }));
    EXPECT_EQ(m_monitor->Initial().size(), 1u);  // a card change alone rebuilds nothing
    EXPECT_EQ(m_monitor->Changes().back().events[1] & (SCARD_STATE_PRESENT | SCARD_STATE_CHANGED),
              static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));

    // A reader named like the pseudo-reader in other letter case is a reader like any other.
    ASSERT_EQ(SimAttachReader(L"\\\\?pnp?\\notification"), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().size() == 2; }));
    EXPECT_EQ(m_monitor->Initial().back().readers,
              (std::vector<std::wstring>{L"A", L"B", L"\\\\?pnp?\\notification", kPnP}));
    EXPECT_EQ(m_monitor->Initial().back().pnpCount, 3);

    ASSERT_EQ(SimDetachReader(L"A"), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().size() == 3; }));
    EXPECT_EQ(m_monitor->Initial().back().readers, (std::vector<std::wstring>{L"B", L"\\\\?pnp?\\notification", kPnP}));
}

TEST_F(Monitor, NoReader_PausesOneSecondAfterEachChange)
{
    StartAndEnable();
    ASSERT_TRUE(m_trace.WaitFor(P + "RetrieveReaders:SCardListReaders: succeeded with SCARD_E_NO_READERS_AVAILABLE", 5000));
    ASSERT_TRUE(m_trace.WaitFor(P + "WaitForStateChangeInReaderStates: executing...", 5000));
    EXPECT_FALSE(m_trace.Contains(P + "DoMonitoring: no reader present => sleep 1 second..."));
    // A reader that comes and goes: after its removal there is again no reader.
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().size() == 2; }));
    ASSERT_EQ(SimDetachReader(L"R1"), 0);
    ASSERT_TRUE(m_trace.WaitFor(P + "DoMonitoring: no reader present => sleep 1 second...", 5000));
    // The pause ends early for a stop.
    StopWithin(900);
    ASSERT_FALSE(m_monitor->Initial().empty());
    EXPECT_EQ(m_monitor->Initial().front().readers, std::vector<std::wstring>{kPnP});
}

TEST_F(Monitor, ManyChangesAndServiceRestarts_LeaveNothingBehind)
{
    StartAndEnable();
    ASSERT_TRUE(Monitoring());
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(SimAttachReader(L"R1"), 0);
        ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().back().readers.size() == 2; }));
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(SimInsertCard(L"R1", nullptr, 0, nullptr, nullptr), 0);
            ASSERT_EQ(SimRemoveCard(L"R1"), 0);
        }
        ASSERT_EQ(SimDetachReader(L"R1"), 0);
        ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().back().readers.size() == 1; }));
        // After a service restart the worker monitors again by itself.
        const size_t before = m_monitor->Initial().size();
        const int waits = m_monitor->BeforeStartedWaits();
        ASSERT_EQ(SimStopService(), 0);
        ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->BeforeStartedWaits() == waits + 1; }));
        EXPECT_EQ(m_monitor->Initial().size(), before);  // nothing while the service is down
        ASSERT_EQ(SimStartService(), 0);
        ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().size() > before; }));
        EXPECT_EQ(m_trace.Count(P + "DisableMonitoring: executing..."), 0u);
        m_trace.Clear();
    }
    StopWithin(2000);
}

TEST(MonitorStop, WorkerThatDoesNotEnd_TimesOutWith1460)
{
    testsupport::ComponentTrace component(L"SCardAuth");
    struct Stubborn : RecordingMonitor {
        tsmb::UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        void Execute() override { WaitForSingleObject(release.Get(), 30000); }
    };
    RefPtr<Stubborn> monitor(new Stubborn());
    monitor->Start();
    TraceCapture trace;
    DWORD code = 0;
    try {
        monitor->WaitForStop();  // no stop requested: the plain 10-second bound
    } catch (const tsmb::Win32Error& e) {
        code = e.GetErrorCode();
    }
    EXPECT_EQ(code, 1460u);
    EXPECT_TRUE(trace.Contains(P + "WaitForStop:WaitForSingleObject: failed with last error: 1460"));
    SetEvent(monitor->release.Get());
    WaitForSingleObject(monitor->GetHandle(), 30000);
}

// ---- What became of a reader's card --------------------------------------------------------

// The one rule the shell, the control and the card checks share (the oracle: what a card may
// have done between two looks, given the two state words and whether the monitor watched).
namespace {

using scardm::CardChange;
const DWORD kIn = SCARD_STATE_PRESENT, kOut = SCARD_STATE_EMPTY, kChanged = SCARD_STATE_CHANGED;
const DWORD C1 = 1 << 16, C2 = 2 << 16, C3 = 3 << 16;

struct ChangeCase {
    const char* name;
    DWORD last, now;
    bool watched;
    CardChange change;
    bool mayHaveLeft;
};

class CardChangeRule : public ::testing::TestWithParam<ChangeCase> {};

}  // namespace

TEST_P(CardChangeRule, SaysWhatBecameOfTheCard)
{
    const ChangeCase& c = GetParam();
    const CardChange change = scardm::ClassifyCardChange(c.last, c.now, c.watched);
    EXPECT_EQ(scardm::CardChangeName(c.change), std::string(scardm::CardChangeName(change)));
    EXPECT_EQ(c.mayHaveLeft, scardm::CardMayHaveLeft(change));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardChangeRule,
    ::testing::Values(
        ChangeCase{"StillIn", kIn | C1, kChanged | kIn | SCARD_STATE_INUSE | C1, true, CardChange::None, false},
        ChangeCase{"StillEmpty", kOut | C2, kOut | C2, true, CardChange::None, false},
        ChangeCase{"Inserted", kOut | C2, kChanged | kIn | C3, true, CardChange::Inserted, false},
        ChangeCase{"FirstSeen", 0, kIn | C1, true, CardChange::Inserted, false},
        ChangeCase{"Left", kIn | C1, kChanged | kOut | C2, true, CardChange::Left, true},
        ChangeCase{"OutAndInAgain", kIn | C1, kChanged | kIn | C3, true, CardChange::Swapped, true},
        ChangeCase{"OutAndInAnotherMute", kIn | C2, kChanged | kIn | SCARD_STATE_MUTE | (4 << 16), true,
                   CardChange::Swapped, true},
        ChangeCase{"CounterWrapped", kIn | 0xFFFF0000, kChanged | kIn | C1, true, CardChange::Swapped, true},
        ChangeCase{"UnpluggedWithTheCard", kIn | C1, kChanged | SCARD_STATE_UNKNOWN, true, CardChange::ReaderGone, true},
        ChangeCase{"ReaderUnavailable", kIn | C1, kChanged | SCARD_STATE_UNAVAILABLE, true, CardChange::ReaderGone, true},
        ChangeCase{"EmptyReaderUnplugged", kOut | C1, kChanged | SCARD_STATE_UNKNOWN, true, CardChange::None, false},
        // Not watched: a restarted service or a reader attached again numbers cards afresh,
        // so even the same word proves nothing.
        ChangeCase{"UnwatchedSameWord", kIn | C1, kIn | C1, false, CardChange::SightLost, true},
        ChangeCase{"UnwatchedCardCame", kOut, kIn | C1, false, CardChange::SightLost, true},
        ChangeCase{"UnwatchedCardWent", kIn | C1, kOut | C2, false, CardChange::SightLost, true},
        ChangeCase{"UnwatchedStillEmpty", kOut, kOut, false, CardChange::None, false}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

// A stretch the monitor could not watch is reported at its start, once, and its first pass
// afterwards compares with what the monitor knew before it (not with nothing): the card it knew
// counts as sight lost, whatever the reader holds now.
TEST_F(Monitor, AnOutageIsSightLostOnceAndTheNextPassComparesWithWhatWasKnown)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    ASSERT_EQ(SimInsertCard(L"R1", nullptr, 0, nullptr, nullptr), 0);
    StartAndEnable();
    ASSERT_TRUE(Monitoring());
    const RecordingMonitor::Snapshot first = m_monitor->Initial().back();
    EXPECT_FALSE(first.watchUnbroken) << "a new monitor has watched nothing yet";
    ASSERT_EQ(2u, first.events.size());
    const DWORD known = first.events[0];

    // Stopped while the monitor waits, as in the field.
    ASSERT_TRUE(m_monitor->WaitUntil([] { return SimCountQuietWaits() >= 1; }));
    ASSERT_EQ(SimStopService(), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->BeforeStartedWaits() >= 2; }));
    ASSERT_EQ(SimStartService(), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return m_monitor->Initial().size() == 2; }));

    EXPECT_EQ(std::vector<DWORD>{static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED)}, m_monitor->SightLosses());
    const RecordingMonitor::Snapshot after = m_monitor->Initial().back();
    EXPECT_FALSE(after.watchUnbroken);
    EXPECT_EQ(known, after.currents[0]) << "the first pass forgot what the monitor knew";
    EXPECT_EQ(CardChange::SightLost, after.changes[0]);

    // Watched again: the next change is classified as seen.
    ASSERT_EQ(SimRemoveCard(L"R1"), 0);
    ASSERT_TRUE(m_monitor->WaitUntil([&] { return !m_monitor->Changes().empty(); }));
    EXPECT_EQ(CardChange::Left, m_monitor->Changes().back().changes[0]);
    EXPECT_EQ(1u, m_monitor->SightLosses().size());
}

// ---- A stop requested while the worker establishes or releases its context ---------------

// The owner's RequestStop reads the context the worker is just establishing or releasing: it
// cancels nothing it should not (a context being released is never cancelled), and the worker
// still ends promptly with every context released.
namespace {

enum class HeldIn { Establish, Release };

struct HeldCall {
    tsmb::UniqueHandle reached{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    tsmb::UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<SCARDCONTEXT> released{0};
    std::atomic<int> cancelsOfTheReleased{0};
    void Hold()
    {
        SetEvent(reached.Get());
        WaitForSingleObject(release.Get(), 10000);
    }
};
HeldCall* g_call = nullptr;

LONG WINAPI HoldingEstablish(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, SCARDCONTEXT* context)
{
    g_call->Hold();
    return testsupport::RealExport<decltype(&SCardEstablishContext)>(L"winscard.dll", "SCardEstablishContext")(
        scope, reserved1, reserved2, context);
}

LONG WINAPI HoldingRelease(SCARDCONTEXT context)
{
    g_call->released = context;
    g_call->Hold();
    return testsupport::RealExport<decltype(&SCardReleaseContext)>(L"winscard.dll", "SCardReleaseContext")(context);
}

LONG WINAPI WatchedCancel(SCARDCONTEXT context)
{
    if (context != 0 && context == g_call->released.load())
        ++g_call->cancelsOfTheReleased;
    return testsupport::RealExport<decltype(&SCardCancel)>(L"winscard.dll", "SCardCancel")(context);
}

class StopDuringContext : public Monitor, public ::testing::WithParamInterface<HeldIn> {};

}  // namespace

TEST_P(StopDuringContext, CancelsNothingReleasedAndEndsPromptly)
{
    HeldCall call;
    g_call = &call;
    testsupport::ImportHook cancel(nullptr, "SCardCancel", &WatchedCancel);
    std::unique_ptr<testsupport::ImportHook> held;
    if (GetParam() == HeldIn::Establish) {
        held.reset(new testsupport::ImportHook(nullptr, "SCardEstablishContext", &HoldingEstablish));
    } else {
        // A pass that fails releases its context before the pause.
        ASSERT_EQ(SimFailNext("SCardListReadersW", static_cast<LONG>(SCARD_F_COMM_ERROR)), 0);
        held.reset(new testsupport::ImportHook(nullptr, "SCardReleaseContext", &HoldingRelease));
    }
    StartAndEnable();
    ASSERT_EQ(WaitForSingleObject(call.reached.Get(), 5000), WAIT_OBJECT_0);
    m_stopped = true;
    const ULONGLONG start = GetTickCount64();
    m_monitor->RequestStop();
    SetEvent(call.release.Get());
    EXPECT_NO_THROW(m_monitor->WaitForStop());
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(0, call.cancelsOfTheReleased.load()) << "a context being released was cancelled";
    held.reset();
    g_call = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Moments, StopDuringContext, ::testing::Values(HeldIn::Establish, HeldIn::Release),
                         [](const ::testing::TestParamInfo<HeldIn>& info) {
                             return std::string(info.param == HeldIn::Establish ? "Establishing" : "Releasing");
                         });
