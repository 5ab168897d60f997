// A smart-card service that behaves like the one on Windows, for tests and demos: readers and
// cards are attached and inserted through the control exports (or scardsim.exe), and every
// process that loads this DLL sees the same state.
#define SCARDSIM_BUILD
#include "scardsim.h"
#include "SimState.h"
#include "StandIn.h"

#include <winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using scardsim::State;

namespace {

const wchar_t kPnPReader[] = L"\\\\?PnP?\\Notification";
const BYTE kDefaultAtr[] = {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0,
                            0x85, 0x03, 0x00, 0xEF, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00};
const wchar_t kDefaultCard[] = L"Simulated Smart Card";
const wchar_t kDefaultCsp[] = L"Microsoft Base Smart Card Crypto Provider";
const char kDefaultPin[] = "1234";
const DWORD kDefaultTries = 3;
const BYTE kPinMask = 0xA5;
const wchar_t kKsp[] = L"Microsoft Smart Card Key Storage Provider";
constexpr DWORD kProviderKsp = 3;  // SCARD_PROVIDER_KSP

// ---- shared state ---------------------------------------------------------------------------

HANDLE g_mutex = nullptr;
HANDLE g_started = nullptr;  // the service's started event (manual reset)
State* g_state = nullptr;
HANDLE g_waiterEvents[scardsim::kMaxWaiters] = {};
INIT_ONCE g_initOnce = INIT_ONCE_STATIC_INIT;

std::wstring StateFilePath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"SCARDSIM_STATE", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return path;
    n = GetTempPathW(MAX_PATH, path);
    return std::wstring(path, n) + L"scardsim-state.bin";
}

HANDLE WaiterEvent(DWORD slot)
{
    if (g_waiterEvents[slot] == nullptr) {
        wchar_t name[64];
        swprintf(name, 64, L"OrvaneSCardSim.Waiter.%lu", static_cast<unsigned long>(slot));
        g_waiterEvents[slot] = CreateEventW(nullptr, FALSE, FALSE, name);  // auto reset
    }
    return g_waiterEvents[slot];
}

class Lock {
public:
    Lock() { WaitForSingleObject(g_mutex, INFINITE); }  // an abandoned mutex is ours too
    ~Lock() { ReleaseMutex(g_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

void InitializeLocked(bool firstUser)
{
    if (g_state->magic != scardsim::kStateMagic) {
        ZeroMemory(g_state, sizeof(State));
        g_state->magic = scardsim::kStateMagic;
        g_state->serviceRunning = 1;
        g_state->serviceEpoch = 1;
    }
    // No process had the section open, so no wait can be pending anywhere.
    if (firstUser)
        ZeroMemory(g_state->waiters, sizeof(g_state->waiters));
}

BOOL CALLBACK InitOnce(PINIT_ONCE, PVOID, PVOID*)
{
    g_mutex = CreateMutexW(nullptr, FALSE, L"OrvaneSCardSim.Mutex");
    if (!g_mutex)
        return FALSE;
    WaitForSingleObject(g_mutex, INFINITE);
    const std::wstring path = StateFilePath();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, sizeof(State), L"OrvaneSCardSim.State");
    const bool firstUser = GetLastError() != ERROR_ALREADY_EXISTS;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (section)
        g_state = static_cast<State*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(State)));
    if (g_state)
        InitializeLocked(firstUser);
    // Every slot's event at once: a process that opened them as its waits took new slots would
    // hold more handles the more waiters it ever met, which tests counting handles would take
    // for a leak.
    for (DWORD slot = 0; g_state && slot < scardsim::kMaxWaiters; ++slot)
        WaiterEvent(slot);
    if (g_state) {
        g_started = CreateEventW(nullptr, TRUE, g_state->serviceRunning ? TRUE : FALSE, L"OrvaneSCardSim.Started");
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            if (g_state->serviceRunning)
                SetEvent(g_started);
            else
                ResetEvent(g_started);
        }
    }
    ReleaseMutex(g_mutex);
    return g_state != nullptr && g_started != nullptr;
}

bool Ready() { return InitOnceExecuteOnce(&g_initOnce, &InitOnce, nullptr, nullptr) != FALSE; }

// Wakes every pending wait in every process; called with the lock held, after a change.
void SignalChangeLocked()
{
    ++g_state->changeCount;
    for (DWORD i = 0; i < scardsim::kMaxWaiters; ++i)
        if (g_state->waiters[i].processId != 0)
            SetEvent(WaiterEvent(i));
}

