// The control hosted by the platform's container against the simulated smart-card service:
// which card events reach the page's sink, in which order, on which thread, and what the
// active reader and the last-reported pair say afterwards.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <memory>

#include "ControlHost.h"
#include "ImportHook.h"
#include "Trace.h"
#include "TraceCapture.h"
#include "scardsim.h"

using keyvoratest::EventSink;
using keyvoratest::HostedControl;
using keyvoratest::PumpFor;
using keyvoratest::PumpUntil;

namespace {

std::vector<LONG> Types(const EventSink& sink)
{
    std::vector<LONG> types;
    for (const auto& e : sink.events)
        types.push_back(e.eventType);
    return types;
}

void Insert(const wchar_t* reader) { ASSERT_EQ(0, SimInsertCard(reader, nullptr, 0, nullptr, nullptr)); }

class HostedControlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, SimReset()); }
    void TearDown() override { SimReset(); }

    keyvoratest::ClassRegistration m_registration;
};

struct Step {
    std::function<void()> act;
    size_t eventsAfter;  // how many events have arrived once this step is handled
};

struct Scenario {
    const char* name;
    std::function<void()> arrange;  // before the control exists
    std::vector<Step> steps;        // the first step (act may be empty) covers the initial state
    std::vector<LONG> events;
    std::wstring activeReader;
};

class CardEvents : public HostedControlTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(CardEvents, ReachTheSinkInPostingOrderOnTheWindowThread)
{
    const Scenario& s = GetParam();
    s.arrange();
    EventSink sink;
    HostedControl host(&sink);
    for (const Step& step : s.steps) {
        if (step.act)
            step.act();
        ASSERT_TRUE(PumpUntil([&] { return sink.events.size() >= step.eventsAfter; })) << "after " << Types(sink).size();
    }
    PumpFor(300);  // nothing more follows

