#include "SCardAmbrelMonitoringThread.h"

#include "EventLog.h"
#include "HandOff.h"
#include "RegistryKey.h"
#include "Trace.h"
#include "UniqueHandle.h"
#include "Utils.h"
#include "Win32Error.h"

namespace {

const char kVsmClientName[] = "AmbrelSCardMonitoring";

typedef DWORD(WINAPI* VsmInitializeFn)(const char* clientName);
typedef DWORD(WINAPI* VsmCallFn)();

RefPtr<SCardAmbrelMonitoringThread> g_monitor;

std::wstring Hex(DWORD code)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
    return text;
}

// The sessions stayed: the administrator learns which call failed with which code.
void ReportDisconnectFailed(const std::wstring& reader, const std::string& call, const std::wstring& code)
{
    tsmb::ReportOutcome(ORVANE_EVENT_DISCONNECT_FAILED, {reader, std::wstring(call.begin(), call.end()), code});
}

// Looks up one SDK export; a missing one throws its last error (the caller's owner then
// unloads the library).
template <class F>
F ResolveVsmExport(const tsmb::UniqueModule& sdk, const char* name, const std::wstring& reader)
{
    F function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(sdk.Get(), name)));
    if (!function) {
        const DWORD code = GetLastError();
        Trace("SCardAmbrel:%s:GetProcAddress: failed for \"%s\" with last error: %ld",
              "SCardAmbrelMonitoringThread::DisconnectAllDesktopSessions", name, code);
        ReportDisconnectFailed(reader, std::string("GetProcAddress for ") + name, L"error " + std::to_wstring(code));
        throw tsmb::Win32Error(code);
    }
    return function;
}

}  // namespace

SCardAmbrelMonitoringThread::SCardAmbrelMonitoringThread()
{
    Trace("SCardAmbrel:%s: executing...", "SCardAmbrelMonitoringThread::SCardAmbrelMonitoringThread");
}

SCardAmbrelMonitoringThread::~SCardAmbrelMonitoringThread()
{
    Trace("SCardAmbrel:%s: executing...", "SCardAmbrelMonitoringThread::~SCardAmbrelMonitoringThread");
}

void SCardAmbrelMonitoringThread::ProcessInitalReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::ProcessInitalReaderStates";
    Trace("SCardAmbrel:%s: executing...", kName);
    ActOnRemovals(kName, states, true);
}

void SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates";
    Trace("SCardAmbrel:%s: executing...", kName);
    if (states.size() == 1 && RetrievePnPNotificationReaderCountFromReaderStates(states) == 0) {
        Trace("SCardAmbrel:%s: no smart card reader present", kName);
        return;
    }
    ActOnRemovals(kName, states, false);
}

void SCardAmbrelMonitoringThread::ActOnRemovals(const char* function, const scardm::ReaderStates& states, bool firstPass)
{
    for (size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATEW& state = states[i];
        Trace("SCardAmbrel:%s:SCARD_READERSTATE[%ld]: reader: \"%S\" currentState: 0x%08X eventState: 0x%08X", function,
              static_cast<long>(i), state.szReader, state.dwCurrentState, state.dwEventState);
    }
    // A value written, or a card pulled, while the shell could not watch: whatever the value
    // names counts as gone, whether or not that reader holds a card now.
    if (firstPass && !IsWatchUnbroken()) {
        ActOnUnwatchedRecord(function);
        return;
    }
    for (const SCARD_READERSTATEW& state : states) {
        if (scardm::IsPnPNotificationEntry(state))
            continue;
        const scardm::CardChange change = firstPass ? ChangeAtFirstPass(state) : ChangeAtStateChange(state);
        if (!scardm::CardMayHaveLeft(change))
            continue;
        Trace("SCardAmbrel:%s: smart card removed from reader: \"%S\"", function, state.szReader);
        std::wstring authenticationReader;
        RetrieveAuthenticationReaderFromVolatileRegistry(authenticationReader);
        Trace("SCardAmbrel:%s: authentication reader retrieved from HKCU (empty <=> none): \"%S\"", function,
              authenticationReader.c_str());
        if (authenticationReader != state.szReader)
            continue;
        Trace("SCardAmbrel:%s: smart card removed from authentication reader => disconnect all desktop sessions via "
              "Vsm",
              function);
        DisconnectAndClear(function, state.szReader, DisconnectCause::CardLeft);
    }
}

