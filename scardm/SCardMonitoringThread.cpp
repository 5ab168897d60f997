#include "SCardMonitoringThread.h"

#include "SecurityAttributes.h"
#include "Trace.h"
#include "Utils.h"
#include "Win32Error.h"

#include <cwchar>

namespace scardm {

const wchar_t* const PNP_NOTIFICATION_READER = L"\\\\?PnP?\\Notification";

bool IsPnPNotificationEntry(const SCARD_READERSTATEW& state)
{
    return state.szReader != nullptr && wcscmp(state.szReader, PNP_NOTIFICATION_READER) == 0;
}

bool IsServiceGoneCode(DWORD code)
{
    return code == static_cast<DWORD>(SCARD_E_NO_SERVICE) || code == static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED) ||
           code == static_cast<DWORD>(SCARD_E_SERVICE_STOPPED);
}

bool HoldsCard(DWORD state)
{
    return (state & SCARD_STATE_PRESENT) &&
           !(state & (SCARD_STATE_EMPTY | SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE));
}

CardChange ClassifyCardChange(DWORD lastState, DWORD state, bool watched)
{
    const bool was = HoldsCard(lastState), is = HoldsCard(state);
    // Nothing shows that a card seen before a gap is the one seen after it: the counter may
    // have started afresh and cards of one issuer share their ATR.
    if (!watched)
        return was || is ? CardChange::SightLost : CardChange::None;
    if (state & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE))
        return was ? CardChange::ReaderGone : CardChange::None;
    if (was && is)
        return tsmb::ReaderStateCount(lastState) == tsmb::ReaderStateCount(state) ? CardChange::None : CardChange::Swapped;
    return was ? CardChange::Left : is ? CardChange::Inserted : CardChange::None;
}

const char* CardChangeName(CardChange change)
{
    switch (change) {
    case CardChange::None: return "none";
    case CardChange::Inserted: return "inserted";
    case CardChange::Left: return "left";
    case CardChange::Swapped: return "swapped";
    case CardChange::ReaderGone: return "reader gone";
    case CardChange::SightLost: return "sight lost";
    }
    return "?";
}

namespace {

// The one-second pause after an error, and after each change while no reader is attached.
constexpr DWORD kRetryPauseMs = 1000;
constexpr DWORD kStopTimeoutMs = 10000;
// While waiting for the worker to end, the owner cancels again this often: a stop that
// landed just before the status-change wait began found nothing to cancel.
constexpr DWORD kRecancelIntervalMs = 50;
// Upper bound for measuring one reader name in the service's multi-string.
constexpr size_t kMaxReaderNameChars = 65537;

const char kExecute[] = "scardm::SCardMonitoringThread::Execute";

RefPtr<tsmb::SyncEvent> NewEvent()
{
    return RefPtr<tsmb::SyncEvent>(new tsmb::SyncEvent(RefPtr<tsmb::SecurityAttributes>(new tsmb::SecurityAttributes(false))));
}

void TraceExecuting(const char* function) { Trace("%S:%s: executing...", tsmb::GetComponentPrefix(), function); }

// The first record that is the pseudo-reader, compared exactly.
SCARD_READERSTATEW* FindPnPRecord(ReaderStates& states)
{
    for (SCARD_READERSTATEW& s : states)
        if (IsPnPNotificationEntry(s))
            return &s;
    return nullptr;
}

// Traces and throws WAIT_TIMEOUT (as ERROR_TIMEOUT) and WAIT_FAILED (with the last error);
// every other result returns.
void ThrowOnWaitFailure(DWORD result, const char* function, const char* call)
{
    if (result != WAIT_TIMEOUT && result != WAIT_FAILED)
        return;
    const DWORD code = result == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : GetLastError();
    Trace("%S:%s:%s: failed with last error: %ld", tsmb::GetComponentPrefix(), function, call, code);
    throw tsmb::Win32Error(code);
}

}  // namespace

SCardMonitoringThread::SCardMonitoringThread(DWORD stackSize) : tsmb::Thread(stackSize)
{
    m_stopEvent = NewEvent();
    m_monitoringEvent = NewEvent();
    TraceExecuting("scardm::SCardMonitoringThread::SCardMonitoringThread");
}

SCardMonitoringThread::~SCardMonitoringThread()
{
    TraceExecuting("scardm::SCardMonitoringThread::~SCardMonitoringThread");
    m_monitoringEvent = nullptr;
    m_stopEvent = nullptr;
}