bool Aims(DWORD aim, DWORD id) { return aim == 0 || aim == id; }

// The service operations this process called (every SCard export), for the benchmarks' counts.
volatile LONG g_serviceCalls = 0;

// Every service operation begins here: it is counted, takes the time SCARDSIM_DELAY_MS says
// (a real service and card answer in milliseconds, the simulated one in microseconds), and
// consumes a failure injected for this export and aimed at this caller (counted by the call):
// its code, or 0 when none.
LONG TakeFailure(const char* operation)
{
    InterlockedIncrement(&g_serviceCalls);
    standin::DelayAsConfigured("SCARDSIM_DELAY_MS");
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    for (auto& f : g_state->failures) {
        if (f.operation[0] != '\0' && strcmp(f.operation, operation) == 0 &&
            Aims(f.processId, GetCurrentProcessId()) && Aims(f.threadId, GetCurrentThreadId())) {
            ++f.failed;
            if (f.remaining != INFINITE && --f.remaining == 0)
                f.operation[0] = '\0';
            return f.code;
        }
    }
    return 0;
}

// The armed failures of that export with exactly that aim.
template <typename Visit>
void ForEachFailureLocked(LPCSTR operation, DWORD processId, DWORD threadId, Visit visit)
{
    for (auto& f : g_state->failures)
        if (f.operation[0] != '\0' && strcmp(f.operation, operation) == 0 && f.processId == processId &&
            f.threadId == threadId)
            visit(f);
}

scardsim::Reader* FindReaderLocked(LPCWSTR name)
{
    for (auto& r : g_state->readers)
        if (r.attached && wcscmp(r.name, name) == 0)
            return &r;
    return nullptr;
}

void SetCardKeyLocked(scardsim::Reader& r, const char* pin, DWORD pinLength, DWORD tries, const BYTE* certificate,
                      DWORD certificateLength)
{
    ZeroMemory(r.pinMasked, sizeof(r.pinMasked));
    for (DWORD i = 0; i < pinLength; ++i)
        r.pinMasked[i] = static_cast<BYTE>(pin[i] ^ kPinMask);
    r.pinLength = pinLength;
    r.triesLeft = r.triesMax = tries;
    r.certificateLength = certificateLength;
    if (certificateLength)
        memcpy(r.certificate, certificate, certificateLength);
}

// Status-change waits now blocked in any process; quiet: only those begun after the latest change.
LONG CountWaits(bool quiet)
{
    if (!Ready())
        return 0;
    Lock lock;
    LONG n = 0;
    for (const auto& w : g_state->waiters)
        n += w.processId != 0 && (!quiet || w.changeSeen == g_state->changeCount) ? 1 : 0;
    return n;
}

// The reader holding a card, or the code that says why there is none.
LONG FindCardLocked(LPCWSTR name, scardsim::Reader*& reader)
{
    reader = FindReaderLocked(name);
    if (reader == nullptr)
        return SCARD_E_UNKNOWN_READER;
    return reader->present ? SCARD_S_SUCCESS : SCARD_E_NO_SMARTCARD;
}

DWORD AttachedCountLocked()
{
    DWORD n = 0;
    for (const auto& r : g_state->readers)
        n += r.attached ? 1 : 0;
    return n;
}

std::vector<const scardsim::Reader*> ReadersInOrderLocked()
{
    std::vector<const scardsim::Reader*> list;
    for (const auto& r : g_state->readers)
        if (r.attached)
            list.push_back(&r);
    std::sort(list.begin(), list.end(), [](auto* a, auto* b) { return a->attachOrder < b->attachOrder; });
    return list;
}

// The state word the service reports for a record, without SCARD_STATE_CHANGED.
DWORD ReaderStateLocked(LPCWSTR name, BYTE* atr, DWORD* atrLength)
{
    *atrLength = 0;
    if (wcscmp(name, kPnPReader) == 0)
        return AttachedCountLocked() << 16;
    const scardsim::Reader* r = FindReaderLocked(name);
    if (r == nullptr)
        return SCARD_STATE_UNKNOWN;
    if (r->present) {
        memcpy(atr, r->atr, r->atrLength);
        *atrLength = r->atrLength;
    }
    return ((r->eventCount & 0xFFFF) << 16) | (r->present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY);
}

