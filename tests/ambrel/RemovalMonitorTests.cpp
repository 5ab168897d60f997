// The shell's card-removal monitor against the simulated smart-card service and the SDK
// stand-in: which removals disconnect the sessions, what the SDK sees, what is traced, and
// what the hand-off value holds afterwards.
#include "SCardAmbrelMonitoringThread.h"

#include <gtest/gtest.h>

#include "CardService.h"
#include "EventCapture.h"
#include "HandOff.h"
#include "ImportHook.h"
#include "LogFile.h"
#include "ScratchRegistry.h"
#include "StuckStatusWait.h"
#include "TraceCapture.h"
#include "Trace.h"

using testsupport::EventEntry;
using testsupport::ExpectOutcomes;
using testsupport::ImportHook;
using testsupport::LogFile;
using testsupport::ScratchKey;
using testsupport::TraceCapture;
using tsmb::HandOffKey;

namespace {

const std::string kProcess = "SCardAmbrel:SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates:";
const std::string kDisconnect = "SCardAmbrel:SCardAmbrelMonitoringThread::DisconnectAllDesktopSessions:";
const std::string kCleared =
    "Ambrel:SCardAmbrelMonitoringThread::ClearAuthenticationReaderInVolatileRegistry: cleared AuthenticationReader "
    "value to: \"cleared => none\" in HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth subkey";
const std::vector<std::string> kFullSession = {"attach", "VsmInitialize \"AmbrelSCardMonitoring\" -> 0x00000000",
                                               "VsmDisconnectAllSessions -> 0x00000000",
                                               "VsmUninitialize -> 0x00000000", "detach"};

std::string Retrieved(const std::string& reader)
{
    return kProcess + " authentication reader retrieved from HKCU (empty <=> none): \"" + reader + "\"";
}

// The SDK's disconnections in its log.
std::vector<std::string> SdkDisconnects(const LogFile& log)
{
    std::vector<std::string> calls;
    for (const std::string& line : log.Lines())
        if (line.rfind("VsmDisconnectAllSessions", 0) == 0)
            calls.push_back(line);
    return calls;
}

// The hand-off value as the control leaves it; nullptr: no value.
class HandOff {
public:
    HandOff()
    {
        // The parent belongs to the deployment; the tests make it when it is missing.
        testsupport::CreateKey(HKEY_CURRENT_USER, HandOffKey::kParentKey, KEY_ALL_ACCESS);
    }
    void Set(const wchar_t* reader) const
    {
        if (reader)
            m_key.SetString(HandOffKey::kValue, reader);
    }
    std::wstring Get() const
    {
        DWORD type = 0, size = 0;
        std::wstring text;
        if (!m_key.GetRaw(HandOffKey::kValue, type, text, size))
            return L"(missing)";
        return text.substr(0, text.find(L'\0'));
    }

private:
    ScratchKey m_key{HKEY_CURRENT_USER, HandOffKey::kKey};
};

// ---- Through the manager, against the simulated service ---------------------------------

class RemovalMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* reader : {L"Reader A", L"Reader B"}) {
            ASSERT_EQ(0, SimAttachReader(reader));
            ASSERT_EQ(0, SimInsertCard(reader, nullptr, 0, nullptr, nullptr));
        }
    }
    void TearDown() override { SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread(); }
    std::vector<std::string> Disconnects() const { return SdkDisconnects(m_sdkLog); }

    // Starts the monitor and returns once it waits for changes.
    void Start()
    {
        SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread();
        ASSERT_TRUE(WaitForIdleMonitor());
    }
    // The monitor is idle when it sleeps in a wait begun after the service's latest change.
    static bool WaitForIdleMonitor()
    {
        const DWORD start = GetTickCount();
        while (SimCountQuietWaits() < 1) {
            if (GetTickCount() - start > 5000)
                return false;
            Sleep(5);
        }
        return true;
    }
    // Inserts a card and returns once the monitor has seen it present: a removal made before
    // would land in the same notification as the insertion.
    void InsertAndWait(const wchar_t* reader, const std::string& name)
    {
        m_trace.Clear();
        ASSERT_EQ(0, SimInsertCard(reader, nullptr, 0, nullptr, nullptr));
        const std::string entry = kProcess + "SCARD_READERSTATE[";
        const std::string readerText = "reader: \"" + name + "\" ";
        ASSERT_TRUE(m_trace.WaitForMatch(
            [&](const std::string& line) {
                const size_t at = line.find("eventState: 0x");
                return line.compare(0, entry.size(), entry) == 0 && line.find(readerText) != std::string::npos &&
                       at != std::string::npos && (std::stoul(line.substr(at + 14), nullptr, 16) & SCARD_STATE_PRESENT);
            },
            5000));
        ASSERT_TRUE(WaitForIdleMonitor());
    }
    // Removes the card and returns once the removal has been handled.
    void RemoveAndWait(const wchar_t* reader, const std::string& retrievedReader)
    {
        m_trace.Clear();
        ASSERT_EQ(0, SimRemoveCard(reader));
        ASSERT_TRUE(m_trace.WaitFor(Retrieved(retrievedReader), 5000));
        // The monitor woke for the removal; once it waits again the removal is fully handled.
        ASSERT_TRUE(WaitForIdleMonitor());
    }

    testsupport::CardServiceReset m_service;
    testsupport::ComponentTrace m_component{L"SCardAmbrel"};
    TraceCapture m_trace;
    HandOff m_handOff;
    LogFile m_sdkLog{L"VSMSDK_LOG", L"ambrel-vsmsdk-monitor.log"};
    testsupport::EventCapture m_events;
};

