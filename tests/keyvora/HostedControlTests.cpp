// The control hosted by the platform's container against the simulated smart-card service:
// which card events reach the page's sink, in which order, on which thread, and what the
// active reader and the last-reported pair say afterwards.
#include <windows.h>
#include <olectl.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <memory>

#include "CardService.h"
#include "ControlHost.h"
#include "ImportHook.h"
#include "MessagePump.h"
#include "Module.h"
#include "StuckStatusWait.h"
#include "Trace.h"
#include "TraceCapture.h"
#include "UniqueHandle.h"

using keyvoratest::EventSink;
using keyvoratest::HostedControl;
using keyvoratest::PumpUntil;
using testsupport::PumpPosted;

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
    testsupport::CardServiceReset m_service;
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
    // Nothing more follows once the monitor sleeps again, having taken in the last change, and
    // what it posted before has been handled.
    ASSERT_TRUE(PumpUntil([] { return SimCountQuietWaits() >= 1; }));
    ASSERT_TRUE(PumpPosted());

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

// The control's monitor, handed crafted reader-state vectors: (reader, (current, event)).
class Notification : public SCardAuthMonitoringThread {
public:
    using Vector = std::vector<std::pair<const wchar_t*, std::pair<DWORD, DWORD>>>;
    using SCardAuthMonitoringThread::SCardAuthMonitoringThread;
    void Deliver(const Vector& entries)
    {
        scardm::ReaderStates states = States(entries);
        ProcessStateChangeInReaderStates(states);
    }
    void Initial(const Vector& entries)
    {
        scardm::ReaderStates states = States(entries);
        ProcessInitalReaderStates(states);
    }
    void SightLost(DWORD code) { OnSightLost(code); }

private:
    static scardm::ReaderStates States(const Vector& entries)
    {
        scardm::ReaderStates states;
        for (const auto& e : entries) {
            SCARD_READERSTATEW s = {};
            s.szReader = e.first;
            s.dwCurrentState = e.second.first;
            s.dwEventState = e.second.second;
            states.push_back(s);
        }
        return states;
    }
};

const DWORD P = SCARD_STATE_PRESENT;
const DWORD E = SCARD_STATE_EMPTY;
const DWORD kPnPTwoReaders = 0x00020000;

// Once a request authenticated the TLS session with card A (counter 1 in reader "A"), the
// session ends as soon as A is not the one card present: a removal, a second card, a card in
// another reader, a swap within one notification, no reader, no service, or a first pass that
// finds another card. The same card staying, or a reader without a card coming, leaves it.
// (Before, only a drop from exactly one card to none ended it, and equal counts hid a swap.)
const DWORD C1 = 1 << 16, C2 = 2 << 16, C3 = 3 << 16;
struct TlsCase {
    const char* name;
    std::function<void(Notification&)> deliver;
    std::vector<LONG> events;  // after the control's own 9
    bool ended;
    const wchar_t* activeReader;
};

Notification::Vector TwoReaders(DWORD a0, DWORD a1, DWORD b0, DWORD b1)
{
    return {{L"A", {a0, a1}}, {L"B", {b0, b1}}, {scardm::PNP_NOTIFICATION_READER, {kPnPTwoReaders, kPnPTwoReaders}}};
}

class TlsSessionRule : public HostedControlTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(TlsSessionRule, EndsExactlyWhenTheAuthenticatingCardIsNotTheOneCardPresent)
{
    const TlsCase& c = GetParam();
    EventSink sink;
    HostedControl host(&sink);  // no reader: the control's own monitor reports 9 and stays quiet
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    // Once it sleeps in its wait: before, a second pass of its own could take the record below.
    ASSERT_TRUE(PumpUntil([] { return SimCountQuietWaits() >= 1; }));
    const RefPtr<SCardAuthState>& state = host.Object().State();
    RefPtr<Notification> notification(
        new Notification(host.ControlWindow(), state, state->AttachWindow(host.ControlWindow())));
    state->SetActiveReader(SCardAuthReader{L"A", 1});
    SCardAuthCardSession::Process().Authenticate(SCardAuthReader{L"A", 1});
    testsupport::ImportHook hook(nullptr, "InternetSetOptionW", &RecordInternetSetOptionW);
    g_options.clear();