void SCardMonitoringThread::EnableMonitoring()
{
    TraceExecuting("scardm::SCardMonitoringThread::EnableMonitoring");
    m_monitoringEvent->Set();
}

void SCardMonitoringThread::DisableMonitoring()
{
    TraceExecuting("scardm::SCardMonitoringThread::DisableMonitoring");
    m_monitoringEvent->Reset();
}

void SCardMonitoringThread::RequestStop()
{
    m_stopRequested = true;
    m_stopEvent->Set();
    CancelWaitForStateChangeInReaderStates();
}

void SCardMonitoringThread::WaitForStop()
{
    static const char kName[] = "scardm::SCardMonitoringThread::WaitForStop";
    TraceExecuting(kName);
    const ULONGLONG deadline = GetTickCount64() + kStopTimeoutMs;
    DWORD result;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        result = WaitForSingleObject(GetHandle(), m_stopRequested && left > kRecancelIntervalMs ? kRecancelIntervalMs : left);
        if (result != WAIT_TIMEOUT || left == 0)
            break;
        if (m_stopRequested && m_context != 0 && GetTickCount64() < deadline)
            CancelWaitForStateChangeInReaderStates();
    }
    switch (result) {
    case WAIT_OBJECT_0:
        Trace("%S:%s:WaitForSingleObject: succeeded to wait for monitoring thread to be signaled", tsmb::GetComponentPrefix(),
              kName);
        return;
    default:
        ThrowOnWaitFailure(result, kName, "WaitForSingleObject");
        return;
    }
}

void SCardMonitoringThread::PauseUnlessStopped(DWORD milliseconds)
{
    WaitForSingleObject(m_stopEvent->GetHandle(), milliseconds);
}

void SCardMonitoringThread::Execute()
{
    TraceExecuting(kExecute);
    while (!m_stopRequested) {
        try {
            WaitForMonitoring();
            if (m_stopRequested)
                break;
            WaitForSCardStartedEvent();
            if (m_stopRequested)
                break;
            CreateSCardContext();
            if (m_serviceOutage) {
                m_serviceOutage = false;
                OnServiceAvailableAgain();
            }
            DoMonitoring();
            if (m_stopRequested)
                break;
            DestroySCardContext();
        } catch (const tsmb::Win32Error& e) {
            Trace("%S:%s: failed with exception: %s => ignore and retry monitoring", tsmb::GetComponentPrefix(), kExecute,
                  e.what());
            if (IsServiceGoneCode(e.GetErrorCode())) {
                Trace("%S:%s: failed with SCard error 0x%08X => wait for SCard service", tsmb::GetComponentPrefix(),
                      kExecute, e.GetErrorCode());
                if (!m_serviceOutage) {
                    m_serviceOutage = true;
                    OnServiceUnavailable(e.GetErrorCode());
                }
            } else if (e.GetErrorCode() == static_cast<DWORD>(SCARD_E_CANCELLED)) {
                Trace("%S:%s: failed with SCard error 0x%08X => disable monitoring", tsmb::GetComponentPrefix(), kExecute,
                      e.GetErrorCode());
                DisableMonitoring();
                OnMonitoringDisabled(e.GetErrorCode());
            }
            // At once, not after the pause: a card may be swapped while nobody looks.
            LoseSight(e.GetErrorCode());
            // The next pass establishes a fresh context; this one must not leak.
            if (m_context != 0)
                DestroySCardContext();
            PauseUnlessStopped(kRetryPauseMs);
        } catch (const std::exception& e) {
            Trace("%S:%s: failed with exception: %s => ignore and retry monitoring", tsmb::GetComponentPrefix(), kExecute,
                  e.what());
            LoseSight(ERROR_INTERNAL_ERROR);
            if (m_context != 0)
                DestroySCardContext();
            PauseUnlessStopped(kRetryPauseMs);
        }
    }
    // A stop right after a monitoring run skips the pass's own release.
    if (m_context != 0)
        DestroySCardContext();
}

void SCardMonitoringThread::WaitForMonitoring()
{
    static const char kName[] = "scardm::SCardMonitoringThread::WaitForMonitoring";
    TraceExecuting(kName);
    HANDLE handles[2] = {m_monitoringEvent->GetHandle(), m_stopEvent->GetHandle()};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    switch (result) {
    case WAIT_OBJECT_0:
        Trace("%S:%s:WaitForMultipleObjects: succeeded to wait for monitoring event to be signaled",
              tsmb::GetComponentPrefix(), kName);
        return;
    case WAIT_OBJECT_0 + 1:
        Trace("%S:%s:WaitForMultipleObjects: succeeded to wait for stop event to be signaled", tsmb::GetComponentPrefix(),
              kName);
        return;
    default:
        ThrowOnWaitFailure(result, kName, "WaitForMultipleObjects");
        return;
    }
}