void SCardAmbrelMonitoringThread::ActOnUnwatchedRecord(const char* function)
{
    std::wstring authenticationReader;
    RetrieveAuthenticationReaderFromVolatileRegistry(authenticationReader);
    Trace("SCardAmbrel:%s: authentication reader retrieved from HKCU (empty <=> none): \"%S\"", function,
          authenticationReader.c_str());
    if (authenticationReader.empty() || authenticationReader == tsmb::HandOffKey::kCleared)
        return;
    Trace("SCardAmbrel:%s: the card of the authentication reader could not be watched => disconnect all desktop "
          "sessions via Vsm",
          function);
    DisconnectAndClear(function, authenticationReader, DisconnectCause::CardNotWatched);
}

void SCardAmbrelMonitoringThread::DisconnectAndClear(const char* function, const std::wstring& reader,
                                                    DisconnectCause cause)
{
    // The shell's end acts on the main thread while a worker whose stop timed out may still
    // run: one of them disconnects, the other has nothing left to do.
    if (m_disconnecting.exchange(true)) {
        Trace("SCardAmbrel:%s: the sessions are being disconnected on another thread => nothing more to do", function);
        return;
    }
    try {
        DisconnectAllDesktopSessions(reader, cause);
    } catch (const std::exception& e) {
        Trace("SCardAmbrel:%s:DisconnectAllDesktopSessions: failed with exception: %s => ignore (Vsm issue - see "
              "previous Vsm error code)",
              function, e.what());
    }
    ClearAuthenticationReaderInVolatileRegistry();
    m_disconnecting = false;
}

void SCardAmbrelMonitoringThread::OnSightLost(DWORD code)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::OnSightLost";
    Trace("SCardAmbrel:%s: executing... SCard error: 0x%08X", kName, code);
    ActOnUnwatchedRecord(kName);
}

void SCardAmbrelMonitoringThread::RetrieveAuthenticationReaderFromVolatileRegistry(std::wstring& reader)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::RetrieveAuthenticationReaderFromVolatileRegistry";
    Trace("SCardAmbrel:%s: executing...", kName);
    reader.clear();
    try {
        reader = tsmb::HandOffKey(KEY_QUERY_VALUE).Read();
    } catch (const std::exception& e) {
        Trace("SCardAmbrel:%s: failed with exception: %s => ignore", kName, e.what());
    }
    Trace("SCardAmbrel:%s: authentication reader found (empty <=> none): \"%S\"", kName, reader.c_str());
}

void SCardAmbrelMonitoringThread::ClearAuthenticationReaderInVolatileRegistry()
{
    static const char kName[] = "SCardAmbrelMonitoringThread::ClearAuthenticationReaderInVolatileRegistry";
    Trace("SCardAmbrel:%s: executing...", kName);
    try {
        tsmb::HandOffKey key(KEY_SET_VALUE);
        Trace("Ambrel:%s: opened HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key", kName);
        key.Write(tsmb::HandOffKey::kCleared);
        Trace("Ambrel:%s: cleared AuthenticationReader value to: \"%S\" in HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth "
              "subkey",
              kName, tsmb::HandOffKey::kCleared);
    } catch (const std::exception& e) {
        Trace("Ambrel:%s: clearing authentication reader name in volatile HKCU registry failed with exception: %s => "
              "ignore (best effort)",
              kName, e.what());
    }
}

void SCardAmbrelMonitoringThread::OnServiceUnavailable(DWORD code)
{
    tsmb::ReportOutcome(ORVANE_EVENT_SERVICE_GONE, {Hex(code)});
}

void SCardAmbrelMonitoringThread::OnServiceAvailableAgain() { tsmb::ReportOutcome(ORVANE_EVENT_SERVICE_BACK); }

void SCardAmbrelMonitoringThread::OnMonitoringDisabled(DWORD code)
{
    tsmb::ReportOutcome(ORVANE_EVENT_MONITORING_DISABLED, {Hex(code)});
}

