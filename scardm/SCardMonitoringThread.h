#pragma once
// The worker that watches the smart-card readers and hands every change of reader state to a
// subclass. The owner constructs it, calls Start and EnableMonitoring; at the end RequestStop,
// WaitForStop, then drops the last reference.
#include "SyncEvent.h"
#include "Thread.h"

#include <winscard.h>

#include <string>
#include <vector>

namespace scardm {

// The service's plug-and-play pseudo-reader; its state word carries the reader count.
extern const wchar_t* const PNP_NOTIFICATION_READER;

// True for the pseudo-reader's record (exact, case-sensitive name).
bool IsPnPNotificationEntry(const SCARD_READERSTATEW& state);

using ReaderNames = std::vector<std::wstring>;
using ReaderStates = std::vector<SCARD_READERSTATEW>;

class SCardMonitoringThread : public tsmb::Thread {
public:
    explicit SCardMonitoringThread(DWORD stackSize = 0);
    ~SCardMonitoringThread() override;

    void Execute() override;

    void EnableMonitoring();
    void DisableMonitoring();
    void RequestStop();
    void WaitForStop();

protected:
    virtual void WaitForMonitoring();
    virtual void ProcessBeforeWaitingForSCardStartedEvent(HANDLE startedEvent);
    virtual void WaitForSCardStartedEvent();
    virtual void ProcessAfterWaitingForSCardStartedEvent(HANDLE startedEvent);
    virtual void CreateSCardContext();
    virtual void DestroySCardContext();
    virtual void RetrieveReaders(ReaderNames& names);
    virtual void RetrieveInitialReaderStates(const ReaderNames& names, ReaderStates& states);
    virtual void ProcessInitalReaderStates(ReaderStates& states);
    virtual void UpdateKnownStatesInReaderStates(ReaderStates& states);
    virtual void WaitForStateChangeInReaderStates(ReaderStates& states);
    virtual void ProcessStateChangeInReaderStates(ReaderStates& states);
    virtual bool IsPnPNotificationReaderCountChangedInReaderStates(ReaderStates& states);
    virtual WORD RetrievePnPNotificationReaderCountFromReaderStates(ReaderStates& states);
    virtual void CancelWaitForStateChangeInReaderStates();
    virtual void DoMonitoring();
    // What an owner may want to report: the service went away (once per outage), monitoring
    // runs again after that, monitoring was disabled. Called on the worker; the defaults do
    // nothing.
    virtual void OnServiceUnavailable(DWORD) {}
    virtual void OnServiceAvailableAgain() {}
    virtual void OnMonitoringDisabled(DWORD) {}

    bool IsStopRequested() const { return m_stopRequested; }
    SCARDCONTEXT GetSCardContext() const { return m_context; }

private:
    // Pauses for the retry interval, or less when a stop is requested meanwhile.
    void PauseUnlessStopped(DWORD milliseconds);

    volatile bool m_stopRequested = false;
    RefPtr<tsmb::SyncEvent> m_stopEvent;
    RefPtr<tsmb::SyncEvent> m_monitoringEvent;
    volatile SCARDCONTEXT m_context = 0;
    bool m_serviceOutage = false;  // worker only
};

}  // namespace scardm