TEST_F(RemovalMonitor, RemovalFromTheRecordedReaderDisconnectsOnceAndClearsTheValue)
{
    Start();
    m_handOff.Set(L"Reader A");  // as the control writes it: while the shell watches

    RemoveAndWait(L"Reader A", "Reader A");

    EXPECT_EQ(kFullSession, m_sdkLog.Lines());
    ExpectOutcomes(m_events, L"Ambrel.exe", {{0, ORVANE_EVENT_SESSIONS_DISCONNECTED, {L"Reader A"}}});
    EXPECT_TRUE(m_trace.Contains(kDisconnect + " finished without exceptions..."));
    EXPECT_TRUE(m_trace.Contains(kCleared));
    EXPECT_EQ(HandOffKey::kCleared, m_handOff.Get());

    // The same reader losing its card again, with no new authentication: nothing more.
    InsertAndWait(L"Reader A", "Reader A");
    RemoveAndWait(L"Reader A", "cleared => none");
    EXPECT_EQ(kFullSession, m_sdkLog.Lines());
}

// ---- What the shell could not watch counts as a card that left ---------------------------

// The card recorded while the shell watched, then a stretch the shell could not watch (the
// service stopped, a pass failed, the shell ended). Nothing the shell can see shows that the
// card in the reader afterwards is the recorded one (a restarted service or a reader attached
// again numbers cards afresh; cards of one issuer share their ATR), so the sessions go once, at
// the moment sight is lost. Where the shell watched, a reader unplugged with the card is a
// removal as before.
const EventEntry kGone{0, ORVANE_EVENT_SERVICE_GONE, {L"0x80100012"}}, kBack{0, ORVANE_EVENT_SERVICE_BACK, {}};
const EventEntry kUnwatchedA{0, ORVANE_EVENT_SESSIONS_DISCONNECTED_UNWATCHED, {L"Reader A"}};

struct BlindCase {
    const char* name;
    bool recordFirst;                    // the value names "Reader A" before the stretch
    std::function<void(const HandOff&)> meanwhile;  // while the service is down (nullptr: no outage)
    std::function<void()> instead;       // what takes the shell's sight, when not an outage
    bool shellEnds;
    int disconnects;
    std::vector<EventEntry> events;
};

class ShellCannotWatch : public RemovalMonitor, public ::testing::WithParamInterface<BlindCase> {};