    c.deliver(*notification);
    ASSERT_TRUE(PumpPosted());  // the notification posts its events before it returns
    std::vector<LONG> expected{9};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(expected, Types(sink));
    EXPECT_EQ(c.ended ? std::vector<int>{INTERNET_OPTION_END_BROWSER_SESSION} : std::vector<int>{}, g_options);
    EXPECT_EQ(c.activeReader, host.Object().GetActiveReader());
    // Another card comes next: it ends the session only where the case left it standing (the
    // flag is read and cleared in one step).
    g_options.clear();
    notification->Deliver(TwoReaders(E, P | C3, E, E));
    EXPECT_EQ(c.ended ? std::vector<int>{} : std::vector<int>{INTERNET_OPTION_END_BROWSER_SESSION}, g_options);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsSessionRule,
    ::testing::Values(
        TlsCase{"OnlyCardPulled", [](Notification& n) { n.Deliver(TwoReaders(P | C1, E | C2, E, E)); }, {0}, true, L""},
        TlsCase{"SecondCardInserted", [](Notification& n) { n.Deliver(TwoReaders(P | C1, P | C1, E, P | C1)); }, {4}, true,
                L""},
        TlsCase{"AuthenticatingCardOfTwoPulled", [](Notification& n) { n.Deliver(TwoReaders(P | C1, E | C2, P | C1, P | C1)); },
                {1}, true, L"B"},
        TlsCase{"BothOfTwoPulled", [](Notification& n) { n.Deliver(TwoReaders(P | C1, E | C2, P | C1, E | C2)); }, {0}, true,
                L""},
        TlsCase{"SwappedInTheSameReader", [](Notification& n) { n.Deliver(TwoReaders(P | C1, P | C3, E, E)); }, {1}, true,
                L"A"},
        TlsCase{"OutOfAAndIntoBInOneNotification",
                [](Notification& n) { n.Deliver(TwoReaders(P | C1, E | C2, E, P | C1)); }, {1}, true, L"B"},
        TlsCase{"NoReaderLeft",
                [](Notification& n) { n.Deliver({{scardm::PNP_NOTIFICATION_READER, {kPnPTwoReaders, 0}}}); }, {9}, true,
                L""},
        // The readers cannot be watched: the service went (the page hears it), or a pass failed.
        TlsCase{"ServiceGone", [](Notification& n) { n.SightLost(static_cast<DWORD>(SCARD_E_NO_SERVICE)); }, {10}, true,
                L""},
        TlsCase{"ReadersNotReadable", [](Notification& n) { n.SightLost(static_cast<DWORD>(SCARD_F_COMM_ERROR)); }, {},
                true, L""},
        TlsCase{"NewMonitorFindsAnotherCard", [](Notification& n) { n.Initial(TwoReaders(0, P | C2, 0, E)); }, {1}, true,
                L"A"},
        TlsCase{"NewMonitorFindsTheSameCard", [](Notification& n) { n.Initial(TwoReaders(0, P | C1, 0, E)); }, {1}, false,
                L"A"},
        TlsCase{"SameCardStays",
                [](Notification& n) { n.Deliver(TwoReaders(P | C1, P | SCARD_STATE_INUSE | C1, E, E)); }, {}, false, L"A"},
        TlsCase{"EmptyReaderAttached", [](Notification& n) { n.Deliver(TwoReaders(P | C1, P | C1, 0, E)); }, {}, false,
                L"A"}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

// ---- Requests still out when the session ends ---------------------------------------------

std::atomic<int> g_ends{0};
BOOL WINAPI CountEndsInternetSetOptionW(HINTERNET, DWORD option, LPVOID, DWORD)
{
    if (option == INTERNET_OPTION_END_BROWSER_SESSION)
        ++g_ends;
    return TRUE;
}

// What a request's answer sets up is its card's: an end that came while the request was out
// is made again once WinINet lets go of it, and a card that authenticated in the meantime is
// still watched afterwards. Steps, each with the ends counted once it is done.
enum class Op { AuthenticateA, AuthenticateB, RequestOut, LetGo, NoCardPresent };
struct MarkCase {
    const char* name;
    std::vector<std::pair<Op, int>> steps;
};

class RequestMarks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(RequestMarks, AnEndWhileARequestWasOutIsMadeAgainWhenItIsLetGo)
{
    SCardAuthCardSession& session = SCardAuthCardSession::Process();
    session.EndUnless("test", SCardAuthReader(), "clean start");
    testsupport::ImportHook hook(nullptr, "InternetSetOptionW", &CountEndsInternetSetOptionW);
    g_ends = 0;
    ULONG mark = 0;
    for (const auto& step : GetParam().steps) {
        switch (step.first) {
        case Op::AuthenticateA: session.Authenticate(SCardAuthReader{L"R1", 1}); break;
        case Op::AuthenticateB: session.Authenticate(SCardAuthReader{L"R1", 3}); break;
        case Op::RequestOut: mark = session.RequestOut(); break;
        case Op::LetGo: session.RequestLetGo(mark); break;
        case Op::NoCardPresent: session.EndUnless("test", SCardAuthReader(), "no card present"); break;
        }
        // The end repeated at a let-go comes from a thread of the pool.
        PumpUntil([&] { return g_ends.load() >= step.second; }, 3000);
        EXPECT_EQ(step.second, g_ends.load()) << "after step " << static_cast<int>(step.first);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestMarks,
    ::testing::Values(
        MarkCase{"AnEndWhileOutIsMadeAgain",
                 {{Op::AuthenticateA, 0}, {Op::RequestOut, 0}, {Op::NoCardPresent, 1}, {Op::LetGo, 2}}},
        MarkCase{"NoEndWhileOutNothingMore",
                 {{Op::AuthenticateA, 0}, {Op::RequestOut, 0}, {Op::LetGo, 0}, {Op::NoCardPresent, 1}}},
        MarkCase{"AnEndBeforeTheRequestIsNotMadeAgain",
                 {{Op::AuthenticateA, 0}, {Op::NoCardPresent, 1}, {Op::RequestOut, 1}, {Op::LetGo, 1}}},
        // Card B authenticated between the end and the let-go of A's request: its own answer
        // may come after the repeated end, so B stays watched and its removal ends it again.
        MarkCase{"ACardThatAuthenticatedSinceStaysWatched",
                 {{Op::AuthenticateA, 0},
                  {Op::RequestOut, 0},
                  {Op::NoCardPresent, 1},
                  {Op::AuthenticateB, 1},
                  {Op::LetGo, 2},
                  {Op::NoCardPresent, 3}}}),
    [](const ::testing::TestParamInfo<MarkCase>& info) { return std::string(info.param.name); });

// ---- A monitor whose stop times out ---------------------------------------------------------

TEST_F(HostedControlTest, AMonitorWhoseStopTimesOut_KeepsItsObjectAndTheModuleAfterTheControlIsGone)
{
    SimAttachReader(L"R1");
    EnableTracing();
    testsupport::TraceCapture trace;
    testsupport::StuckStatusWait stuck;
    const std::string deleted = "SCardAuth:SCardAuthMonitoringThread::~SCardAuthMonitoringThread: executing...";
    {
        EventSink sink;
        HostedControl host(&sink);
        ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
        ASSERT_TRUE(stuck.WaitUntilBlocked(10000));
        host.Destroy();  // the stop gives up after 10 s; then the control is released
        EXPECT_TRUE(trace.Contains("SCardAuth:CKeyvoraCtl::OnDestroy: failed while stopping "
                                   "SCardAuthMonitoringThread with exception: Win32 error: 1460"));
        EXPECT_EQ(S_FALSE, ctlfw::Module::CanUnloadNow()) << "a monitor still runs";
        EXPECT_FALSE(trace.Contains(deleted));
    }
    // The worker wakes after its control is gone: it ends on its own object, harmlessly, and
    // gives its context back, so that nothing of this test runs on into the next.
    stuck.Release();
    EXPECT_TRUE(trace.WaitFor("SCardAuth:scardm::SCardMonitoringThread::DestroySCardContext: executing...", 10000));
    EXPECT_TRUE(PumpUntil([] {
        LONG contexts = -1;
        SimGetOutstanding(&contexts, nullptr, nullptr);
        return contexts == 0;
    }));
    EXPECT_FALSE(trace.Contains(deleted));
}

// Two browser tabs are two threads of one process: their controls share the window class, and
// one tab's last window going never takes the class away under the other's creation.
TEST_F(HostedControlTest, ControlsOnTwoThreads_CreatedAndDestroyedInALoop_EachGetsItsWindow)
{
    std::atomic<int> failures{0};
    auto tab = [&failures] {
        keyvoratest::ClassRegistration registration;  // this thread's apartment
        for (int i = 0; i < 150; ++i) {
            try {
                HostedControl host;
                if (!host.ControlWindow())
                    ++failures;
                host.Destroy();
            } catch (const std::exception&) {
                ++failures;
            }
        }
    };
    std::thread first(tab), second(tab);
    first.join();
    second.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0u, keyvoratest::CurrentProcessCounts().userObjects) << "the window class outlived its last window";
}

// ---- Script handlers that re-enter the control -------------------------------------------

TEST_F(HostedControlTest, AHandlerThatRemovesTheControl_ItIsDeletedOnlyAfterTheFiringEnded)
{
    EnableTracing();
    testsupport::TraceCapture trace;
    EventSink sink;
    std::unique_ptr<HostedControl> host(new HostedControl(&sink));
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    const std::string deleted = "SCardAuth:SCardAuthMonitoringThread::~SCardAuthMonitoringThread: executing...";
    bool deletedInside = true;
    sink.onEvent = [&] {
        if (!host->Control())
            return;
        host->Destroy();  // the page's last reference goes
        deletedInside = trace.Contains(deleted);
    };
    PostMessageW(host->ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventInvalidPIN, 0);
    ASSERT_TRUE(PumpUntil([&] { return trace.Contains(deleted); }));
    EXPECT_FALSE(deletedInside);
    EXPECT_EQ((std::vector<LONG>{9, SCardAuthEventInvalidPIN}), Types(sink));
}

TEST_F(HostedControlTest, AHandlerWithAModalLoop_ThePairEndsOnTheNewestEvent)
{
    EventSink sink;
    HostedControl host(&sink);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; }));
    sink.onEvent = [&] {
        if (sink.events.size() != 2)
            return;
        // As an alert does: the next event is fired inside this handler.
        PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventSmartCardBlocked, 6);
        PumpUntil([&] { return sink.events.size() == 3; });
    };
    PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventInvalidPIN, 5);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 3; }));
    ASSERT_TRUE(PumpPosted());
    LONG type = 0, status = 0;
    host.Control()->get_LastReportedSCardEventType(&type);
    host.Control()->get_LastReportedSCardEventStatus(&status);
    EXPECT_EQ(SCardAuthEventSmartCardBlocked, type);
    EXPECT_EQ(6, status);
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

