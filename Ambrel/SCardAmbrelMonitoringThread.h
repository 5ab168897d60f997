#pragma once
// The shell's card monitor: when the card leaves the reader that the control recorded as the
// authentication reader, all of the user's desktop sessions are disconnected through the
// session-control SDK and the recorded reader is overwritten.
#include "SCardMonitoringThread.h"

#include <string>

class SCardAmbrelMonitoringThread : public scardm::SCardMonitoringThread {
public:
    SCardAmbrelMonitoringThread();
    ~SCardAmbrelMonitoringThread() override;

    // The recorded authentication reader, or empty; never throws.
    void RetrieveAuthenticationReaderFromVolatileRegistry(std::wstring& reader);
    // Overwrites the recorded reader with "cleared => none"; best effort, never throws.
    void ClearAuthenticationReaderInVolatileRegistry();
    // Loads the SDK, disconnects every session, unloads it; throws tsmb::Win32Error on failure.
    // The outcome goes to the Event Log, naming the reader whose card left.
    void DisconnectAllDesktopSessions(const std::wstring& reader = std::wstring());

protected:
    void ProcessStateChangeInReaderStates(scardm::ReaderStates& states) override;
    // The Event Log hears when monitoring stops acting on removals, and why.
    void OnServiceUnavailable(DWORD code) override;
    void OnServiceAvailableAgain() override;
    void OnMonitoringDisabled(DWORD code) override;
};

// The one monitor of the shell, held in a process-wide slot.
namespace SCardAmbrelMonitoringMgr {

void CreateAndStartSCardAmbrelMonitoringThread();
void StopAndDestroySCardAmbrelMonitoringThread();

}  // namespace SCardAmbrelMonitoringMgr