TEST_P(ShellCannotWatch, TheRecordedCardCountsAsGone)
{
    const BlindCase& c = GetParam();
    Start();
    if (c.recordFirst)
        m_handOff.Set(L"Reader A");
    m_trace.Clear();
    if (c.meanwhile) {
        ASSERT_EQ(0, SimStopService());
        ASSERT_TRUE(m_trace.WaitFor("SCardAmbrel:scardm::SCardMonitoringThread::WaitForSCardStartedEvent: executing...",
                                    5000));
        c.meanwhile(m_handOff);
        ASSERT_EQ(0, SimStartService());
        ASSERT_TRUE(m_trace.WaitFor("SCardAmbrel:scardm::SCardMonitoringThread::DoMonitoring: executing...", 5000));
    } else {
        c.instead();
    }
    if (!c.shellEnds) {
        ASSERT_TRUE(WaitForIdleMonitor());
    }

    EXPECT_EQ(static_cast<size_t>(c.disconnects), Disconnects().size());
    EXPECT_EQ(c.recordFirst || c.disconnects ? HandOffKey::kCleared : L"(missing)", m_handOff.Get());
    ExpectOutcomes(m_events, L"Ambrel.exe", c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellCannotWatch,
    ::testing::Values(
        BlindCase{"PulledWhileTheServiceWasDown", true, [](const HandOff&) { SimRemoveCard(L"Reader A"); }, nullptr, false, 1,
                  {kGone, kUnwatchedA, kBack}},
        BlindCase{"ReplacedWhileTheServiceWasDown", true,
                  [](const HandOff&) {
                      SimDetachReader(L"Reader A");
                      SimAttachReader(L"Reader A");
                      SimInsertCard(L"Reader A", nullptr, 0, nullptr, nullptr);
                  },
                  nullptr, false, 1, {kGone, kUnwatchedA, kBack}},
        BlindCase{"StayedWhileTheServiceWasDown", true, [](const HandOff&) {}, nullptr, false, 1, {kGone, kUnwatchedA, kBack}},
        // The control may write the value before the shell's monitor is back (its own monitor
        // came back first): the shell cannot tell when, nor whether the card stayed since.
        BlindCase{"RecordedWhileTheServiceWasDown", false,
                  [](const HandOff& handOff) { handOff.Set(L"Reader A"); },
                  nullptr, false, 1, {kGone, kBack, kUnwatchedA}},
        BlindCase{"NothingRecorded", false, [](const HandOff&) { SimRemoveCard(L"Reader A"); }, nullptr, false, 0, {kGone, kBack}},
        // A pass that fails while the service runs: the shell looks again a second later.
        BlindCase{"APassFailed", true, nullptr,
                  [] {
                      SimFailNext("SCardListReadersW", static_cast<LONG>(SCARD_F_COMM_ERROR));
                      SimAttachReader(L"Reader C");
                  },
                  false, 1, {kUnwatchedA}},
        BlindCase{"TheShellEnds", true, nullptr, [] { SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread(); },
                  true, 1, {kUnwatchedA}},
        // Watched: unplugged with the card in it is a removal like any other.
        BlindCase{"UnpluggedWithTheCard", true, nullptr, [] { SimDetachReader(L"Reader A"); }, false, 1,
                  {{0, ORVANE_EVENT_SESSIONS_DISCONNECTED, {L"Reader A"}}}}),
    [](const ::testing::TestParamInfo<BlindCase>& info) { return std::string(info.param.name); });

// ---- The shell's monitor stuck ------------------------------------------------------------

// The shell ends while its monitor's worker cannot be stopped (its stop gives up after 10 s):
// from then on nothing watches the recorded card either, so it counts as gone as at any other
// end of the shell.
TEST_F(RemovalMonitor, TheShellEndsWhileItsMonitorCannotStop_TheRecordedCardStillCountsAsGone)
{
    {
        testsupport::StuckStatusWait stuck;
        SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread();
        ASSERT_TRUE(stuck.WaitUntilBlocked(5000));
        m_handOff.Set(L"Reader A");

        SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread();

        EXPECT_TRUE(m_trace.Contains("SCardAmbrel:SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread: "
                                     "failed while stopping/destroying SCardAmbrelMonitoringThread with exception: "
                                     "Win32 error: 1460"));
        EXPECT_EQ(1u, Disconnects().size()) << "the shell ended and the recorded card's sessions stayed";
        EXPECT_EQ(HandOffKey::kCleared, m_handOff.Get());
        stuck.Release();  // the worker ends; TearDown's stop joins it
    }
}

TEST_F(RemovalMonitor, ACancelledCallDisablesMonitoringAndSaysSo)
{
    ASSERT_EQ(0, SimFailNext("SCardEstablishContext", static_cast<LONG>(SCARD_E_CANCELLED)));
    SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread();
    ASSERT_TRUE(m_trace.WaitFor("SCardAmbrel:scardm::SCardMonitoringThread::Execute: failed with SCard error 0x80100002 "
                                "=> disable monitoring",
                                5000));
    ASSERT_TRUE(m_trace.WaitFor("SCardAmbreltsmb::ReportOutcome: event 1003 written to the Application log", 5000));
    ExpectOutcomes(m_events, L"Ambrel.exe", {{0, ORVANE_EVENT_MONITORING_DISABLED, {L"0x80100002"}}});
}

struct IgnoredCase {
    const char* name;
    const wchar_t* recorded;  // nullptr: no value
    const wchar_t* removedFrom;
    std::string retrieved;
};

class RemovalMonitorIgnores : public RemovalMonitor, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(RemovalMonitorIgnores, RemovalsThatAreNotFromTheAuthenticationReader)
{
    const IgnoredCase& c = GetParam();
    Start();
    m_handOff.Set(c.recorded);

    RemoveAndWait(c.removedFrom, c.retrieved);

    EXPECT_TRUE(m_sdkLog.Lines().empty());
    EXPECT_TRUE(m_events.Entries().empty());
    EXPECT_EQ(0u, m_trace.LinesStartingWith(kDisconnect).size());
    EXPECT_FALSE(m_trace.Contains(kCleared));
    EXPECT_EQ(c.recorded ? std::wstring(c.recorded) : L"(missing)", m_handOff.Get());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemovalMonitorIgnores,
    ::testing::Values(IgnoredCase{"OtherReader", L"Reader A", L"Reader B", "Reader A"},
                      IgnoredCase{"LetterCase", L"reader a", L"Reader A", "reader a"},
                      IgnoredCase{"TrailingBlank", L"Reader A ", L"Reader A", "Reader A "},
                      IgnoredCase{"Empty", L"", L"Reader A", ""},
                      IgnoredCase{"Cleared", HandOffKey::kCleared, L"Reader A", "cleared => none"},
                      IgnoredCase{"Missing", nullptr, L"Reader A", ""}),
    [](const ::testing::TestParamInfo<IgnoredCase>& info) { return std::string(info.param.name); });

TEST_F(RemovalMonitor, ValueOfAnotherTypeCountsAsNoReader)
{
    Start();
    ScratchKey key(HKEY_CURRENT_USER, HandOffKey::kKey);
    const wchar_t text[] = L"Reader A";
    key.SetRaw(HandOffKey::kValue, REG_EXPAND_SZ, text, sizeof(text));

    RemoveAndWait(L"Reader A", "");

    EXPECT_TRUE(m_sdkLog.Lines().empty());
    EXPECT_EQ(1u, m_trace.LinesStartingWith("SCardAmbrel:SCardAmbrelMonitoringThread::"
                                            "RetrieveAuthenticationReaderFromVolatileRegistry: failed with exception: ")
                      .size());
}

// ---- Crafted reader-state vectors ----------------------------------------------------------

// The monitor's change step called directly; the worker only waits to be enabled.
class ExposedMonitor : public SCardAmbrelMonitoringThread {
public:
    using SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates;
};

SCARD_READERSTATEW State(const wchar_t* reader, DWORD current, DWORD event)
{
    SCARD_READERSTATEW state = {};
    state.szReader = reader;
    state.dwCurrentState = current;
    state.dwEventState = event;
    return state;
}

const DWORD kPresent = SCARD_STATE_PRESENT;
const DWORD kEmpty = SCARD_STATE_EMPTY;
const DWORD kChangedEmpty = SCARD_STATE_CHANGED | SCARD_STATE_EMPTY;

class RemovalStep : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnableTracing();
        m_monitor = new ExposedMonitor();
        m_monitor->Start();
    }
    void TearDown() override
    {
        m_monitor->RequestStop();
        m_monitor->WaitForStop();
        m_monitor = nullptr;
    }
    void Process(scardm::ReaderStates states)
    {
        m_trace.Clear();
        m_monitor->ProcessStateChangeInReaderStates(states);
    }
    std::vector<std::string> Disconnects() const { return SdkDisconnects(m_sdkLog); }

    RefPtr<ExposedMonitor> m_monitor;
    TraceCapture m_trace;
    HandOff m_handOff;
    LogFile m_sdkLog{L"VSMSDK_LOG", L"ambrel-vsmsdk-step.log"};
    testsupport::EventCapture m_events;
};