// ---- per-process objects --------------------------------------------------------------------

struct Context {
    DWORD epoch;
    HANDLE cancel;  // manual reset; set by SCardCancel while a wait is pending
    bool waiting = false;
    ~Context() { CloseHandle(cancel); }
};

CRITICAL_SECTION* ProcessLock()
{
    static CRITICAL_SECTION section;
    static bool ready = [] {
        InitializeCriticalSection(&section);
        return true;
    }();
    (void)ready;
    return &section;
}

class ProcessLockGuard {
public:
    ProcessLockGuard() { EnterCriticalSection(ProcessLock()); }
    ~ProcessLockGuard() { LeaveCriticalSection(ProcessLock()); }
};

std::map<SCARDCONTEXT, std::shared_ptr<Context>>& Contexts()
{
    static auto* contexts = new std::map<SCARDCONTEXT, std::shared_ptr<Context>>();
    return *contexts;
}
std::set<void*>& Blocks()
{
    static auto* blocks = new std::set<void*>();
    return *blocks;
}
SCARDCONTEXT g_nextContext = 0x5C000001;
LONG g_startedRefs = 0;

std::shared_ptr<Context> FindContext(SCARDCONTEXT handle)
{
    ProcessLockGuard guard;
    auto it = Contexts().find(handle);
    return it == Contexts().end() ? nullptr : it->second;
}

bool ContextAliveLocked(const Context& c) { return g_state->serviceRunning && c.epoch == g_state->serviceEpoch; }

// Hands a zero-terminated text or multi-string to the caller as Windows does: into the
// caller's buffer, as a length query, or in a block the caller frees with SCardFreeMemory.
LONG Deliver(const std::wstring& text, LPWSTR buffer, LPDWORD length)
{
    if (length == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    const DWORD needed = static_cast<DWORD>(text.size());
    if (*length == SCARD_AUTOALLOCATE) {
        if (buffer == nullptr)
            return SCARD_E_INVALID_PARAMETER;
        auto* block = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, needed * sizeof(wchar_t)));
        if (block == nullptr)
            return SCARD_E_NO_MEMORY;
        memcpy(block, text.data(), needed * sizeof(wchar_t));
        {
            ProcessLockGuard guard;
            Blocks().insert(block);
        }
        *reinterpret_cast<LPWSTR*>(buffer) = block;
        *length = needed;
        return SCARD_S_SUCCESS;
    }
    if (buffer == nullptr) {
        *length = needed;
        return SCARD_S_SUCCESS;
    }
    if (*length < needed) {
        *length = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    memcpy(buffer, text.data(), needed * sizeof(wchar_t));
    *length = needed;
    return SCARD_S_SUCCESS;
}

LONG CheckContext(SCARDCONTEXT handle, std::shared_ptr<Context>& context)
{
    context = FindContext(handle);
    if (!context)
        return SCARD_E_INVALID_HANDLE;
    Lock lock;
    return ContextAliveLocked(*context) ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
}

bool SameAtr(const BYTE* a, DWORD aLength, const BYTE* b, DWORD bLength)
{
    return aLength == bLength && memcmp(a, b, aLength) == 0;
}

}  // namespace

