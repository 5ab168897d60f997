#include "EventLog.h"

#include <map>
#include <new>

#include "Trace.h"

namespace tsmb {

namespace {

const ULONGLONG kOutcomeIntervalMs = 60 * 1000;

SRWLOCK g_lock = SRWLOCK_INIT;
ULONGLONG (*g_clock)() = nullptr;
std::map<DWORD, ULONGLONG>* g_lastReported = nullptr;  // never freed: reporting may come late
HANDLE g_source = nullptr;

WORD EntryType(DWORD eventId)
{
    switch (eventId >> 30) {
    case 3:
        return EVENTLOG_ERROR_TYPE;
    case 2:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

// True when eventId may be written now (and is then counted as written).
bool TakeTurn(DWORD eventId)
{
    AcquireSRWLockExclusive(&g_lock);
    const ULONGLONG now = g_clock ? g_clock() : GetTickCount64();
    if (!g_lastReported)
        g_lastReported = new (std::nothrow) std::map<DWORD, ULONGLONG>();
    bool take = false;
    if (g_lastReported) {
        try {
            const auto last = g_lastReported->find(eventId);
            take = last == g_lastReported->end() || now - last->second >= kOutcomeIntervalMs;
            if (take)
                (*g_lastReported)[eventId] = now;
        } catch (const std::exception&) {
            take = false;
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    return take;
}

// The source handle, registered once; the registration runs outside the lock, so that no
// thread waits on another's call into the event log.
HANDLE Source()
{
    AcquireSRWLockShared(&g_lock);
    HANDLE source = g_source;
    ReleaseSRWLockShared(&g_lock);
    if (source)
        return source;
    source = RegisterEventSourceW(nullptr, L"Orvane");
    if (!source) {
        Trace("%Stsmb::ReportOutcome:RegisterEventSource: failed with last error: %ld => ignore (best effort)",
              GetComponentPrefix(), GetLastError());
        return nullptr;
    }
    AcquireSRWLockExclusive(&g_lock);
    if (!g_source)
        g_source = source;
    HANDLE kept = g_source;
    ReleaseSRWLockExclusive(&g_lock);
    if (kept != source)
        DeregisterEventSource(source);
    return kept;
}

}  // namespace

void ReportOutcome(DWORD eventId, const std::vector<std::wstring>& inserts)
{
    if (!TakeTurn(eventId)) {
        Trace("%Stsmb::ReportOutcome: event %lu already written within the minute => not again", GetComponentPrefix(),
              eventId & 0xFFFF);
        return;
    }
    HANDLE source = Source();
    if (!source)
        return;
    LPCWSTR strings[8] = {};
    const WORD count = static_cast<WORD>(inserts.size() < 8 ? inserts.size() : 8);
    for (WORD i = 0; i < count; ++i)
        strings[i] = inserts[i].c_str();
    if (!ReportEventW(source, EntryType(eventId), 0, eventId, nullptr, count, 0, count ? strings : nullptr, nullptr))
        Trace("%Stsmb::ReportOutcome:ReportEvent: failed for event %lu with last error: %ld => ignore (best effort)",
              GetComponentPrefix(), eventId & 0xFFFF, GetLastError());
    else
        Trace("%Stsmb::ReportOutcome: event %lu written to the Application log", GetComponentPrefix(), eventId & 0xFFFF);
}

void SetOutcomeClock(ULONGLONG (*clock)())
{
    AcquireSRWLockExclusive(&g_lock);
    g_clock = clock;
    ReleaseSRWLockExclusive(&g_lock);
}

void ForgetReportedOutcomes()
{
    AcquireSRWLockExclusive(&g_lock);
    if (g_lastReported)
        g_lastReported->clear();
    ReleaseSRWLockExclusive(&g_lock);
}

}  // namespace tsmb