void SCardMonitoringThread::ProcessBeforeWaitingForSCardStartedEvent(HANDLE) {}

void SCardMonitoringThread::ProcessAfterWaitingForSCardStartedEvent(HANDLE) {}

void SCardMonitoringThread::WaitForSCardStartedEvent()
{
    static const char kName[] = "scardm::SCardMonitoringThread::WaitForSCardStartedEvent";
    TraceExecuting(kName);
    HANDLE started = nullptr;
    try {
        started = SCardAccessStartedEvent();
        if (started == nullptr) {
            const DWORD code = GetLastError();
            Trace("%S:%s:SCardAccessStartedEvent: failed with last error: %ld", tsmb::GetComponentPrefix(), kName, code);
            throw tsmb::Win32Error(code);
        }
        if (WaitForSingleObject(started, 0) == WAIT_TIMEOUT)
            LoseSight(static_cast<DWORD>(SCARD_E_NO_SERVICE));
        ProcessBeforeWaitingForSCardStartedEvent(started);
        HANDLE handles[2] = {started, m_stopEvent->GetHandle()};
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        switch (result) {
        case WAIT_OBJECT_0:
            Trace("%S:%s:WaitForMultipleObjects: succeeded to wait for SCard started event to be signaled",
                  tsmb::GetComponentPrefix(), kName);
            break;
        case WAIT_OBJECT_0 + 1:
            Trace("%S:%s:WaitForMultipleObjects: succeeded to wait for stop event to be signaled",
                  tsmb::GetComponentPrefix(), kName);
            break;
        default:
            ThrowOnWaitFailure(result, kName, "WaitForMultipleObjects");
            break;
        }
        ProcessAfterWaitingForSCardStartedEvent(started);
        SCardReleaseStartedEvent();
    } catch (const std::exception& e) {
        Trace("%S:%s: failed with exception: %s", tsmb::GetComponentPrefix(), kName, e.what());
        if (started != nullptr)
            SCardReleaseStartedEvent();
        throw;
    }
}

void SCardMonitoringThread::CreateSCardContext()
{
    static const char kName[] = "scardm::SCardMonitoringThread::CreateSCardContext";
    TraceExecuting(kName);
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (result != SCARD_S_SUCCESS) {
        Trace("%S:%s:SCardEstablishContext: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName,
              static_cast<DWORD>(result));
        throw tsmb::Win32Error(static_cast<DWORD>(result));
    }
    m_context = context;
}

void SCardMonitoringThread::DestroySCardContext()
{
    static const char kName[] = "scardm::SCardMonitoringThread::DestroySCardContext";
    TraceExecuting(kName);
    const SCARDCONTEXT context = m_context.exchange(0);
    if (context != 0) {
        const LONG result = SCardReleaseContext(context);
        if (result != SCARD_S_SUCCESS)
            Trace("%S:%s:SCardReleaseContext: failed with SCard error: 0x%08X => ignore", tsmb::GetComponentPrefix(), kName,
                  static_cast<DWORD>(result));
    }
}