    EXPECT_EQ(s.events, Types(sink));
    LONG previous = 255;
    for (const auto& e : sink.events) {
        EXPECT_EQ(0, e.status);
        EXPECT_EQ(GetCurrentThreadId(), e.threadId);
        // Fired before the pair is updated: the handler still sees the previous event.
        EXPECT_EQ(previous, e.typeSeenInHandler);
        previous = e.eventType;
    }
    LONG type = -1, status = -1;
    host.Control()->get_LastReportedSCardEventType(&type);
    host.Control()->get_LastReportedSCardEventStatus(&status);
    EXPECT_EQ(s.events.back(), type);
    EXPECT_EQ(0, status);
    EXPECT_EQ(s.activeReader, host.Object().GetActiveReader());
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, CardEvents,
    ::testing::Values(
        Scenario{"NoReader", [] {}, {{nullptr, 1}}, {9}, L""},
        Scenario{"ServiceStoppedAtStart",
                 [] {
                     SimAttachReader(L"R1");
                     SimStopService();
                 },
                 {{nullptr, 1}, {[] { SimStartService(); }, 2}},
                 {10, 0},
                 L""},
        // The service stopped and back (updates, its own restart after a crash): the page
        // hears 10 while it is down, then the card again.
        Scenario{"ServiceRestartedWithACardIn",
                 [] {
                     SimAttachReader(L"R1");
                     Insert(L"R1");
                 },
                 {{nullptr, 1}, {[] { SimStopService(); }, 2}, {[] { SimStartService(); }, 3}},
                 {1, 10, 1},
                 L"R1"},
        // Found by the soak run (seed 12): the only reader unplugged while the service was
        // down leaves no active reader behind the 9.
        Scenario{"ReaderGoneWhileTheServiceWasDown",
                 [] {
                     SimAttachReader(L"R1");
                     Insert(L"R1");
                 },
                 {{nullptr, 1},
                  {[] { SimStopService(); }, 2},
                  {[] {
                       SimDetachReader(L"R1");
                       SimStartService();
                   },
                   3}},
                 {1, 10, 9},
                 L""},
        Scenario{"OneCard",
                 [] {
                     SimAttachReader(L"R1");
                     Insert(L"R1");
                 },
                 {{nullptr, 1}},
                 {1},
                 L"R1"},
        Scenario{"TwoCards",
                 [] {
                     SimAttachReader(L"R1");
                     SimAttachReader(L"R2");
                     Insert(L"R1");
                     Insert(L"R2");
                 },
                 {{nullptr, 1}},
                 {4},
                 L""},
        Scenario{"SecondCardInThenOneOut",
                 [] {
                     SimAttachReader(L"R1");
                     SimAttachReader(L"R2");
                     Insert(L"R1");
                 },
                 {{nullptr, 1}, {[] { Insert(L"R2"); }, 2}, {[] { SimRemoveCard(L"R1"); }, 3}},
                 {1, 4, 1},
                 L"R2"},
        Scenario{"OnlyCardOutAndInAgain",
                 [] {
                     SimAttachReader(L"R1");
                     Insert(L"R1");
                 },
                 {{nullptr, 1}, {[] { SimRemoveCard(L"R1"); }, 2}, {[] { Insert(L"R1"); }, 3}},
                 {1, 0, 1},
                 L"R1"}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// ---- One notification with several changes: crafted reader-state vectors -----------------

std::vector<int> g_options;
BOOL WINAPI RecordInternetSetOptionW(HINTERNET, DWORD option, LPVOID, DWORD)
{
    g_options.push_back(static_cast<int>(option));
    return TRUE;
}

class Notification : public SCardAuthMonitoringThread {
public:
    using SCardAuthMonitoringThread::SCardAuthMonitoringThread;
    void Deliver(std::vector<std::pair<const wchar_t*, std::pair<DWORD, DWORD>>> entries)
    {
        scardm::ReaderStates states;
        for (const auto& e : entries) {
            SCARD_READERSTATEW s = {};
            s.szReader = e.first;
            s.dwCurrentState = e.second.first;
            s.dwEventState = e.second.second;
            states.push_back(s);
        }
        ProcessStateChangeInReaderStates(states);
    }
};

const DWORD P = SCARD_STATE_PRESENT;
const DWORD E = SCARD_STATE_EMPTY;
const DWORD kPnPTwoReaders = 0x00020000;

TEST_F(HostedControlTest, OneNotification_SwapKeepsTheReader_OnlyTheLastCardOutEndsTheTlsSessionOnce)
{
    EventSink sink;
    HostedControl host(&sink);  // no reader: the control's own monitor reports 9 and stays quiet
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    RefPtr<Notification> notification(new Notification(host.ControlWindow(), &host.Object()));
    const wchar_t* pnp = scardm::PNP_NOTIFICATION_READER;
    testsupport::ImportHook hook(nullptr, "InternetSetOptionW", &RecordInternetSetOptionW);
    g_options.clear();

    // A card leaves A and another enters B: counts 1 and 1, no event, A stays active.
    host.Object().SetActiveReader(L"A");
    notification->Deliver({{L"A", {P, E}}, {L"B", {E, P}}, {pnp, {kPnPTwoReaders, kPnPTwoReaders}}});
    PumpFor(200);
    EXPECT_EQ(std::vector<LONG>{9}, Types(sink));
    EXPECT_EQ(L"A", host.Object().GetActiveReader());

    // Both of two cards out after a request: event 0, the TLS session is left alone.
    host.Object().SetSslAuthenticationPerformed();
    notification->Deliver({{L"A", {P, E}}, {L"B", {P, E}}, {pnp, {kPnPTwoReaders, kPnPTwoReaders}}});
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 2; }));
    EXPECT_TRUE(g_options.empty());

    // The only card out: event 0 and the session ended, once; the next removal does not again.
    for (int i = 0; i < 2; ++i)
        notification->Deliver({{L"A", {P, E}}, {L"B", {E, E}}, {pnp, {kPnPTwoReaders, kPnPTwoReaders}}});
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 4; }));
    EXPECT_EQ((std::vector<LONG>{9, 0, 0, 0}), Types(sink));
    EXPECT_EQ(std::vector<int>{INTERNET_OPTION_END_BROWSER_SESSION}, g_options);
    EXPECT_EQ(L"", host.Object().GetActiveReader());
}