// A reader that flaps: fifty removals from the recorded reader within a minute, each one
// disconnecting, are one entry; the minute after, the next removal is written again.
TEST_F(RemovalStep, AFlappingReaderWritesOneEntryPerMinute)
{
    for (int i = 0; i < 50; ++i) {
        m_handOff.Set(L"Reader A");
        Process({State(L"Reader A", kPresent, kChangedEmpty), State(L"\\\\?PnP?\\Notification", 0x10000, 0x10000)});
        m_events.Advance(1000);
    }
    EXPECT_EQ(50u, Disconnects().size());
    ExpectOutcomes(m_events, L"Ambrel.exe", {{0, ORVANE_EVENT_SESSIONS_DISCONNECTED, {L"Reader A"}}});
    m_events.Advance(10000);
    m_handOff.Set(L"Reader B");
    Process({State(L"Reader B", kPresent, kChangedEmpty), State(L"\\\\?PnP?\\Notification", 0x10000, 0x10000)});
    const std::vector<testsupport::EventEntry> entries = m_events.Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(std::vector<std::wstring>{L"Reader B"}, entries[1].inserts);
}

TEST_F(RemovalStep, OnlyThePnPReaderWithCountZeroTracesNoReaderAndNothingElse)
{
    Process({State(L"\\\\?PnP?\\Notification", 0, SCARD_STATE_CHANGED)});
    EXPECT_EQ((std::vector<std::string>{kProcess + " executing...", kProcess + " no smart card reader present"}),
              m_trace.LinesStartingWith("SCardAmbrel:SCardAmbrelMonitoringThread::"));
}

