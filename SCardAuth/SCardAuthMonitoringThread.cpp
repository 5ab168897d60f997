#include "SCardAuthMonitoringThread.h"

#include "Module.h"
#include "Trace.h"

SCardAuthMonitoringThread::SCardAuthMonitoringThread(HWND ctlHwnd, const RefPtr<SCardAuthState>& state,
                                                     ULONG generation)
    : scardm::SCardMonitoringThread(0), m_ctlHwnd(ctlHwnd), m_state(state), m_generation(generation)
{
    // DllCanUnloadNow says no while a monitor exists: one whose stop timed out still runs.
    ctlfw::Module::Lock();
    Trace("SCardAuth:%s: executing...", "SCardAuthMonitoringThread::SCardAuthMonitoringThread");
}

SCardAuthMonitoringThread::~SCardAuthMonitoringThread()
{
    Trace("SCardAuth:%s: executing...", "SCardAuthMonitoringThread::~SCardAuthMonitoringThread");
    ctlfw::Module::Unlock();
}

void SCardAuthMonitoringThread::Post(const char* function, const char* eventName, SCardAuthEventType code)
{
    Trace("SCardAuth:%s: calling PostMessage with %s ctlHwnd: %08X", function, eventName, HandleValue(m_ctlHwnd));
    m_lastPosted = code;
    if (!m_state->Post(m_generation, WM_REPORT_SCARD_EVENT, static_cast<WPARAM>(code), 0))
        Trace("SCardAuth:%s: the control window is gone => event not posted", function);
}

void SCardAuthMonitoringThread::OnSightLost(DWORD code)
{
    static const char kName[] = "SCardAuthMonitoringThread::OnSightLost";
    Trace("SCardAuth:%s: executing... SCard error: 0x%08X", kName, code);
    const bool cardKnown =
        m_lastPosted == SCardAuthEventSmartCardPresent || m_lastPosted == SCardAuthEventMultipleSmartCardsPresent;
    Trace("SCardAuth:%s: the readers cannot be watched => reset active reader", kName);
    m_state->EndWatch(m_generation);
    m_singleReader.clear();
    EndTlsSessionUnless(kName, SCardAuthReader(), "the readers cannot be watched");
    if (scardm::IsServiceGoneCode(code))
        Post(kName, "SCardAuthEventResourceManagerNotStarted", SCardAuthEventResourceManagerNotStarted);
    else if (cardKnown)
        Post(kName, "SCardAuthEventSmartCardAbsent", SCardAuthEventSmartCardAbsent);
}

SCardAuthMonitoringThread::Tally SCardAuthMonitoringThread::CountCards(const char* function,
                                                                       const scardm::ReaderStates& states,
                                                                       bool firstPass) const
{
    Tally tally;
    for (size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATEW& state = states[i];
        Trace("SCardAuth:%s:SCARD_READERSTATE[%ld]: reader: \"%S\" currentState: 0x%08X eventState: 0x%08X", function,
              static_cast<long>(i), state.szReader, state.dwCurrentState, state.dwEventState);
        if (scardm::IsPnPNotificationEntry(state))
            continue;
        const scardm::CardChange change = firstPass ? ChangeAtFirstPass(state) : ChangeAtStateChange(state);
        tally.changed = tally.changed || change != scardm::CardChange::None;
        if (!m_singleReader.empty() && m_singleReader == state.szReader && scardm::CardMayHaveLeft(change))
            tally.singleCardMayHaveLeft = true;
        if (scardm::HoldsCard(state.dwCurrentState))
            ++tally.before;
        if (scardm::HoldsCard(state.dwEventState)) {
            ++tally.now;
            tally.candidate.name = state.szReader;
            tally.candidate.counter = tsmb::ReaderStateCount(state.dwEventState);
        }
    }
    return tally;
}

void SCardAuthMonitoringThread::ApplyOutcome(const char* function, const Tally& tally)
{
    if (tally.singleCardMayHaveLeft) {
        Trace("SCardAuth:%s: the card in reader \"%S\" may have left => a new watch", function, m_singleReader.c_str());
        m_state->EndWatch(m_generation);
    }
    const long count = tally.now;
    const SCardAuthReader& candidate = tally.candidate;
    m_singleReader = count == 1 ? candidate.name : count == 0 ? std::wstring() : m_singleReader;
    if (count == 1) {
        Trace("SCardAuth:%s: setting active reader: %S", function, candidate.name.c_str());
        m_state->SetActiveReader(m_generation, candidate);
        Post(function, "SCardAuthEventSmartCardPresent", SCardAuthEventSmartCardPresent);
        EndTlsSessionUnless(function, candidate, "another card present");
    } else if (count >= 2) {
        Trace("SCardAuth:%s: multiple smart cards => reset active reader", function);
        m_state->SetActiveReader(m_generation, SCardAuthReader());
        Post(function, "SCardAuthEventMultipleSmartCardsPresent", SCardAuthEventMultipleSmartCardsPresent);
        EndTlsSessionUnless(function, SCardAuthReader(), "several cards present");
    } else {
        Trace("SCardAuth:%s: no smart card => reset active reader", function);
        m_state->SetActiveReader(m_generation, SCardAuthReader());
        Post(function, "SCardAuthEventSmartCardAbsent", SCardAuthEventSmartCardAbsent);
        EndTlsSessionUnless(function, SCardAuthReader(), "no card present");
    }
}

void SCardAuthMonitoringThread::ReportNoReader(const char* function)
{
    // The one card's reader went with the rest.
    if (!m_singleReader.empty()) {
        m_state->EndWatch(m_generation);
        m_singleReader.clear();
    }
    m_state->SetActiveReader(m_generation, SCardAuthReader());
    Post(function, "SCardAuthEventNoSmartCardReader", SCardAuthEventNoSmartCardReader);
    EndTlsSessionUnless(function, SCardAuthReader(), "no reader");
}

void SCardAuthMonitoringThread::ProcessInitalReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessInitalReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1) {
        // The reader that was active may have gone while nobody watched (the service was
        // down): no reader means no active reader.
        ReportNoReader(kName);
        return;
    }
    // Also the first pass of a new monitor, or after the readers could not be watched: a card
    // pulled (and put back) meanwhile has another counter, or the session ended already.
    ApplyOutcome(kName, CountCards(kName, states, true));
}

void SCardAuthMonitoringThread::ProcessStateChangeInReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessStateChangeInReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1 && RetrievePnPNotificationReaderCountFromReaderStates(states) == 0) {
        ReportNoReader(kName);
        return;
    }
    const Tally tally = CountCards(kName, states, false);
    Trace("SCardAuth:%s: SCard count current state: %ld SCard count event state: %ld", kName, tally.before, tally.now);
    // Equal counts still hide a change when one card left and another came in the same
    // notification: the new state is reported as any other.
    if (!tally.changed)
        return;
    ApplyOutcome(kName, tally);
}