void SCardMonitoringThread::RetrieveReaders(ReaderNames& names)
{
    static const char kName[] = "scardm::SCardMonitoringThread::RetrieveReaders";
    TraceExecuting(kName);
    names.clear();
    if (m_context == 0) {
        Trace("%S:%s: SCardContext not available => readers not retrieved", tsmb::GetComponentPrefix(), kName);
        return;
    }
    SCardMemory list;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG result = SCardListReadersW(m_context, nullptr, AutoAllocated(list, m_context), &length);
    if (result != SCARD_S_SUCCESS)
        list.Release();  // nothing was allocated
    if (result == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
        Trace("%S:%s:SCardListReaders: succeeded with SCARD_E_NO_READERS_AVAILABLE", tsmb::GetComponentPrefix(), kName);
        names.emplace_back(PNP_NOTIFICATION_READER);
        return;
    }
    if (result != SCARD_S_SUCCESS) {
        Trace("%S:%s:SCardListReaders: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName,
              static_cast<DWORD>(result));
        throw tsmb::Win32Error(static_cast<DWORD>(result));
    }
    // Walk the multi-string, never past the length the service reported.
    const wchar_t* buffer = static_cast<const wchar_t*>(list.Get().block);
    const wchar_t* end = buffer + length;
    for (const wchar_t* name = buffer; name < end && *name != L'\0';) {
        const size_t limit = std::min<size_t>(kMaxReaderNameChars, static_cast<size_t>(end - name));
        const size_t chars = wcsnlen(name, limit);
        names.emplace_back(name, chars);
        Trace("%S:%s: retrieved reader: \"%S\"", tsmb::GetComponentPrefix(), kName, names.back().c_str());
        name += chars + 1;
    }
    if (!list.Close()) {
        const DWORD freed = GetLastError();
        Trace("%S:%s:SCardFreeMemory: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName, freed);
        throw tsmb::Win32Error(freed);
    }
    names.emplace_back(PNP_NOTIFICATION_READER);
}

void SCardMonitoringThread::RetrieveInitialReaderStates(const ReaderNames& names, ReaderStates& states)
{
    static const char kName[] = "scardm::SCardMonitoringThread::RetrieveInitialReaderStates";
    TraceExecuting(kName);
    states.clear();
    if (m_context == 0) {
        Trace("%S:%s: SCardContext not available => initial reader states not retrieved", tsmb::GetComponentPrefix(), kName);
        return;
    }
    for (const std::wstring& name : names) {
        SCARD_READERSTATEW record = {};
        record.szReader = name.c_str();
        states.push_back(record);
    }
    const LONG result = SCardGetStatusChangeW(m_context, 0, states.data(), static_cast<DWORD>(states.size()));
    if (result != SCARD_S_SUCCESS && result != static_cast<LONG>(SCARD_E_TIMEOUT)) {
        Trace("%S:%s:SCardGetStatusChange: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName,
              static_cast<DWORD>(result));
        throw tsmb::Win32Error(static_cast<DWORD>(result));
    }
}

void SCardMonitoringThread::ProcessInitalReaderStates(ReaderStates&)
{
    TraceExecuting("scardm::SCardMonitoringThread::ProcessInitalReaderStates");
}

void SCardMonitoringThread::UpdateKnownStatesInReaderStates(ReaderStates& states)
{
    TraceExecuting("scardm::SCardMonitoringThread::UpdateKnownStatesInReaderStates");
    for (SCARD_READERSTATEW& s : states) {
        s.dwCurrentState = s.dwEventState;
        s.dwEventState = 0;
    }
}

void SCardMonitoringThread::WaitForStateChangeInReaderStates(ReaderStates& states)
{
    static const char kName[] = "scardm::SCardMonitoringThread::WaitForStateChangeInReaderStates";
    TraceExecuting(kName);
    if (m_context == 0) {
        Trace("%S:%s: SCardContext not available => reader states not retrieved", tsmb::GetComponentPrefix(), kName);
        return;
    }
    const LONG result = SCardGetStatusChangeW(m_context, INFINITE, states.data(), static_cast<DWORD>(states.size()));
    if (result == SCARD_S_SUCCESS)
        return;
    if (result == static_cast<LONG>(SCARD_E_CANCELLED)) {
        Trace("%S:%s:SCardGetStatusChange: cancelled (SCardCancel called) => exit from WaitForStateChangeInReaderStates",
              tsmb::GetComponentPrefix(), kName);
        return;
    }
    Trace("%S:%s:SCardGetStatusChange: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName,
          static_cast<DWORD>(result));
    throw tsmb::Win32Error(static_cast<DWORD>(result));
}

void SCardMonitoringThread::ProcessStateChangeInReaderStates(ReaderStates&)
{
    TraceExecuting("scardm::SCardMonitoringThread::ProcessStateChangeInReaderStates");
}

void SCardMonitoringThread::OnSightLost(DWORD) {}

CardChange SCardMonitoringThread::ChangeAtStateChange(const SCARD_READERSTATEW& record) const
{
    return ClassifyCardChange(record.dwCurrentState, record.dwEventState, true);
}

CardChange SCardMonitoringThread::ChangeAtFirstPass(const SCARD_READERSTATEW& record) const
{
    return ClassifyCardChange(record.dwCurrentState, record.dwEventState, m_watchUnbroken);
}

void SCardMonitoringThread::RecallKnownStates(ReaderStates& states) const
{
    for (SCARD_READERSTATEW& s : states) {
        if (IsPnPNotificationEntry(s))
            continue;
        const auto known = m_known.find(s.szReader);
        s.dwCurrentState = known == m_known.end() ? SCARD_STATE_UNAWARE : known->second;
    }
}

void SCardMonitoringThread::RememberStates(const ReaderStates& states)
{
    m_known.clear();
    for (const SCARD_READERSTATEW& s : states)
        if (!IsPnPNotificationEntry(s))
            m_known[s.szReader] = s.dwEventState;
}

void SCardMonitoringThread::RememberFirstPass(const ReaderStates& states)
{
    RememberStates(states);
    m_watchUnbroken = true;
    m_sightLossReported = false;
}

void SCardMonitoringThread::LoseSight(DWORD code)
{
    m_watchUnbroken = false;
    if (m_sightLossReported)
        return;
    m_sightLossReported = true;
    Trace("%S:%s: the readers cannot be watched (0x%08X) => what changes until the next pass counts as a card that "
          "left",
          tsmb::GetComponentPrefix(), kExecute, code);
    OnSightLost(code);
}

bool SCardMonitoringThread::IsPnPNotificationReaderCountChangedInReaderStates(ReaderStates& states)
{
    static const char kName[] = "scardm::SCardMonitoringThread::IsPnPNotificationReaderCountChangedInReaderStates";
    TraceExecuting(kName);
    const SCARD_READERSTATEW* pnp = FindPnPRecord(states);
    if (pnp == nullptr) {
        Trace("%S:%s: failed to find \\\\?PnP?\\Notification pseudo-reader => return false", tsmb::GetComponentPrefix(), kName);
        return false;
    }
    Trace("%S:%s: \\\\?PnP?\\Notification pseudo-reader: currentState: 0x%08X eventState: 0x%08X",
          tsmb::GetComponentPrefix(), kName, pnp->dwCurrentState, pnp->dwEventState);
    return tsmb::ReaderStateCount(pnp->dwCurrentState) != tsmb::ReaderStateCount(pnp->dwEventState);
}

WORD SCardMonitoringThread::RetrievePnPNotificationReaderCountFromReaderStates(ReaderStates& states)
{
    static const char kName[] = "scardm::SCardMonitoringThread::RetrievePnPNotificationReaderCountFromReaderStates";
    TraceExecuting(kName);
    const SCARD_READERSTATEW* pnp = FindPnPRecord(states);
    if (pnp == nullptr) {
        Trace("%S:%s: failed to find \\\\?PnP?\\Notification pseudo-reader => return zero", tsmb::GetComponentPrefix(), kName);
        return 0;
    }
    Trace("%S:%s: \\\\?PnP?\\Notification pseudo-reader: eventState: 0x%08X", tsmb::GetComponentPrefix(), kName,
          pnp->dwEventState);
    return static_cast<WORD>(tsmb::ReaderStateCount(pnp->dwEventState));
}

void SCardMonitoringThread::CancelWaitForStateChangeInReaderStates()
{
    static const char kName[] = "scardm::SCardMonitoringThread::CancelWaitForStateChangeInReaderStates";
    TraceExecuting(kName);
    const SCARDCONTEXT context = m_context;
    if (context == 0) {
        Trace("%S:%s: SCardContext not available => SCardCancel not called", tsmb::GetComponentPrefix(), kName);
        return;
    }
    const LONG result = SCardCancel(context);
    if (result != SCARD_S_SUCCESS)
        Trace("%S:%s:SCardCancel: failed with SCard error: 0x%08X", tsmb::GetComponentPrefix(), kName,
              static_cast<DWORD>(result));
}

void SCardMonitoringThread::DoMonitoring()
{
    static const char kName[] = "scardm::SCardMonitoringThread::DoMonitoring";
    TraceExecuting(kName);
    ReaderNames names;
    ReaderStates states;
    RetrieveReaders(names);
    RetrieveInitialReaderStates(names, states);
    RecallKnownStates(states);
    ProcessInitalReaderStates(states);
    RememberFirstPass(states);
    UpdateKnownStatesInReaderStates(states);
    while (!m_stopRequested) {
        WaitForStateChangeInReaderStates(states);
        if (m_stopRequested)
            break;
        ProcessStateChangeInReaderStates(states);
        RememberStates(states);
        if (IsPnPNotificationReaderCountChangedInReaderStates(states)) {
            RetrieveReaders(names);
            RetrieveInitialReaderStates(names, states);
            RecallKnownStates(states);
            ProcessInitalReaderStates(states);
            RememberStates(states);
        }
        UpdateKnownStatesInReaderStates(states);
        if (names.size() == 1) {
            Trace("%S:%s: no reader present => sleep 1 second...", tsmb::GetComponentPrefix(), kName);
            PauseUnlessStopped(kRetryPauseMs);
        }
    }
}

}  // namespace scardm