// ---- the service operations -----------------------------------------------------------------

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    if (LONG f = TakeFailure("SCardEstablishContext"))
        return f;
    if (context == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (scope != SCARD_SCOPE_USER && scope != SCARD_SCOPE_SYSTEM)
        return SCARD_E_INVALID_VALUE;
    auto c = std::make_shared<Context>();
    {
        Lock lock;
        if (!g_state->serviceRunning)
            return SCARD_E_NO_SERVICE;
        c->epoch = g_state->serviceEpoch;
    }
    c->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ProcessLockGuard guard;
    *context = g_nextContext++;
    Contexts()[*context] = c;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT handle)
{
    if (LONG f = TakeFailure("SCardReleaseContext"))
        return f;
    ProcessLockGuard guard;
    auto it = Contexts().find(handle);
    if (it == Contexts().end())
        return SCARD_E_INVALID_HANDLE;
    SetEvent(it->second->cancel);  // a wait still pending on it ends
    Contexts().erase(it);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT handle)
{
    if (LONG f = TakeFailure("SCardIsValidContext"))
        return f;
    std::shared_ptr<Context> c;
    return CheckContext(handle, c) == SCARD_S_SUCCESS ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT handle, LPCWSTR, LPWSTR readers, LPDWORD length)
{
    if (LONG f = TakeFailure("SCardListReadersW"))
        return f;
    std::shared_ptr<Context> c;
    if (LONG r = CheckContext(handle, c))
        return r;
    if (length == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    std::wstring list;
    {
        Lock lock;
        for (const auto* r : ReadersInOrderLocked()) {
            list += r->name;
            list.push_back(L'\0');
        }
    }
    if (list.empty())
        return SCARD_E_NO_READERS_AVAILABLE;
    list.push_back(L'\0');
    return Deliver(list, readers, length);
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT handle, LPCVOID memory)
{
    if (LONG f = TakeFailure("SCardFreeMemory"))
        return f;
    if (handle != 0 && !FindContext(handle))
        return SCARD_E_INVALID_HANDLE;
    ProcessLockGuard guard;
    // Stricter than Windows: a block not handed out (or freed twice) is an error, so tests
    // see it.
    if (Blocks().erase(const_cast<void*>(memory)) == 0)
        return SCARD_E_INVALID_PARAMETER;
    HeapFree(GetProcessHeap(), 0, const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT handle, DWORD timeout, LPSCARD_READERSTATEW states, DWORD count)
{
    if (LONG f = TakeFailure("SCardGetStatusChangeW"))
        return f;
    std::shared_ptr<Context> c;
    if (LONG r = CheckContext(handle, c))
        return r;
    if (count > 0 && states == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    for (DWORD i = 0; i < count; ++i)
        if (states[i].szReader == nullptr)
            return SCARD_E_INVALID_VALUE;

    {
        ProcessLockGuard guard;
        ResetEvent(c->cancel);
        c->waiting = true;
    }
    const ULONGLONG deadline = timeout == INFINITE ? 0 : GetTickCount64() + timeout;
    int slot = -1;
    LONG result = SCARD_E_TIMEOUT;
    for (bool first = true;; first = false) {
        {
            Lock lock;
            if (!ContextAliveLocked(*c)) {
                result = first ? SCARD_E_NO_SERVICE : SCARD_E_SYSTEM_CANCELLED;
                break;
            }
            bool changed = false;
            for (DWORD i = 0; i < count; ++i) {
                SCARD_READERSTATEW& s = states[i];
                if (s.dwCurrentState & SCARD_STATE_IGNORE) {
                    s.dwEventState = SCARD_STATE_IGNORE;
                    continue;
                }
                DWORD atrLength = 0;
                const DWORD now = ReaderStateLocked(s.szReader, s.rgbAtr, &atrLength);
                s.cbAtr = atrLength;
                // SCARD_STATE_CHANGED in what the caller knows is not part of the comparison;
                // a caller that is unaware (0) always gets an answer at once.
                const bool differs =
                    s.dwCurrentState == SCARD_STATE_UNAWARE || (s.dwCurrentState & ~SCARD_STATE_CHANGED) != now;
                s.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
                changed = changed || differs;
            }
            if (changed) {
                result = SCARD_S_SUCCESS;
                break;
            }
            if (timeout == 0)
                break;
            if (slot < 0) {
                for (DWORD i = 0; i < scardsim::kMaxWaiters && slot < 0; ++i)
                    if (g_state->waiters[i].processId == 0) {
                        g_state->waiters[i].processId = GetCurrentProcessId();
                        g_state->waiters[i].threadId = GetCurrentThreadId();
                        slot = static_cast<int>(i);
                    }
            }
            if (slot >= 0) {
                ResetEvent(WaiterEvent(static_cast<DWORD>(slot)));  // every change from here on sets it
                g_state->waiters[slot].changeSeen = g_state->changeCount;
            }
        }
        DWORD wait = INFINITE;
        if (timeout != INFINITE) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            wait = static_cast<DWORD>(deadline - now);
        }
        if (slot < 0)
            wait = std::min<DWORD>(wait, 20);  // every slot taken: fall back to polling
        HANDLE handles[2] = {c->cancel, slot >= 0 ? WaiterEvent(static_cast<DWORD>(slot)) : c->cancel};
        const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, wait);
        if (woke == WAIT_OBJECT_0) {
            result = SCARD_E_CANCELLED;
            break;
        }
    }
    if (slot >= 0) {
        Lock lock;
        g_state->waiters[slot].processId = 0;
    }
    ProcessLockGuard guard;
    c->waiting = false;
    return result;
}

LONG WINAPI SCardCancel(SCARDCONTEXT handle)
{
    if (LONG f = TakeFailure("SCardCancel"))
        return f;
    ProcessLockGuard guard;
    auto it = Contexts().find(handle);
    if (it == Contexts().end())
        return SCARD_E_INVALID_HANDLE;
    // Only a pending wait is cancelled; a cancel with nothing pending leaves no trace.
    if (it->second->waiting)
        SetEvent(it->second->cancel);
    return SCARD_S_SUCCESS;
}

HANDLE WINAPI SCardAccessStartedEvent(void)
{
    if (LONG f = TakeFailure("SCardAccessStartedEvent")) {
        SetLastError(static_cast<DWORD>(f));
        return nullptr;
    }
    if (!Ready())
        return nullptr;
    ProcessLockGuard guard;
    ++g_startedRefs;
    return g_started;
}

void WINAPI SCardReleaseStartedEvent(void)
{
    InterlockedIncrement(&g_serviceCalls);
    standin::DelayAsConfigured("SCARDSIM_DELAY_MS");
    ProcessLockGuard guard;
    if (g_startedRefs > 0)
        --g_startedRefs;
}

LONG WINAPI SCardListCardsW(SCARDCONTEXT handle, LPCBYTE atr, LPCGUID, DWORD, LPWSTR cards, LPDWORD length)
{
    if (LONG f = TakeFailure("SCardListCardsW"))
        return f;
    std::shared_ptr<Context> c;
    if (handle != 0)
        if (LONG r = CheckContext(handle, c))
            return r;
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    std::wstring list;
    {
        Lock lock;
        for (const auto& t : g_state->cardTypes) {
            if (t.name[0] == L'\0')
                continue;
            if (atr != nullptr) {
                // An ATR's length follows from its contents; compare over the stored length.
                if (memcmp(atr, t.atr, t.atrLength) != 0)
                    continue;
            }
            list += t.name;
            list.push_back(L'\0');
        }
    }
    list.push_back(L'\0');
    return Deliver(list, cards, length);
}

LONG WINAPI SCardGetCardTypeProviderNameW(SCARDCONTEXT handle, LPCWSTR cardName, DWORD providerId, LPWSTR provider,
                                          LPDWORD length)
{
    if (LONG f = TakeFailure("SCardGetCardTypeProviderNameW"))
        return f;
    std::shared_ptr<Context> c;
    if (handle != 0)
        if (LONG r = CheckContext(handle, c))
            return r;
    if (cardName == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    std::wstring name;
    {
        Lock lock;
        for (const auto& t : g_state->cardTypes)
            if (t.name[0] != L'\0' && wcscmp(t.name, cardName) == 0) {
                if (providerId == SCARD_PROVIDER_CSP)
                    name = t.csp;
                else if (providerId == kProviderKsp)
                    name = kKsp;
                else
                    return SCARD_E_INVALID_PARAMETER;
            }
    }
    if (name.empty())
        return SCARD_E_UNKNOWN_CARD;
    name.push_back(L'\0');
    return Deliver(name, provider, length);
}

// ---- control exports ------------------------------------------------------------------------

LONG WINAPI SimReset(void)
{
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    ZeroMemory(g_state->readers, sizeof(g_state->readers));
    ZeroMemory(g_state->cardTypes, sizeof(g_state->cardTypes));
    ZeroMemory(g_state->failures, sizeof(g_state->failures));
    if (!g_state->serviceRunning) {
        g_state->serviceRunning = 1;
        ++g_state->serviceEpoch;
        SetEvent(g_started);
    }
    SignalChangeLocked();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimAttachReader(LPCWSTR name)
{
    if (name == nullptr || name[0] == L'\0' || wcslen(name) >= scardsim::kNameChars || wcscmp(name, kPnPReader) == 0)
        return SCARD_E_INVALID_PARAMETER;
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    if (FindReaderLocked(name))
        return SCARD_E_DUPLICATE_READER;
    for (auto& r : g_state->readers) {
        if (!r.attached) {
            ZeroMemory(&r, sizeof(r));
            wcscpy(r.name, name);
            r.attached = 1;
            r.attachOrder = ++g_state->nextAttachOrder;
            SignalChangeLocked();
            return SCARD_S_SUCCESS;
        }
    }
    return SCARD_E_NO_MEMORY;
}

LONG WINAPI SimDetachReader(LPCWSTR name)
{
    if (name == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = FindReaderLocked(name);
    if (r == nullptr)
        return SCARD_E_UNKNOWN_READER;
    ZeroMemory(r, sizeof(*r));
    SignalChangeLocked();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimInsertCard(LPCWSTR name, const BYTE* atr, DWORD atrLength, LPCWSTR card, LPCWSTR csp)
{
    if (name == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    if (atr == nullptr) {
        atr = kDefaultAtr;
        atrLength = sizeof(kDefaultAtr);
    }
    if (atrLength < 2 || atrLength > scardsim::kMaxAtr)
        return SCARD_E_INVALID_ATR;
    if ((card && wcslen(card) >= scardsim::kNameChars) || (csp && wcslen(csp) >= scardsim::kNameChars))
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = FindReaderLocked(name);
    if (r == nullptr)
        return SCARD_E_UNKNOWN_READER;
    if (r->present)
        return ERROR_ALREADY_EXISTS;
    // The card type database keeps one entry per ATR; names given at insertion win.
    scardsim::CardType* type = nullptr;
    for (auto& t : g_state->cardTypes)
        if (t.name[0] != L'\0' && SameAtr(t.atr, t.atrLength, atr, atrLength))
            type = &t;
    for (auto& t : g_state->cardTypes)
        if (type == nullptr && t.name[0] == L'\0')
            type = &t;
    if (type == nullptr)
        return SCARD_E_NO_MEMORY;
    if (type->name[0] == L'\0' || card)
        wcscpy(type->name, card ? card : kDefaultCard);
    if (type->csp[0] == L'\0' || csp)
        wcscpy(type->csp, csp ? csp : kDefaultCsp);
    memcpy(type->atr, atr, atrLength);
    type->atrLength = atrLength;

    memcpy(r->atr, atr, atrLength);
    r->atrLength = atrLength;
    SetCardKeyLocked(*r, kDefaultPin, static_cast<DWORD>(strlen(kDefaultPin)), kDefaultTries, nullptr, 0);
    r->present = 1;
    r->eventCount = (r->eventCount + 1) & 0xFFFF;
    SignalChangeLocked();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimRemoveCard(LPCWSTR name)
{
    if (name == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = nullptr;
    if (LONG missing = FindCardLocked(name, r))
        return missing;
    r->present = 0;
    r->atrLength = 0;
    r->eventCount = (r->eventCount + 1) & 0xFFFF;
    SignalChangeLocked();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimSetCardKey(LPCWSTR name, LPCSTR pin, DWORD tries, const BYTE* certificate, DWORD certificateLength)
{
    if (name == nullptr || pin == nullptr || strlen(pin) >= scardsim::kMaxPin || tries == 0 ||
        certificateLength > scardsim::kMaxCertificate || (certificateLength && !certificate) || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = nullptr;
    if (LONG missing = FindCardLocked(name, r))
        return missing;
    SetCardKeyLocked(*r, pin, static_cast<DWORD>(strlen(pin)), tries, certificate, certificateLength);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimVerifyCardPin(LPCWSTR name, const char* pin, DWORD pinLength)
{
    if (name == nullptr || (pin == nullptr && pinLength) || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = nullptr;
    if (LONG missing = FindCardLocked(name, r))
        return missing;
    if (r->triesLeft == 0)
        return SCARD_W_CHV_BLOCKED;
    bool same = pinLength == r->pinLength;
    for (DWORD i = 0; same && i < pinLength; ++i)
        same = static_cast<BYTE>(pin[i] ^ kPinMask) == r->pinMasked[i];
    if (same) {
        r->triesLeft = r->triesMax;
        return SCARD_S_SUCCESS;
    }
    return --r->triesLeft == 0 ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV;
}

LONG WINAPI SimGetCardCertificate(LPCWSTR name, BYTE* certificate, DWORD* length)
{
    if (name == nullptr || length == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = nullptr;
    if (LONG missing = FindCardLocked(name, r))
        return missing;
    if (certificate) {
        if (*length < r->certificateLength) {
            *length = r->certificateLength;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        memcpy(certificate, r->certificate, r->certificateLength);
    }
    *length = r->certificateLength;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimGetCardTriesLeft(LPCWSTR name, DWORD* tries)
{
    if (name == nullptr || tries == nullptr || !Ready())
        return SCARD_E_INVALID_PARAMETER;
    Lock lock;
    scardsim::Reader* r = nullptr;
    if (LONG missing = FindCardLocked(name, r))
        return missing;
    *tries = r->triesLeft;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimStopService(void)
{
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    if (g_state->serviceRunning) {
        g_state->serviceRunning = 0;
        ResetEvent(g_started);
        SignalChangeLocked();
    }
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimStartService(void)
{
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    if (!g_state->serviceRunning) {
        g_state->serviceRunning = 1;
        ++g_state->serviceEpoch;
        SetEvent(g_started);
        SignalChangeLocked();
    }
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimFailCalls(LPCSTR operation, LONG code, DWORD processId, DWORD threadId, DWORD times)
{
    if (operation == nullptr || operation[0] == '\0' || strlen(operation) >= sizeof(scardsim::Failure::operation) ||
        times == 0)
        return SCARD_E_INVALID_PARAMETER;
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    for (auto& f : g_state->failures) {
        if (f.operation[0] == '\0') {
            ZeroMemory(&f, sizeof(f));
            strcpy(f.operation, operation);
            f.code = code;
            f.processId = processId;
            f.threadId = threadId;
            f.remaining = times;
            return SCARD_S_SUCCESS;
        }
    }
    return SCARD_E_NO_MEMORY;
}

LONG WINAPI SimFailNext(LPCSTR operation, LONG code) { return SimFailCalls(operation, code, 0, 0, 1); }

LONG WINAPI SimCountFailedCalls(LPCSTR operation, DWORD processId, DWORD threadId)
{
    if (operation == nullptr || !Ready())
        return 0;
    Lock lock;
    LONG failed = 0;
    ForEachFailureLocked(operation, processId, threadId, [&](scardsim::Failure& f) { failed += f.failed; });
    return failed;
}

LONG WINAPI SimEndFailures(LPCSTR operation, DWORD processId, DWORD threadId)
{
    if (operation == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    ForEachFailureLocked(operation, processId, threadId, [](scardsim::Failure& f) { f.operation[0] = '\0'; });
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimGetReader(DWORD index, LPWSTR name, DWORD nameChars, DWORD* state, BYTE* atr, DWORD* atrLength)
{
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    const auto list = ReadersInOrderLocked();
    if (index >= list.size())
        return SCARD_E_NO_READERS_AVAILABLE;
    const scardsim::Reader* r = list[index];
    if (name != nullptr && nameChars > 0) {
        wcsncpy(name, r->name, nameChars - 1);
        name[nameChars - 1] = L'\0';
    }
    BYTE ignored[scardsim::kMaxAtr];
    DWORD length = 0;
    const DWORD word = ReaderStateLocked(r->name, atr ? atr : ignored, &length);
    if (state)
        *state = word;
    if (atrLength)
        *atrLength = length;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SimIsServiceRunning(void)
{
    if (!Ready())
        return 0;
    Lock lock;
    return g_state->serviceRunning ? 1 : 0;
}

LONG WINAPI SimCountPendingWaits(void) { return CountWaits(false); }

LONG WINAPI SimCountQuietWaits(void) { return CountWaits(true); }

LONG WINAPI SimGetWaits(DWORD* processIds, DWORD* threadIds, BOOL* quiet, DWORD* count)
{
    if (count == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (!Ready())
        return SCARD_F_INTERNAL_ERROR;
    Lock lock;
    DWORD n = 0;
    for (const auto& w : g_state->waiters) {
        if (w.processId == 0)
            continue;
        if (n < *count) {
            processIds[n] = w.processId;
            threadIds[n] = w.threadId;
            quiet[n] = w.changeSeen == g_state->changeCount;
        }
        ++n;
    }
    const bool fits = n <= *count;
    *count = n;
    return fits ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
}

LONG WINAPI SimCountServiceCalls(void) { return g_serviceCalls; }

LONG WINAPI SimGetOutstanding(LONG* contexts, LONG* blocks, LONG* startedEvents)
{
    ProcessLockGuard guard;
    if (contexts)
        *contexts = static_cast<LONG>(Contexts().size());
    if (blocks)
        *blocks = static_cast<LONG>(Blocks().size());
    if (startedEvents)
        *startedEvents = g_startedRefs;
    return SCARD_S_SUCCESS;
}

}  // extern "C"
