// The simulated smart-card service must behave as the Windows one does, because every card
// test of the system runs against it.
#include "CardService.h"
#include "Process.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>
#include <winscard.h>

#include <string>
#include <vector>

using testsupport::RunBeside;

namespace {

const wchar_t kPnP[] = L"\\\\?PnP?\\Notification";

class SCardSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context), SCARD_S_SUCCESS);
    }
    void TearDown() override
    {
        if (m_context)
            SCardReleaseContext(m_context);
        LONG contexts = -1, blocks = -1;
        SimGetOutstanding(&contexts, &blocks, nullptr);
        EXPECT_EQ(contexts, 0);
        EXPECT_EQ(blocks, 0);
    }

    // One immediate status read of the given readers, with what the caller knows.
    LONG ReadStates(std::vector<SCARD_READERSTATEW>& states, DWORD timeout = 0)
    {
        return SCardGetStatusChangeW(m_context, timeout, states.data(), static_cast<DWORD>(states.size()));
    }
    static SCARD_READERSTATEW Record(const wchar_t* reader, DWORD known = SCARD_STATE_UNAWARE)
    {
        SCARD_READERSTATEW s = {};
        s.szReader = reader;
        s.dwCurrentState = known;
        return s;
    }
    // What Windows callers do after each read: the reported word becomes the known one.
    static void FeedBack(std::vector<SCARD_READERSTATEW>& states)
    {
        for (auto& s : states) {
            s.dwCurrentState = s.dwEventState;
            s.dwEventState = 0;
        }
    }

    testsupport::CardServiceReset m_service;
    SCARDCONTEXT m_context = 0;
};

struct BlockingWait {
    SCARDCONTEXT context;
    std::vector<SCARD_READERSTATEW> states;
    LONG result = -1;
    tsmb::UniqueHandle thread{};

    static DWORD WINAPI Run(LPVOID p)
    {
        auto* self = static_cast<BlockingWait*>(p);
        self->result = SCardGetStatusChangeW(self->context, INFINITE, self->states.data(),
                                             static_cast<DWORD>(self->states.size()));
        return 0;
    }
    void Start() { thread = tsmb::UniqueHandle(CreateThread(nullptr, 0, &Run, this, 0, nullptr)); }
    bool EndsWithin(DWORD ms) { return WaitForSingleObject(thread.Get(), ms) == WAIT_OBJECT_0; }
    ~BlockingWait()
    {
        if (thread)
            WaitForSingleObject(thread.Get(), 10000);
    }
};

// Waits (bounded) until a status-change wait is blocked in the service.
bool UntilWaitIsPending()
{
    for (int i = 0; i < 1000; ++i) {
        if (SimCountPendingWaits() > 0)
            return true;
        Sleep(2);
    }
    return false;
}

std::wstring MultiString(const wchar_t* block, DWORD length) { return std::wstring(block, length); }

}  // namespace

TEST_F(SCardSim, ListReaders_NoReader_NothingAllocated)
{
    LPWSTR block = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, reinterpret_cast<LPWSTR>(&block), &length),
              SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(block, nullptr);
}

TEST_F(SCardSim, ListReaders_AutoAllocatedMultiStringInAttachOrder_FreedOnce)
{
    ASSERT_EQ(SimAttachReader(L"Zeta Reader"), 0);
    ASSERT_EQ(SimAttachReader(L"Alpha Reader"), 0);
    LPWSTR block = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReadersW(m_context, nullptr, reinterpret_cast<LPWSTR>(&block), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(MultiString(block, length), std::wstring(L"Zeta Reader\0Alpha Reader\0\0", 26));
    LONG blocks = 0;
    SimGetOutstanding(nullptr, &blocks, nullptr);
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(SCardFreeMemory(m_context, block), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(m_context, block), SCARD_E_INVALID_PARAMETER);

    // The caller's own buffer: a size query, too small, then big enough.
    DWORD needed = 0;
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, nullptr, &needed), SCARD_S_SUCCESS);
    EXPECT_EQ(needed, 26u);
    wchar_t small[4];
    DWORD smallLength = 4;
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, small, &smallLength), SCARD_E_INSUFFICIENT_BUFFER);
    wchar_t buffer[64];
    DWORD bufferLength = 64;
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, buffer, &bufferLength), SCARD_S_SUCCESS);
    EXPECT_EQ(MultiString(buffer, bufferLength), std::wstring(L"Zeta Reader\0Alpha Reader\0\0", 26));
}

