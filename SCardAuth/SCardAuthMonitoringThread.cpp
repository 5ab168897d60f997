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
    if (!m_state->Post(m_generation, WM_REPORT_SCARD_EVENT, static_cast<WPARAM>(code), 0))
        Trace("SCardAuth:%s: the control window is gone => event not posted", function);
}

void SCardAuthMonitoringThread::ProcessBeforeWaitingForSCardStartedEvent(HANDLE startedEvent)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessBeforeWaitingForSCardStartedEvent";
    Trace("SCardAuth:%s: executing...", kName);
    if (WaitForSingleObject(startedEvent, 0) == WAIT_TIMEOUT) {
        Post(kName, "SCardAuthEventResourceManagerNotStarted", SCardAuthEventResourceManagerNotStarted);
        // Nobody watches the card while the service is down.
        EndTlsSessionUnless(kName, SCardAuthReader(), "smart-card service not started");
    }
}

long SCardAuthMonitoringThread::CountPresent(const char* function, scardm::ReaderStates& states, long& current,
                                             SCardAuthReader& candidate, bool& changed)
{
    long event = 0;
    current = 0;
    changed = false;
    for (size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATEW& state = states[i];
        Trace("SCardAuth:%s:SCARD_READERSTATE[%ld]: reader: \"%S\" currentState: 0x%08X eventState: 0x%08X", function,
              static_cast<long>(i), state.szReader, state.dwCurrentState, state.dwEventState);
        if (scardm::IsPnPNotificationEntry(state))
            continue;
        const bool was = (state.dwCurrentState & SCARD_STATE_PRESENT) != 0;
        const bool is = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (was != is ||
            (was && is && tsmb::ReaderStateCount(state.dwCurrentState) != tsmb::ReaderStateCount(state.dwEventState)))
            changed = true;
        if (was)
            ++current;
        if (is) {
            ++event;
            candidate.name = state.szReader;
            candidate.counter = tsmb::ReaderStateCount(state.dwEventState);
        }
    }
    return event;
}

void SCardAuthMonitoringThread::ApplyOutcome(const char* function, long count, const SCardAuthReader& candidate)
{
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

void SCardAuthMonitoringThread::ProcessInitalReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessInitalReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1) {
        // The reader that was active may have gone while nobody watched (the service was
        // down): no reader means no active reader.
        m_state->SetActiveReader(m_generation, SCardAuthReader());
        Post(kName, "SCardAuthEventNoSmartCardReader", SCardAuthEventNoSmartCardReader);
        EndTlsSessionUnless(kName, SCardAuthReader(), "no reader");
        return;
    }
    long current = 0;
    bool changed = false;
    SCardAuthReader candidate;
    const long count = CountPresent(kName, states, current, candidate, changed);
    // Also the first pass of a new monitor: a card pulled (and put back) while no monitor
    // watched has another counter, and ends the session here.
    ApplyOutcome(kName, count, candidate);
}

void SCardAuthMonitoringThread::ProcessStateChangeInReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessStateChangeInReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1 && RetrievePnPNotificationReaderCountFromReaderStates(states) == 0) {
        m_state->SetActiveReader(m_generation, SCardAuthReader());
        Post(kName, "SCardAuthEventNoSmartCardReader", SCardAuthEventNoSmartCardReader);
        EndTlsSessionUnless(kName, SCardAuthReader(), "no reader");
        return;
    }
    long current = 0;
    bool changed = false;
    SCardAuthReader candidate;
    const long event = CountPresent(kName, states, current, candidate, changed);
    Trace("SCardAuth:%s: SCard count current state: %ld SCard count event state: %ld", kName, current, event);
    // Equal counts still hide a change when one card left and another came in the same
    // notification: the new state is reported as any other.
    if (!changed)
        return;
    ApplyOutcome(kName, event, candidate);
}