void SCardAmbrelMonitoringThread::DisconnectAllDesktopSessions(const std::wstring& reader, DisconnectCause cause)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::DisconnectAllDesktopSessions";
    Trace("SCardAmbrel:%s: executing...", kName);
    // Every way out below, thrown or not, unloads the SDK, after what was traced and reported.
    tsmb::UniqueModule sdk(LoadLibraryW(L"VsmSDK.dll"));
    if (!sdk) {
        const DWORD code = GetLastError();
        Trace("SCardAmbrel:%s:LoadLibrary: failed with last error: %ld", kName, code);
        tsmb::ReportOutcome(ORVANE_EVENT_DISCONNECT_NO_SDK, {reader, std::to_wstring(code)});
        throw tsmb::Win32Error(code);
    }
    const VsmInitializeFn initialize = ResolveVsmExport<VsmInitializeFn>(sdk, "VsmInitialize", reader);
    const VsmCallFn uninitialize = ResolveVsmExport<VsmCallFn>(sdk, "VsmUninitialize", reader);
    const VsmCallFn disconnectAll = ResolveVsmExport<VsmCallFn>(sdk, "VsmDisconnectAllSessions", reader);

    DWORD result = initialize(kVsmClientName);
    if (result != 0) {
        Trace("SCardAmbrel:%s:VsmInitialize: failed with Vsm error: 0x%08X", kName, result);
        ReportDisconnectFailed(reader, "VsmInitialize", Hex(result));
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    result = disconnectAll();
    if (result != 0) {
        Trace("SCardAmbrel:%s:VsmDisconnectAllSessions: failed with Vsm error: 0x%08X", kName, result);
        ReportDisconnectFailed(reader, "VsmDisconnectAllSessions", Hex(result));
        uninitialize();
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    // The sessions are gone, whatever the SDK's clean-up says.
    tsmb::ReportOutcome(
        cause == DisconnectCause::CardLeft ? ORVANE_EVENT_SESSIONS_DISCONNECTED : ORVANE_EVENT_SESSIONS_DISCONNECTED_UNWATCHED,
        {reader});
    result = uninitialize();
    if (result != 0) {
        Trace("SCardAmbrel:%s:VsmUninitialize: failed with Vsm error: 0x%08X", kName, result);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    if (!sdk.Close())
        Trace("SCardAmbrel:%s:FreeLibrary: failed for with last error: %ld", kName, GetLastError());
    Trace("SCardAmbrel:%s: finished without exceptions...", kName);
}

namespace SCardAmbrelMonitoringMgr {

void CreateAndStartSCardAmbrelMonitoringThread()
{
    static const char kName[] = "SCardAmbrelMonitoringMgr::CreateAndStartSCardAmbrelMonitoringThread";
    Trace("SCardAmbrel:%s: executing...", kName);
    try {
        RefPtr<SCardAmbrelMonitoringThread> monitor = new SCardAmbrelMonitoringThread();
        g_monitor = monitor;
        monitor = nullptr;
        g_monitor->Start();
        g_monitor->EnableMonitoring();
    } catch (const std::exception& e) {
        Trace("SCardAmbrel:%s: failed while creating/starting SCardAmbrelMonitoringThread with exception: %s", kName,
              e.what());
    }
}

void StopAndDestroySCardAmbrelMonitoringThread()
{
    static const char kName[] = "SCardAmbrelMonitoringMgr::StopAndDestroySCardAmbrelMonitoringThread";
    Trace("SCardAmbrel:%s: executing...", kName);
    if (!g_monitor)
        return;
    try {
        g_monitor->RequestStop();
        g_monitor->WaitForStop();
    } catch (const std::exception& e) {
        Trace("SCardAmbrel:%s: failed while stopping/destroying SCardAmbrelMonitoringThread with exception: %s",
              kName, e.what());
        // The worker may still run: the object must outlive the process's clean-up, where the
        // slot's destructor would otherwise free it under the running thread.
        g_monitor->AddRef();  // never released
    }
    // Nothing watches the readers from here on, whether or not the worker could be stopped: a
    // card still recorded counts as gone.
    g_monitor->ActOnUnwatchedRecord(kName);
    g_monitor = nullptr;
}

}  // namespace SCardAmbrelMonitoringMgr
