#pragma once
// The worker that watches the smart-card readers and hands every change of reader state to a
// subclass. The owner constructs it, calls Start and EnableMonitoring; at the end RequestStop,
// WaitForStop, then drops the last reference.
#include "SyncEvent.h"
#include "SCardMemory.h"
#include "Thread.h"

#include <winscard.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace scardm {

// The service's plug-and-play pseudo-reader; its state word carries the reader count.
extern const wchar_t* const PNP_NOTIFICATION_READER;

// True for the pseudo-reader's record (exact, case-sensitive name).
bool IsPnPNotificationEntry(const SCARD_READERSTATEW& state);

using ReaderNames = std::vector<std::wstring>;
using ReaderStates = std::vector<SCARD_READERSTATEW>;

// What became of the card in one reader between the monitor's last look and this one. The one
// answer the shell, the control and the card checks share to "did the card leave?".
enum class CardChange {
    None,        // the same card is still in (same counter), or the reader is still empty
    Inserted,    // a card is in a reader that was empty, or that the monitor did not know
    Left,        // the card left; the reader is empty
    Swapped,     // a card is in before and now, but the reader's counter moved: it left, one came
    ReaderGone,  // the reader went (unplugged, or its state is unavailable) with its card in it
    SightLost,   // the monitor could not watch since its last look: the card it knew, or the one
                 // in now, cannot be shown to be the same (a restarted service, or a reader
                 // attached again, numbers its cards afresh)
};

// The service stopped or went away, however it says so (it comes back: its failure actions,
// updates, a reader attached again).
bool IsServiceGoneCode(DWORD code);
// Whether the reader holds a card in this state word.
bool HoldsCard(DWORD state);
// lastState: the word the monitor last knew for the reader (0: nothing known); state: the word
// now; watched: the monitor watched without a break since it knew lastState.
CardChange ClassifyCardChange(DWORD lastState, DWORD state, bool watched);
// The card that was in the reader may be gone: what ends a card's authority.
inline bool CardMayHaveLeft(CardChange change)
{
    return change == CardChange::Left || change == CardChange::Swapped || change == CardChange::ReaderGone ||
           change == CardChange::SightLost;
}
const char* CardChangeName(CardChange change);

// Threads: "owner" is the thread that made the monitor (the control's page thread, the
// shell's main thread); "worker" is the monitor's own thread, which runs Execute and every
// virtual step and hook below unless a comment says otherwise.
class SCardMonitoringThread : public tsmb::Thread {
public:
    // Owner. Creates the worker suspended.
    explicit SCardMonitoringThread(DWORD stackSize = 0);
    // Owner, after WaitForStop (or on a monitor whose stop timed out: never).
    ~SCardMonitoringThread() override;

    // Worker.
    void Execute() override;

    // Owner.
    void EnableMonitoring();
    // Worker (after a cancelled call), or owner.
    void DisableMonitoring();
    // Owner: sets the stop flag and event and cancels a pending status-change wait; the worker
    // may be establishing or releasing its context meanwhile.
    void RequestStop();
    // Owner: waits at most 10 s for the worker's end, cancelling again while it waits.
    void WaitForStop();

protected:
    virtual void ProcessBeforeWaitingForSCardStartedEvent(HANDLE startedEvent);
    virtual void ProcessInitalReaderStates(ReaderStates& states);
    virtual void ProcessStateChangeInReaderStates(ReaderStates& states);
    virtual WORD RetrievePnPNotificationReaderCountFromReaderStates(ReaderStates& states);
    // The monitor stopped watching the readers: a pass failed (the service went, a call
    // failed), or the service was not running when a pass began. Called once per stretch of
    // blindness, at its start, before the pause: what the monitor could not see from now until
    // its next first pass counts as a card that left. The default does nothing.
    virtual void OnSightLost(DWORD code);
    // What an owner may want to report: the service went away (once per outage), monitoring
    // runs again after that, monitoring was disabled. The defaults do nothing.
    virtual void OnServiceUnavailable(DWORD) {}
    virtual void OnServiceAvailableAgain() {}
    virtual void OnMonitoringDisabled(DWORD) {}

    // What became of the card in a record's reader. A state change is always seen by an
    // unbroken watch; a first pass is only when the monitor has watched without a break since
    // it last knew the reader (its records then carry what it knew as their current state).
    CardChange ChangeAtStateChange(const SCARD_READERSTATEW& record) const;
    CardChange ChangeAtFirstPass(const SCARD_READERSTATEW& record) const;
    // False at a first pass that follows a loss of sight, or the monitor's start.
    bool IsWatchUnbroken() const { return m_watchUnbroken; }

    bool IsStopRequested() const { return m_stopRequested; }
    SCARDCONTEXT GetSCardContext() const { return m_context; }

private:
    virtual void WaitForMonitoring();
    virtual void WaitForSCardStartedEvent();
    virtual void ProcessAfterWaitingForSCardStartedEvent(HANDLE startedEvent);
    virtual void CreateSCardContext();
    virtual void DestroySCardContext();
    virtual void RetrieveReaders(ReaderNames& names);
    virtual void RetrieveInitialReaderStates(const ReaderNames& names, ReaderStates& states);
    virtual void UpdateKnownStatesInReaderStates(ReaderStates& states);
    virtual void WaitForStateChangeInReaderStates(ReaderStates& states);
    virtual bool IsPnPNotificationReaderCountChangedInReaderStates(ReaderStates& states);
    // Owner (from RequestStop and WaitForStop).
    virtual void CancelWaitForStateChangeInReaderStates();
    virtual void DoMonitoring();

    // Pauses for the retry interval, or less when a stop is requested meanwhile.
    void PauseUnlessStopped(DWORD milliseconds);
    // The first-pass records of a run get what the monitor last knew of their readers as their
    // current state, so that a card that changed unseen is told from one that stayed.
    void RecallKnownStates(ReaderStates& states) const;
    // After a hook saw the records: their states are what the monitor knows from now on.
    void RememberStates(const ReaderStates& states);
    void RememberFirstPass(const ReaderStates& states);
    void LoseSight(DWORD code);

    std::atomic<bool> m_stopRequested{false};
    RefPtr<tsmb::SyncEvent> m_stopEvent;
    RefPtr<tsmb::SyncEvent> m_monitoringEvent;
    // Read by the owner's cancel while the worker establishes or releases it.
    std::atomic<SCARDCONTEXT> m_context{0};
    // Worker only.
    bool m_serviceOutage = false;
    std::map<std::wstring, DWORD> m_known;  // reader -> the state word last seen
    bool m_watchUnbroken = false;
    bool m_sightLossReported = false;
};

}  // namespace scardm