TEST_F(HostedControlTest, LastReportedPair_UpdatesWithoutASink_AndAStatusWithTheTopBitReadsNegative)
{
    HostedControl bare;  // no sink connected
    ASSERT_TRUE(PumpUntil([&] {
        LONG type = 255;
        bare.Control()->get_LastReportedSCardEventType(&type);
        return type == 9;
    }));
    // As a failed request posts it: a wrong PIN with SCARD_W_WRONG_CHV.
    PostMessageW(bare.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventInvalidPIN, 0x8010006B);
    LONG type = 0, status = 0;
    ASSERT_TRUE(PumpUntil([&] {
        bare.Control()->get_LastReportedSCardEventType(&type);
        return type == SCardAuthEventInvalidPIN;
    }));
    bare.Control()->get_LastReportedSCardEventStatus(&status);
    EXPECT_EQ(-2146434965, status);

    EventSink sink;
    HostedControl host(&sink);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventSmartCardBlocked, 0x8010006C);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 2; }));
    EXPECT_EQ(SCardAuthEventSmartCardBlocked, sink.events.back().eventType);
    EXPECT_EQ(-2146434964, sink.events.back().status);
}

// ---- Lifetime ---------------------------------------------------------------------------

TEST_F(HostedControlTest, WindowlessOfferStillGetsTheWindowWithItsStyle_AndANewWindowANewMonitor)
{
    EventSink sink;
    HostedControl host(&sink);
    HWND window = host.ControlWindow();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(0x56000000u, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & 0x56000000u);
    EXPECT_EQ(0, GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY);
    EXPECT_EQ(host.Host(), GetParent(window));
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));

    // Deactivated and activated again: the new window starts a new monitor, which reports again.
    ctlfw::ComPtr<IOleInPlaceObject> inPlace;
    ASSERT_HRESULT_SUCCEEDED(ctlfw::ComPtr<IKeyvoraCtl>(host.Control()).As(IID_IOleInPlaceObject, inPlace));
    ASSERT_HRESULT_SUCCEEDED(inPlace->InPlaceDeactivate());
    EXPECT_EQ(nullptr, host.ControlWindow());
    ctlfw::ComPtr<IOleObject> ole;
    ASSERT_HRESULT_SUCCEEDED(ctlfw::ComPtr<IKeyvoraCtl>(host.Control()).As(IID_IOleObject, ole));
    RECT rect = {0, 0, 100, 100};
    EnableTracing();
    testsupport::TraceCapture trace;
    ASSERT_HRESULT_SUCCEEDED(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, host.Host(), &rect));
    EXPECT_NE(nullptr, host.ControlWindow());
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 2; }));
    EXPECT_EQ((std::vector<LONG>{9, 9}), Types(sink));
    // Storing the second monitor released the first, whose worker had ended with the window.
    EXPECT_EQ(1u, trace.Count("SCardAuth:SCardAuthMonitoringThread::~SCardAuthMonitoringThread: executing..."));
    EXPECT_EQ(1u, trace.Count("SCardAuth:SCardAuthMonitoringThread::SCardAuthMonitoringThread: executing..."));
}

TEST_F(HostedControlTest, TwoHundredCyclesLeaveNoThreadHandleOrWindowBehind)
{
    SimAttachReader(L"R1");
    Insert(L"R1");
    {
        // The first cycle loads what stays loaded (atl, OLE, the type library).
        EventSink sink;
        HostedControl host(&sink);
        ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    }
    PumpFor(100);
    const keyvoratest::ProcessCounts before = keyvoratest::CurrentProcessCounts();
    for (int i = 0; i < 200; ++i) {
        EventSink sink;
        HostedControl host(&sink);
        ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; })) << "cycle " << i;
        host.Destroy();
        EXPECT_EQ(0u, sink.References()) << "cycle " << i;
    }
    PumpFor(100);
    const keyvoratest::ProcessCounts after = keyvoratest::CurrentProcessCounts();
    EXPECT_LE(after.handles, before.handles + 5) << "handles";
    // A leak would be one thread a cycle; a little room for the platform's own pool threads.
    EXPECT_LE(after.threads, before.threads + 2) << "threads";
    EXPECT_EQ(0u, after.userObjects) << "the control's window class outlived its last window";
    EXPECT_EQ(1, ctlfw::Module::LockCount()) << "only the registered class object is left";
}

}  // namespace