TEST_F(RemovalStep, SeveralRemovalsInOneNotificationDisconnectOnlyOnce)
{
    m_handOff.Set(L"Reader B");
    Process({State(L"Reader A", kPresent, kChangedEmpty), State(L"Reader B", kPresent | 0x10000, kChangedEmpty),
             State(L"Reader C", kEmpty, kChangedEmpty), State(L"Reader B", kPresent, kEmpty),
             State(L"\\\\?PnP?\\Notification", 0x30000, 0x30000 | kEmpty | kPresent)});

    EXPECT_EQ(1u, Disconnects().size());
    EXPECT_EQ(HandOffKey::kCleared, m_handOff.Get());
    // Every entry is traced, in order; the PnP entry and the already empty reader are no removals.
    EXPECT_TRUE(m_trace.Contains(kProcess + "SCARD_READERSTATE[0]: reader: \"Reader A\" currentState: 0x00000020 "
                                            "eventState: 0x00000012"));
    EXPECT_TRUE(m_trace.Contains(kProcess + "SCARD_READERSTATE[4]: reader: \"\\\\?PnP?\\Notification\" currentState: "
                                            "0x00030000 eventState: 0x00030030"));
    EXPECT_EQ(std::vector<std::string>({Retrieved("Reader B"), Retrieved("Reader B"), Retrieved("cleared => none")}),
              m_trace.LinesStartingWith(kProcess + " authentication reader retrieved"));
    EXPECT_EQ(3u, m_trace.LinesStartingWith(kProcess + " smart card removed from reader: ").size());
}

// Pulled and put back while the worker was busy: present before and after, but the reader's
// counter (high word) moved. That is a removal; an unchanged counter is none. A reader
// unplugged with its card is a removal too.
struct SwapCase {
    const char* name;
    DWORD current;
    DWORD event;
    bool removal;
};

class RemovalSwap : public RemovalStep, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(RemovalSwap, CountsAsRemovalOnlyWhenTheCounterMoved)
{
    const SwapCase& c = GetParam();
    m_handOff.Set(L"Reader A");
    Process({State(L"Reader A", c.current, c.event), State(L"\\\\?PnP?\\Notification", 0x10000, 0x10000)});
    EXPECT_EQ(c.removal ? 1u : 0u, Disconnects().size());
    EXPECT_EQ(c.removal ? 1u : 0u, m_trace.Count(kProcess + " smart card removed from reader: \"Reader A\""));
    EXPECT_EQ(c.removal ? HandOffKey::kCleared : L"Reader A", m_handOff.Get());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemovalSwap,
    ::testing::Values(SwapCase{"OutAndIn", kPresent | 0x10000, SCARD_STATE_CHANGED | kPresent | 0x30000, true},
                      SwapCase{"OutAndInWithAnotherCardMute", kPresent | 0x20000,
                               SCARD_STATE_CHANGED | kPresent | SCARD_STATE_MUTE | 0x40000, true},
                      SwapCase{"CounterWrapped", kPresent | 0xFFFF0000, SCARD_STATE_CHANGED | kPresent | 0x00010000, true},
                      SwapCase{"OutOnly", kPresent | 0x10000, kChangedEmpty | 0x20000, true},
                      SwapCase{"SameCardStillIn", kPresent | 0x10000, SCARD_STATE_CHANGED | kPresent | SCARD_STATE_INUSE | 0x10000,
                               false},
                      SwapCase{"InsertedIntoEmpty", kEmpty | 0x10000, SCARD_STATE_CHANGED | kPresent | 0x20000, false},
                      // Unplugged with the card in it: the card is gone as well.
                      SwapCase{"ReaderGoneWithTheCard", kPresent | 0x10000, SCARD_STATE_CHANGED | SCARD_STATE_UNKNOWN, true},
                      SwapCase{"ReaderUnavailable", kPresent | 0x10000, SCARD_STATE_CHANGED | SCARD_STATE_UNAVAILABLE, true},
                      SwapCase{"EmptyReaderGone", kEmpty | 0x10000, SCARD_STATE_CHANGED | SCARD_STATE_UNKNOWN, false}),
    [](const ::testing::TestParamInfo<SwapCase>& info) { return std::string(info.param.name); });