TEST_F(SCardSim, StatusChange_ReportsStateCountAndAtr_AndFeedBackMakesItQuiet)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    std::vector<SCARD_READERSTATEW> states{Record(L"R1"), Record(L"Missing"), Record(kPnP)};
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    EXPECT_EQ(states[0].dwEventState, static_cast<DWORD>(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    EXPECT_EQ(states[1].dwEventState, static_cast<DWORD>(SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED));
    EXPECT_EQ(states[2].dwEventState, static_cast<DWORD>(0x00010000 | SCARD_STATE_CHANGED));

    // Fed back with SCARD_STATE_CHANGED and the high bits, nothing differs any more.
    FeedBack(states);
    EXPECT_EQ(ReadStates(states), SCARD_E_TIMEOUT);
    EXPECT_EQ(states[0].dwEventState & SCARD_STATE_CHANGED, 0u);

    const BYTE atr[] = {0x3B, 0x02, 0x14, 0x50};
    ASSERT_EQ(SimInsertCard(L"R1", atr, sizeof(atr), nullptr, nullptr), 0);
    FeedBack(states);
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    EXPECT_EQ(states[0].dwEventState, static_cast<DWORD>(0x00010000 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
    ASSERT_EQ(states[0].cbAtr, sizeof(atr));
    EXPECT_EQ(memcmp(states[0].rgbAtr, atr, sizeof(atr)), 0);
    EXPECT_EQ(states[2].dwEventState & SCARD_STATE_CHANGED, 0u);  // a card alone is no PnP change

    ASSERT_EQ(SimRemoveCard(L"R1"), 0);
    FeedBack(states);
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    EXPECT_EQ(states[0].dwEventState, static_cast<DWORD>(0x00020000 | SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    EXPECT_EQ(states[0].cbAtr, 0u);
}

TEST_F(SCardSim, PnPRecord_CountsAttachedReaders)
{
    std::vector<SCARD_READERSTATEW> states{Record(kPnP)};
    const struct { const wchar_t* reader; bool attach; DWORD count; } steps[] = {
        {L"A", true, 1}, {L"B", true, 2}, {L"A", false, 1}, {L"B", false, 0}};
    // Unaware callers are answered at once, even when nothing is attached.
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    EXPECT_EQ(states[0].dwEventState, static_cast<DWORD>(SCARD_STATE_CHANGED));
    for (const auto& step : steps) {
        FeedBack(states);
        ASSERT_EQ(step.attach ? SimAttachReader(step.reader) : SimDetachReader(step.reader), 0);
        ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
        EXPECT_EQ(states[0].dwEventState >> 16, step.count);
    }
}

TEST_F(SCardSim, BlockingWait_WakesWhenAnotherProcessInsertsACard)
{
    ASSERT_EQ(SimAttachReader(L"Shared Reader"), 0);
    BlockingWait wait{m_context, {Record(L"Shared Reader"), Record(kPnP)}};
    ASSERT_EQ(ReadStates(wait.states), SCARD_S_SUCCESS);
    FeedBack(wait.states);
    wait.Start();
    ASSERT_TRUE(UntilWaitIsPending());
    const auto run = RunBeside(L"scardsim.exe", L"insert \"Shared Reader\"");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    // Generous bound a loaded machine cannot break; the benchmark reports the real latency.
    ASSERT_TRUE(wait.EndsWithin(2000));
    EXPECT_EQ(wait.result, SCARD_S_SUCCESS);
    EXPECT_EQ(wait.states[0].dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_CHANGED),
              static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
}

TEST_F(SCardSim, Cancel_EndsAPendingWait_AndLeavesNoTraceOtherwise)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);  // with no reader the PnP word is 0, which means unaware
    std::vector<SCARD_READERSTATEW> states{Record(kPnP)};
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    FeedBack(states);

    // A cancel with nothing pending does not end a later wait: only its time-out can show that.
    ASSERT_EQ(SCardCancel(m_context), SCARD_S_SUCCESS);
    EXPECT_EQ(ReadStates(states, 200), SCARD_E_TIMEOUT);

    BlockingWait wait{m_context, states};
    wait.Start();
    ASSERT_TRUE(UntilWaitIsPending());
    ASSERT_EQ(SCardCancel(m_context), SCARD_S_SUCCESS);
    ASSERT_TRUE(wait.EndsWithin(2000));
    EXPECT_EQ(wait.result, SCARD_E_CANCELLED);
    EXPECT_EQ(SimCountPendingWaits(), 0);
}

TEST_F(SCardSim, ServiceStop_ResetsStartedEventFailsContextsAndEndsWaits)
{
    HANDLE started = SCardAccessStartedEvent();
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(WaitForSingleObject(started, 0), WAIT_OBJECT_0);

    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    std::vector<SCARD_READERSTATEW> states{Record(kPnP)};
    ASSERT_EQ(ReadStates(states), SCARD_S_SUCCESS);
    FeedBack(states);
    BlockingWait wait{m_context, states};
    wait.Start();
    ASSERT_TRUE(UntilWaitIsPending());

    ASSERT_EQ(RunBeside(L"scardsim.exe", L"service stop").exitCode, 0u);
    ASSERT_TRUE(wait.EndsWithin(2000));
    EXPECT_EQ(wait.result, SCARD_E_SYSTEM_CANCELLED);
    EXPECT_EQ(WaitForSingleObject(started, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SCARDCONTEXT other = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_E_NO_SERVICE);
    EXPECT_EQ(SimIsServiceRunning(), 0);

    ASSERT_EQ(RunBeside(L"scardsim.exe", L"service start").exitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(started, 0), WAIT_OBJECT_0);
    // A context from before the stop stays dead; a new one works.
    EXPECT_EQ(SCardIsValidContext(m_context), SCARD_E_INVALID_HANDLE);
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(other), SCARD_S_SUCCESS);

    LONG refs = 0;
    SimGetOutstanding(nullptr, nullptr, &refs);
    EXPECT_EQ(refs, 1);
    SCardReleaseStartedEvent();
    SimGetOutstanding(nullptr, nullptr, &refs);
    EXPECT_EQ(refs, 0);
}

TEST_F(SCardSim, FailNext_AffectsExactlyTheNextCallOfThatOperation)
{
    const auto run = RunBeside(L"scardsim.exe", L"fail SCardEstablishContext 0x8010001D");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    ASSERT_EQ(SimFailNext("SCardListReadersW", static_cast<LONG>(SCARD_F_COMM_ERROR)), 0);
    ASSERT_EQ(SimFailNext("SCardAccessStartedEvent", 6), 0);

    SCARDCONTEXT other = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_E_NO_SERVICE);
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    SCardReleaseContext(other);

    DWORD length = 0;
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, nullptr, &length), SCARD_F_COMM_ERROR);
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);

    SetLastError(0);
    EXPECT_EQ(SCardAccessStartedEvent(), nullptr);
    EXPECT_EQ(GetLastError(), 6u);
}

