#pragma once
// The control's card monitor: classifies reader states into card events, keeps the control's
// active reader, posts every event to the control's window, and ends the WinINet browser
// session when the only card leaves after a request was made.
#include "SCardMonitoringThread.h"

class CKeyvoraCtl;

// Card-event codes reported to script (codes 2 and 7 are never produced).
enum SCardAuthEventType : LONG {
    SCardAuthEventSmartCardAbsent = 0,
    SCardAuthEventSmartCardPresent = 1,
    SCardAuthEventDefaultCertOnCardExpired = 3,
    SCardAuthEventMultipleSmartCardsPresent = 4,
    SCardAuthEventInvalidPIN = 5,
    SCardAuthEventSmartCardBlocked = 6,
    SCardAuthEventUnknownFailure = 8,
    SCardAuthEventNoSmartCardReader = 9,
    SCardAuthEventResourceManagerNotStarted = 10,
    SCardAuthEventDefaultCertOnCardRevoked = 11,
};

// Posted (never sent) to the control window: wParam the event code, lParam its status.
const UINT WM_REPORT_SCARD_EVENT = WM_USER + 1;

// A window handle as the traces print it ("%08X").
inline DWORD HandleText(HWND window) { return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(window)); }

class SCardAuthMonitoringThread : public scardm::SCardMonitoringThread {
public:
    SCardAuthMonitoringThread(HWND ctlHwnd, CKeyvoraCtl* ctl);
    ~SCardAuthMonitoringThread() override;

protected:
    void ProcessBeforeWaitingForSCardStartedEvent(HANDLE startedEvent) override;
    void ProcessInitalReaderStates(scardm::ReaderStates& states) override;
    void ProcessStateChangeInReaderStates(scardm::ReaderStates& states) override;

private:
    // Counts the cards present in the new states (tracing every entry); candidate is the
    // reader of the last one.
    long CountPresent(const char* function, scardm::ReaderStates& states, long& current, std::wstring& candidate);
    // Sets the active reader and posts the event for that count of cards.
    void ApplyOutcome(const char* function, long count, const std::wstring& candidate);
    void Post(const char* function, const char* eventName, SCardAuthEventType code);
    void ClearSslAuthenticationState(const char* function);

    HWND m_ctlHwnd;
    CKeyvoraCtl* m_ctl;  // not counted: the control stops this thread before its window goes
};