// A sink connected at the control's connection point hears what is fired while it is
// connected, nothing after Unadvise, and is let go; the control's pair still follows the events.
TEST_F(HostedControlTest, ASinkUnadvisedHearsNothingMore_ThePairStillUpdates)
{
    HostedControl host;  // the container connects nothing
    const auto pairIs = [&](LONG expected) {
        LONG type = 255;
        host.Control()->get_LastReportedSCardEventType(&type);
        return type == expected;
    };
    ASSERT_TRUE(PumpUntil([&] { return pairIs(9); }));  // the monitor's report, before the sink
    ctlfw::ComPtr<IConnectionPointContainer> container;
    ASSERT_HRESULT_SUCCEEDED(ctlfw::ComPtr<IKeyvoraCtl>(host.Control()).As(IID_IConnectionPointContainer, container));
    ctlfw::ComPtr<IConnectionPoint> point;
    ASSERT_HRESULT_SUCCEEDED(container->FindConnectionPoint(DIID__IKeyvoraCtlEvents, point.Put()));
    EventSink sink;
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&sink, &cookie));

    // The pair is updated after the firing: once it shows the event, the firing is over.
    PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventInvalidPIN, 5);
    ASSERT_TRUE(PumpUntil([&] { return pairIs(SCardAuthEventInvalidPIN); }));
    EXPECT_EQ(std::vector<LONG>{SCardAuthEventInvalidPIN}, Types(sink));

    ASSERT_HRESULT_SUCCEEDED(point->Unadvise(cookie));
    EXPECT_EQ(0u, sink.References());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventSmartCardBlocked, 6);
    ASSERT_TRUE(PumpUntil([&] { return pairIs(SCardAuthEventSmartCardBlocked); }));
    EXPECT_EQ(std::vector<LONG>{SCardAuthEventInvalidPIN}, Types(sink));
    LONG status = 0;
    host.Control()->get_LastReportedSCardEventStatus(&status);
    EXPECT_EQ(6, status);
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
    ASSERT_TRUE(PumpPosted());
    const keyvoratest::ProcessCounts before = keyvoratest::CurrentProcessCounts();
    // Counted from here: whatever held the module before the cycles does not matter.
    const LONG locks = ctlfw::Module::LockCount();
    for (int i = 0; i < 200; ++i) {
        EventSink sink;
        HostedControl host(&sink);
        ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == 1; })) << "cycle " << i;
        host.Destroy();
        EXPECT_EQ(0u, sink.References()) << "cycle " << i;
    }
    ASSERT_TRUE(PumpPosted());
    const keyvoratest::ProcessCounts after = keyvoratest::CurrentProcessCounts();
    EXPECT_LE(after.handles, before.handles + 5) << "handles";
    // A leak would be one thread a cycle; a little room for the platform's own pool threads.
    EXPECT_LE(after.threads, before.threads + 2) << "threads";
    EXPECT_EQ(0u, after.userObjects) << "the control's window class outlived its last window";
    EXPECT_EQ(locks, ctlfw::Module::LockCount()) << "no object of the cycles is left";
}

}  // namespace