TEST_F(SCardSim, CardNamesAndProvider_AsGivenAtInsertion_OrDefaults)
{
    ASSERT_EQ(SimAttachReader(L"R1"), 0);
    ASSERT_EQ(SimAttachReader(L"R2"), 0);
    const BYTE atr1[] = {0x3B, 0x11, 0x22};
    const BYTE atr2[] = {0x3B, 0x33, 0x44};
    ASSERT_EQ(SimInsertCard(L"R1", atr1, sizeof(atr1), L"Acme ID", L"Acme CSP"), 0);
    ASSERT_EQ(SimInsertCard(L"R2", atr2, sizeof(atr2), nullptr, nullptr), 0);

    const struct { const BYTE* atr; const wchar_t* card; const wchar_t* csp; } cases[] = {
        {atr1, L"Acme ID", L"Acme CSP"},
        {atr2, L"Simulated Smart Card", L"Microsoft Base Smart Card Crypto Provider"},
    };
    for (const auto& c : cases) {
        LPWSTR cards = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        ASSERT_EQ(SCardListCardsW(m_context, c.atr, nullptr, 0, reinterpret_cast<LPWSTR>(&cards), &length), SCARD_S_SUCCESS);
        EXPECT_STREQ(cards, c.card);
        LPWSTR csp = nullptr;
        length = SCARD_AUTOALLOCATE;
        ASSERT_EQ(SCardGetCardTypeProviderNameW(m_context, cards, SCARD_PROVIDER_CSP, reinterpret_cast<LPWSTR>(&csp), &length),
                  SCARD_S_SUCCESS);
        EXPECT_STREQ(csp, c.csp);
        SCardFreeMemory(m_context, csp);
        SCardFreeMemory(m_context, cards);
    }
    DWORD length = SCARD_AUTOALLOCATE;
    LPWSTR csp = nullptr;
    EXPECT_EQ(SCardGetCardTypeProviderNameW(m_context, L"No Such Card", SCARD_PROVIDER_CSP, reinterpret_cast<LPWSTR>(&csp),
                                            &length),
              SCARD_E_UNKNOWN_CARD);
}

