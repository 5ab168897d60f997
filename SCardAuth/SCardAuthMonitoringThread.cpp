#include "SCardAuthMonitoringThread.h"

#include <wininet.h>

#include "KeyvoraCtl.h"
#include "Trace.h"

SCardAuthMonitoringThread::SCardAuthMonitoringThread(HWND ctlHwnd, CKeyvoraCtl* ctl)
    : scardm::SCardMonitoringThread(0), m_ctlHwnd(ctlHwnd), m_ctl(ctl)
{
    Trace("SCardAuth:%s: executing...", "SCardAuthMonitoringThread::SCardAuthMonitoringThread");
}

SCardAuthMonitoringThread::~SCardAuthMonitoringThread()
{
    Trace("SCardAuth:%s: executing...", "SCardAuthMonitoringThread::~SCardAuthMonitoringThread");
}

void SCardAuthMonitoringThread::Post(const char* function, const char* eventName, SCardAuthEventType code)
{
    Trace("SCardAuth:%s: calling PostMessage with %s ctlHwnd: %08X", function, eventName, HandleText(m_ctlHwnd));
    PostMessageW(m_ctlHwnd, WM_REPORT_SCARD_EVENT, static_cast<WPARAM>(code), 0);
}

void SCardAuthMonitoringThread::ProcessBeforeWaitingForSCardStartedEvent(HANDLE startedEvent)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessBeforeWaitingForSCardStartedEvent";
    Trace("SCardAuth:%s: executing...", kName);
    if (WaitForSingleObject(startedEvent, 0) == WAIT_TIMEOUT)
        Post(kName, "SCardAuthEventResourceManagerNotStarted", SCardAuthEventResourceManagerNotStarted);
}

long SCardAuthMonitoringThread::CountPresent(const char* function, scardm::ReaderStates& states, long& current,
                                             std::wstring& candidate)
{
    long event = 0;
    current = 0;
    for (size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATEW& state = states[i];
        Trace("SCardAuth:%s:SCARD_READERSTATE[%ld]: reader: \"%S\" currentState: 0x%08X eventState: 0x%08X", function,
              static_cast<long>(i), state.szReader, state.dwCurrentState, state.dwEventState);
        if (scardm::IsPnPNotificationEntry(state))
            continue;
        if (state.dwCurrentState & SCARD_STATE_PRESENT)
            ++current;
        if (state.dwEventState & SCARD_STATE_PRESENT) {
            ++event;
            candidate = state.szReader;
        }
    }
    return event;
}

void SCardAuthMonitoringThread::ApplyOutcome(const char* function, long count, const std::wstring& candidate)
{
    if (count == 1) {
        Trace("SCardAuth:%s: setting active reader: %S", function, candidate.c_str());
        m_ctl->SetActiveReader(candidate);
        Post(function, "SCardAuthEventSmartCardPresent", SCardAuthEventSmartCardPresent);
    } else if (count >= 2) {
        Trace("SCardAuth:%s: multiple smart cards => reset active reader", function);
        m_ctl->SetActiveReader(std::wstring());
        Post(function, "SCardAuthEventMultipleSmartCardsPresent", SCardAuthEventMultipleSmartCardsPresent);
    } else {
        Trace("SCardAuth:%s: no smart card => reset active reader", function);
        m_ctl->SetActiveReader(std::wstring());
        Post(function, "SCardAuthEventSmartCardAbsent", SCardAuthEventSmartCardAbsent);
    }
}

void SCardAuthMonitoringThread::ProcessInitalReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessInitalReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1) {
        // The reader that was active may have gone while nobody watched (the service was
        // down): no reader means no active reader.
        m_ctl->SetActiveReader(std::wstring());
        Post(kName, "SCardAuthEventNoSmartCardReader", SCardAuthEventNoSmartCardReader);
        return;
    }
    long current = 0;
    std::wstring candidate;
    const long count = CountPresent(kName, states, current, candidate);
    ApplyOutcome(kName, count, candidate);
}

void SCardAuthMonitoringThread::ProcessStateChangeInReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAuthMonitoringThread::ProcessStateChangeInReaderStates";
    Trace("SCardAuth:%s: executing...", kName);
    if (states.size() == 1 && RetrievePnPNotificationReaderCountFromReaderStates(states) == 0) {
        m_ctl->SetActiveReader(std::wstring());
        Post(kName, "SCardAuthEventNoSmartCardReader", SCardAuthEventNoSmartCardReader);
        return;
    }
    long current = 0;
    std::wstring candidate;
    const long event = CountPresent(kName, states, current, candidate);
    Trace("SCardAuth:%s: SCard count current state: %ld SCard count event state: %ld", kName, current, event);
    if (current == event)
        return;
    ApplyOutcome(kName, event, candidate);
    // Only the removal of the only card ends the TLS session; two cards to none does not.
    if (event == 0 && current == 1)
        ClearSslAuthenticationState(kName);
}

void SCardAuthMonitoringThread::ClearSslAuthenticationState(const char* function)
{
    bool performed;
    {
        tsmb::CriticalSectionLock lock(m_ctl->m_sslAuthenticationLock);
        performed = m_ctl->m_sslAuthenticationPerformed;
    }
    if (!performed)
        return;
    Trace("SCardAuth:%s: smart card removal and previous SSL authentication => clear SSL authentication state",
          function);
    if (!InternetSetOptionW(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0))
        Trace("SCardAuth:%s:InternetSetOption: failed for INTERNET_OPTION_END_BROWSER_SESSION with last error: %ld",
              function, GetLastError());
    tsmb::CriticalSectionLock lock(m_ctl->m_sslAuthenticationLock);
    m_ctl->m_sslAuthenticationPerformed = false;
}
