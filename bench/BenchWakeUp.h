#pragma once
// The bare simulated service: how long a blocked status-change wait takes to wake after a
// card is inserted or removed, and how long a thread blocked in it takes to end after
// SCardCancel; and, below both, a bare event hand-off between two threads. Shared by the
// benchmarks that compare against them.
#include <winscard.h>

#include <vector>

#include "BenchCard.h"
#include "BenchStats.h"

namespace benchwakeup {

struct Shared {
    SCARDCONTEXT context;
    const wchar_t* reader;
    HANDLE ready;  // the waiter is about to block
    HANDLE woke;   // the waiter has returned
    LARGE_INTEGER wokeAt;
    DWORD known;
    bool stop;
};

struct HandOff {
    HANDLE go;     // set by the measuring thread
    HANDLE ready;  // the waiter is blocked on go
    HANDLE woke;   // the waiter has returned
    LARGE_INTEGER wokeAt;
    volatile bool stop;
};

inline DWORD WINAPI EventWaiter(LPVOID p)
{
    auto* h = static_cast<HandOff*>(p);
    for (;;) {
        // One call signals and starts the wait, so "ready" means blocked.
        SignalObjectAndWait(h->ready, h->go, INFINITE, FALSE);
        QueryPerformanceCounter(&h->wokeAt);
        SetEvent(h->woke);
        if (h->stop)
            return 0;
    }
}

// Blocks in the service's wait until cancelled.
inline DWORD WINAPI CancelledWaiter(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    SCARD_READERSTATEW state = {};
    state.szReader = s->reader;
    state.dwCurrentState = s->known;
    SCardGetStatusChangeW(s->context, INFINITE, &state, 1);
    return 0;
}

inline DWORD WINAPI Waiter(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    for (;;) {
        SCARD_READERSTATEW state = {};
        state.szReader = s->reader;
        state.dwCurrentState = s->known;
        SetEvent(s->ready);
        const LONG result = SCardGetStatusChangeW(s->context, INFINITE, &state, 1);
        QueryPerformanceCounter(&s->wokeAt);
        s->known = state.dwEventState;
        SetEvent(s->woke);
        if (result != SCARD_S_SUCCESS || s->stop)
            return 0;
    }
}

}  // namespace benchwakeup

// Microseconds from each insertion or removal in reader (attached, no other waiter) to the
// return of a blocked wait; empty when the service gives no context.
inline std::vector<double> MeasureServiceWakeUp(const wchar_t* reader, int runs)
{
    using namespace benchwakeup;
    std::vector<double> micros;
    Shared s = {};
    s.reader = reader;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &s.context) != SCARD_S_SUCCESS)
        return micros;
    s.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.woke = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Learn the current state first, so the first measured wait really blocks.
    SCARD_READERSTATEW state = {};
    state.szReader = reader;
    SCardGetStatusChangeW(s.context, 0, &state, 1);
    s.known = state.dwEventState;
    HANDLE thread = CreateThread(nullptr, 0, &Waiter, &s, 0, nullptr);
    for (int i = 0; i < runs; ++i) {
        WaitForSingleObject(s.ready, INFINITE);
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        s.stop = i == runs - 1;
        const LARGE_INTEGER before = ToggleCard(reader, i);
        WaitForSingleObject(s.woke, INFINITE);
        micros.push_back(TicksToMicros(s.wokeAt.QuadPart - before.QuadPart));
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(s.ready);
    CloseHandle(s.woke);
    SCardReleaseContext(s.context);
    return micros;
}

// Microseconds from SetEvent to the return of another thread's wait on that event: what any
// cross-thread wake-up costs here, below every figure of the service.
inline std::vector<double> MeasureEventHandOff(int runs)
{
    using namespace benchwakeup;
    std::vector<double> micros;
    HandOff h = {};
    h.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    h.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    h.woke = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, &EventWaiter, &h, 0, nullptr);
    for (int i = 0; i < runs; ++i) {
        WaitForSingleObject(h.ready, INFINITE);
        h.stop = i == runs - 1;
        const LONGLONG before = Now();
        SetEvent(h.go);
        WaitForSingleObject(h.woke, INFINITE);
        micros.push_back(TicksToMicros(h.wokeAt.QuadPart - before));
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(h.go);
    CloseHandle(h.ready);
    CloseHandle(h.woke);
    return micros;
}

// Microseconds from SCardCancel to the end of a thread blocked in the service's wait on
// reader (attached, no other waiter): the floor of a monitor's stop.
inline std::vector<double> MeasureServiceCancel(const wchar_t* reader, int runs)
{
    using namespace benchwakeup;
    std::vector<double> micros;
    Shared s = {};
    s.reader = reader;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &s.context) != SCARD_S_SUCCESS)
        return micros;
    SCARD_READERSTATEW state = {};
    state.szReader = reader;
    SCardGetStatusChangeW(s.context, 0, &state, 1);
    s.known = state.dwEventState;
    for (int i = 0; i < runs; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, &CancelledWaiter, &s, 0, nullptr);
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        const LONGLONG before = Now();
        SCardCancel(s.context);
        WaitForSingleObject(thread, INFINITE);
        micros.push_back(TicksToMicros(Now() - before));
        CloseHandle(thread);
    }
    SCardReleaseContext(s.context);
    return micros;
}