TEST_F(SCardSim, BadHandlesAndArguments_GiveWindowsCodes)
{
    const SCARDCONTEXT bogus = 0x1234;
    DWORD length = 0;
    SCARD_READERSTATEW state = Record(kPnP);
    EXPECT_EQ(SCardListReadersW(bogus, nullptr, nullptr, &length), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardGetStatusChangeW(bogus, 0, &state, 1), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardCancel(bogus), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardReleaseContext(bogus), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardIsValidContext(bogus), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
    SCARDCONTEXT unused = 0;
    EXPECT_EQ(SCardEstablishContext(7, nullptr, nullptr, &unused), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(SCardGetStatusChangeW(m_context, 0, nullptr, 1), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardListReadersW(m_context, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SimInsertCard(L"Not Attached", nullptr, 0, nullptr, nullptr), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SimAttachReader(kPnP), SCARD_E_INVALID_PARAMETER);
}

TEST(ScardsimTool, CommandLines_ExitCodesAndStatus)
{
    struct Case { const wchar_t* arguments; bool ok; const char* output; };
    const Case cases[] = {
        {L"reset", true, ""},
        {L"attach \"Reader One\"", true, ""},
        {L"attach \"Reader One\"", false, "scardsim: reader \"Reader One\" is already attached\n"},
        {L"insert \"Reader One\" --atr \"3B 02 14 50\" --card \"Acme ID\" --csp \"Acme CSP\"", true, ""},
        {L"status", true, "\"Reader One\" 0x00010020 3B021450\n"},
        {L"insert \"Reader One\"", false, "scardsim: a card is already in reader \"Reader One\"\n"},
        {L"insert \"Nobody\"", false, "scardsim: unknown reader \"Nobody\"\n"},
        {L"insert \"Reader One\" --atr 3G", false, "scardsim: malformed ATR \"3G\"\n"},
        {L"remove \"Reader One\"", true, ""},
        {L"remove \"Reader One\"", false, "scardsim: no card in reader \"Reader One\"\n"},
        {L"fail SCardCancel nonsense", false, "scardsim: malformed code \"nonsense\"\n"},
        {L"service pause", false, "scardsim: unknown service action \"pause\"\n"},
        {L"frobnicate", false, "scardsim: unknown command or wrong arguments: \"frobnicate\"\n"},
        {L"detach \"Reader One\"", true, ""},
        {L"status", true, ""},
    };
    for (const Case& c : cases) {
        const auto run = RunBeside(L"scardsim.exe", c.arguments);
        EXPECT_EQ(run.exitCode == 0, c.ok) << std::string(c.arguments, c.arguments + wcslen(c.arguments));
        std::string output;
        for (char ch : run.output)
            if (ch != '\r')
                output.push_back(ch);
        EXPECT_EQ(output, c.output);
    }
}
