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

// A card was present and is now gone; or its reader is gone with it (unplugged); or a card
// is present again but the reader's insertion/removal counter (high word) moved: it was
// pulled and another (or the same) put back while the worker was busy. In each case the
// previous user's sessions must end.
bool IsRemoval(const SCARD_READERSTATEW& state)
{
    if (!(state.dwCurrentState & SCARD_STATE_PRESENT))
        return false;
    if (state.dwEventState & (SCARD_STATE_EMPTY | SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE))
        return true;
    return (state.dwEventState & SCARD_STATE_PRESENT) && tsmb::ReaderStateCount(state.dwCurrentState) != tsmb::ReaderStateCount(state.dwEventState);
}

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

void SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates(scardm::ReaderStates& states)
{
    static const char kName[] = "SCardAmbrelMonitoringThread::ProcessStateChangeInReaderStates";
    Trace("SCardAmbrel:%s: executing...", kName);
    if (states.size() == 1 && RetrievePnPNotificationReaderCountFromReaderStates(states) == 0) {
        Trace("SCardAmbrel:%s: no smart card reader present", kName);
        return;
    }
    for (size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATEW& state = states[i];
        Trace("SCardAmbrel:%s:SCARD_READERSTATE[%ld]: reader: \"%S\" currentState: 0x%08X eventState: 0x%08X", kName,
              static_cast<long>(i), state.szReader, state.dwCurrentState, state.dwEventState);
        if (scardm::IsPnPNotificationEntry(state) || !IsRemoval(state))
            continue;
        Trace("SCardAmbrel:%s: smart card removed from reader: \"%S\"", kName, state.szReader);
        std::wstring authenticationReader;
        RetrieveAuthenticationReaderFromVolatileRegistry(authenticationReader);
        Trace("SCardAmbrel:%s: authentication reader retrieved from HKCU (empty <=> none): \"%S\"", kName,
              authenticationReader.c_str());
        if (authenticationReader != state.szReader)
            continue;
        Trace("SCardAmbrel:%s: smart card removed from authentication reader => disconnect all desktop sessions via "
              "Vsm",
              kName);
        try {
            DisconnectAllDesktopSessions(state.szReader);
        } catch (const std::exception& e) {
            Trace("SCardAmbrel:%s:DisconnectAllDesktopSessions: failed with exception: %s => ignore (Vsm issue - see "
                  "previous Vsm error code)",
                  kName, e.what());
        }
        ClearAuthenticationReaderInVolatileRegistry();
    }
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

void SCardAmbrelMonitoringThread::DisconnectAllDesktopSessions(const std::wstring& reader)
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
    tsmb::ReportOutcome(ORVANE_EVENT_SESSIONS_DISCONNECTED, {reader});
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
        g_monitor = nullptr;
    } catch (const std::exception& e) {
        Trace("SCardAmbrel:%s: failed while stopping/destroying SCardAmbrelMonitoringThread with exception: %s",
              kName, e.what());
        // The worker may still run: the object must outlive the process's clean-up, where the
        // slot's destructor would otherwise free it under the running thread.
        g_monitor->AddRef();  // never released
    }
}

}  // namespace SCardAmbrelMonitoringMgr
