#pragma once
// The control's card monitor: classifies reader states into card events, keeps the control's
// active reader, posts every event to the control's window, and applies the process's rule to
// the card that authenticated the WinINet session at every event and at its first pass.
#include "RefCount.h"
#include "SCardAuthState.h"
#include "SCardMonitoringThread.h"

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
inline DWORD HandleValue(HWND window) { return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(window)); }

// Threads: constructed on the page thread; every hook runs on the monitor's worker; the last
// reference may go on the page thread, or never (a monitor whose stop timed out).
class SCardAuthMonitoringThread : public scardm::SCardMonitoringThread {
public:
    // generation: what state.AttachWindow gave for ctlHwnd; a monitor of an earlier window
    // (one whose stop timed out) then neither posts nor sets the active reader.
    SCardAuthMonitoringThread(HWND ctlHwnd, const RefPtr<SCardAuthState>& state, ULONG generation);
    ~SCardAuthMonitoringThread() override;

protected:
    void ProcessInitalReaderStates(scardm::ReaderStates& states) override;
    void ProcessStateChangeInReaderStates(scardm::ReaderStates& states) override;
    // The readers cannot be watched: no active card, a new watch (the PIN and any request of
    // the last one are not the active card's any more), the TLS session ends, and the page
    // hears what the control can tell: the service is gone (10), or its card is (0).
    void OnSightLost(DWORD code) override;

private:
    // The cards of the new states, every entry traced: how many were in before and are in now,
    // the reader of the last one in, and whether a card came or went in some reader (also when
    // the counts stay: a card swapped, or one leaving A as another enters B).
    struct Tally {
        long before = 0;
        long now = 0;
        SCardAuthReader candidate;
        bool changed = false;
        // The card that was the one card present may have left (its reader's card left, was
        // swapped, or went with the reader), whatever the reader holds now.
        bool singleCardMayHaveLeft = false;
    };
    Tally CountCards(const char* function, const scardm::ReaderStates& states, bool firstPass) const;
    // Sets the active reader, posts the event for that count of cards, and ends the TLS
    // session unless its card is that one card. A card that may have left ends its watch first:
    // a reader plugged in again numbers its cards afresh, so the next card there may show the
    // reader and counter of the last one.
    void ApplyOutcome(const char* function, const Tally& tally);
    void Post(const char* function, const char* eventName, SCardAuthEventType code);
    // No reader attached: no active card, and the page hears 9.
    void ReportNoReader(const char* function);
    // The process's rule for the card that authenticated the WinINet session (empty present:
    // no single card present); why names the new state for the trace.
    static void EndTlsSessionUnless(const char* function, const SCardAuthReader& present, const char* why)
    {
        SCardAuthCardSession::Process().EndUnless(function, present, why);
    }

    HWND m_ctlHwnd;
    RefPtr<SCardAuthState> m_state;
    ULONG m_generation;
    LONG m_lastPosted = 255;  // worker only: the last event this monitor posted
    // Worker only: the reader of the last card that was the one card present, while it may be
    // in (also while a second card beside it leaves no active card).
    std::wstring m_singleReader;
};