// ---- The SDK's failures ----------------------------------------------------------------

DWORD g_missingExportError = 0;
const char* g_missingExport = nullptr;
decltype(&GetProcAddress) g_realGetProcAddress = nullptr;
bool g_sdkMissing = false;
decltype(&LoadLibraryW) g_realLoadLibraryW = nullptr;

FARPROC WINAPI HidingGetProcAddress(HMODULE module, LPCSTR name)
{
    if (g_missingExport && HIWORD(reinterpret_cast<uintptr_t>(name)) && !strcmp(name, g_missingExport)) {
        SetLastError(g_missingExportError);
        return nullptr;
    }
    return g_realGetProcAddress(module, name);
}

HMODULE WINAPI HidingLoadLibraryW(LPCWSTR name)
{
    if (g_sdkMissing && !_wcsicmp(name, L"VsmSDK.dll")) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return g_realLoadLibraryW(name);
}

struct SdkCase {
    const char* name;
    bool sdkMissing;
    const char* missingExport;
    const wchar_t* resultVariable;  // the SDK result made to fail, or nullptr
    std::string failureTrace;
    std::string exceptionText;
    std::vector<std::string> sdkLog;
    EventEntry event;  // what the Event Log gets
};

class RemovalSdkFailure : public RemovalStep, public ::testing::WithParamInterface<SdkCase> {
protected:
    void SetUp() override
    {
        RemovalStep::SetUp();
        g_realGetProcAddress = m_getProc.Original<decltype(&GetProcAddress)>();
        g_realLoadLibraryW = m_load.Original<decltype(&LoadLibraryW)>();
    }
    void TearDown() override
    {
        g_missingExport = nullptr;
        g_sdkMissing = false;
        for (const wchar_t* variable :
             {L"VSMSDK_INITIALIZE_RESULT", L"VSMSDK_DISCONNECT_RESULT", L"VSMSDK_UNINITIALIZE_RESULT"})
            SetEnvironmentVariableW(variable, nullptr);
        RemovalStep::TearDown();
    }
    ImportHook m_getProc{nullptr, "GetProcAddress", &HidingGetProcAddress};
    ImportHook m_load{nullptr, "LoadLibraryW", &HidingLoadLibraryW};
};

TEST_P(RemovalSdkFailure, IsTracedAndIgnoredTheLibraryUnloadedAndTheValueStillCleared)
{
    const SdkCase& c = GetParam();
    g_sdkMissing = c.sdkMissing;
    g_missingExport = c.missingExport;
    g_missingExportError = ERROR_PROC_NOT_FOUND;
    if (c.resultVariable)
        SetEnvironmentVariableW(c.resultVariable, L"0x8000FFFF");
    m_handOff.Set(L"Reader A");

    Process({State(L"Reader A", kPresent, kChangedEmpty), State(L"\\\\?PnP?\\Notification", 0x10000, 0x10000)});

    EXPECT_TRUE(m_trace.Contains(kDisconnect + c.failureTrace)) << c.failureTrace;
    EXPECT_TRUE(m_trace.Contains(kProcess + "DisconnectAllDesktopSessions: failed with exception: " + c.exceptionText +
                                 " => ignore (Vsm issue - see previous Vsm error code)"));
    EXPECT_FALSE(m_trace.Contains(kDisconnect + " finished without exceptions..."));
    EXPECT_EQ(c.sdkLog, m_sdkLog.Lines());
    ExpectOutcomes(m_events, L"Ambrel.exe", {c.event});
    EXPECT_EQ(nullptr, GetModuleHandleW(L"VsmSDK.dll")) << "the SDK stayed loaded";
    EXPECT_EQ(HandOffKey::kCleared, m_handOff.Get());
}

