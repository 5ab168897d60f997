#pragma once
// The shell's card monitor: when the card leaves the reader that the control recorded as the
// authentication reader, all of the user's desktop sessions are disconnected through the
// session-control SDK and the recorded reader is overwritten. A card the monitor could not keep
// in sight (the service stopped, a pass failed, the shell was not yet watching) counts as a
// card that left: nothing the shell can see proves that it stayed.
// Every member runs on the monitor's worker thread, except the manager's two functions (the
// shell's main thread).
#include "SCardMonitoringThread.h"

#include <atomic>
#include <string>

// Why the sessions are disconnected, as the Event Log says it.
enum class DisconnectCause {
    CardLeft,       // the card left the recorded reader
    CardNotWatched, // the shell could not watch the recorded reader's card
};

class SCardAmbrelMonitoringThread : public scardm::SCardMonitoringThread {
public:
    SCardAmbrelMonitoringThread();
    ~SCardAmbrelMonitoringThread() override;

    // The recorded authentication reader, or empty; never throws.
    void RetrieveAuthenticationReaderFromVolatileRegistry(std::wstring& reader);
    // Overwrites the recorded reader with "cleared => none"; best effort, never throws.
    void ClearAuthenticationReaderInVolatileRegistry();
    // Loads the SDK, disconnects every session, unloads it; throws tsmb::Win32Error on failure.
    // The outcome goes to the Event Log, naming the reader and why.
    void DisconnectAllDesktopSessions(const std::wstring& reader = std::wstring(),
                                      DisconnectCause cause = DisconnectCause::CardLeft);
    // The recorded reader, whichever it is, has lost its card as far as the shell can tell:
    // disconnect and clear, unless the value names no reader. Worker; or the main thread at the
    // shell's end (the worker ended, or its stop timed out).
    void ActOnUnwatchedRecord(const char* function);

protected:
    // A first pass after the shell could not watch (or its first ever) acts on whatever the
    // value names; any first pass acts on cards that left meanwhile.
    void ProcessInitalReaderStates(scardm::ReaderStates& states) override;
    void ProcessStateChangeInReaderStates(scardm::ReaderStates& states) override;
    // At once, before the monitor pauses: the sessions need the SDK, not the card service, and
    // the service may not come back (it runs only while a reader is attached on some systems).
    void OnSightLost(DWORD code) override;
    // The Event Log hears when monitoring stops acting on removals, and why.
    void OnServiceUnavailable(DWORD code) override;
    void OnServiceAvailableAgain() override;
    void OnMonitoringDisabled(DWORD code) override;

private:
    // Each record whose card may have left: if its reader is the recorded one, disconnect.
    void ActOnRemovals(const char* function, const scardm::ReaderStates& states, bool firstPass);
    // Disconnects (a failure is traced and ignored) and clears the value.
    void DisconnectAndClear(const char* function, const std::wstring& reader, DisconnectCause cause);

    std::atomic<bool> m_disconnecting{false};
};

// The one monitor of the shell, held in a process-wide slot.
namespace SCardAmbrelMonitoringMgr {

void CreateAndStartSCardAmbrelMonitoringThread();
void StopAndDestroySCardAmbrelMonitoringThread();

}  // namespace SCardAmbrelMonitoringMgr