const std::string kInitOk = "VsmInitialize \"AmbrelSCardMonitoring\" -> 0x00000000";

INSTANTIATE_TEST_SUITE_P(
    Cases, RemovalSdkFailure,
    ::testing::Values(
        SdkCase{"SdkMissing", true, nullptr, nullptr, "LoadLibrary: failed with last error: 126", "Win32 error: 126", {},
                {0, ORVANE_EVENT_DISCONNECT_NO_SDK, {L"Reader A", L"126"}}},
        SdkCase{"NoInitialize", false, "VsmInitialize", nullptr,
                "GetProcAddress: failed for \"VsmInitialize\" with last error: 127", "Win32 error: 127",
                {"attach", "detach"},
                {0, ORVANE_EVENT_DISCONNECT_FAILED, {L"Reader A", L"GetProcAddress for VsmInitialize", L"error 127"}}},
        SdkCase{"NoUninitialize", false, "VsmUninitialize", nullptr,
                "GetProcAddress: failed for \"VsmUninitialize\" with last error: 127", "Win32 error: 127",
                {"attach", "detach"},
                {0, ORVANE_EVENT_DISCONNECT_FAILED, {L"Reader A", L"GetProcAddress for VsmUninitialize", L"error 127"}}},
        SdkCase{"NoDisconnect", false, "VsmDisconnectAllSessions", nullptr,
                "GetProcAddress: failed for \"VsmDisconnectAllSessions\" with last error: 127", "Win32 error: 127",
                {"attach", "detach"},
                {0, ORVANE_EVENT_DISCONNECT_FAILED, {L"Reader A", L"GetProcAddress for VsmDisconnectAllSessions", L"error 127"}}},
        SdkCase{"InitializeFails", false, nullptr, L"VSMSDK_INITIALIZE_RESULT",
                "VsmInitialize: failed with Vsm error: 0x8000FFFF", "Win32 error: 1359",
                {"attach", "VsmInitialize \"AmbrelSCardMonitoring\" -> 0x8000FFFF", "detach"},
                {0, ORVANE_EVENT_DISCONNECT_FAILED, {L"Reader A", L"VsmInitialize", L"0x8000FFFF"}}},
        SdkCase{"DisconnectFails", false, nullptr, L"VSMSDK_DISCONNECT_RESULT",
                "VsmDisconnectAllSessions: failed with Vsm error: 0x8000FFFF", "Win32 error: 1359",
                {"attach", kInitOk, "VsmDisconnectAllSessions -> 0x8000FFFF", "VsmUninitialize -> 0x00000000",
                 "detach"},
                {0, ORVANE_EVENT_DISCONNECT_FAILED, {L"Reader A", L"VsmDisconnectAllSessions", L"0x8000FFFF"}}},
        SdkCase{"UninitializeFails", false, nullptr, L"VSMSDK_UNINITIALIZE_RESULT",
                "VsmUninitialize: failed with Vsm error: 0x8000FFFF", "Win32 error: 1359",
                {"attach", kInitOk, "VsmDisconnectAllSessions -> 0x00000000", "VsmUninitialize -> 0x8000FFFF",
                 "detach"},
                {0, ORVANE_EVENT_SESSIONS_DISCONNECTED, {L"Reader A"}}}),
    [](const ::testing::TestParamInfo<SdkCase>& info) { return std::string(info.param.name); });

TEST_F(RemovalStep, ClearFailureIsTracedAsBestEffort)
{
    // No key at all: nothing to read, and nothing to overwrite either.
    testsupport::DeleteKeyTree(HKEY_CURRENT_USER, HandOffKey::kKey, KEY_WOW64_32KEY);
    m_trace.Clear();
    m_monitor->ClearAuthenticationReaderInVolatileRegistry();
    EXPECT_EQ(1u, m_trace.LinesStartingWith("Ambrel:SCardAmbrelMonitoringThread::ClearAuthenticationReaderInVolatile"
                                            "Registry: clearing authentication reader name in volatile HKCU registry "
                                            "failed with exception: Win32 error: 2 => ignore (best effort)")
                      .size());
}

}  // namespace
