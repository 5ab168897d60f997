#pragma once
// The bare simulated service: how long a blocked status-change wait takes to wake after a
// card is inserted or removed, and how long a thread blocked in it takes to end after
// SCardCancel; and, below both, a bare event hand-off between two threads. Shared by the
// benchmarks that compare against them.
#include <winscard.h>

#include <vector>

#include "BenchCard.h"
#include "BenchStats.h"
#include "CardHandles.h"
#include "UniqueHandle.h"

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

// A context of the service, or none when it gives none.
inline CardContext EstablishContext()
{
    CardContext context;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.Put()) != SCARD_S_SUCCESS)
        context.Release();  // nothing was given: nothing to release
    return context;
}

// Microseconds from each insertion or removal in reader (attached, no other waiter) to the
// return of a blocked wait; empty when the service gives no context.
inline std::vector<double> MeasureServiceWakeUp(const wchar_t* reader, int runs)
{
    using namespace benchwakeup;
    std::vector<double> micros;
    Shared s = {};
    s.reader = reader;
    const CardContext context = EstablishContext();
    if (!context)
        return micros;
    s.context = context.Get();
    const tsmb::UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const tsmb::UniqueHandle woke(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    s.ready = ready.Get();
    s.woke = woke.Get();
    // Learn the current state first, so the first measured wait really blocks.
    SCARD_READERSTATEW state = {};
    state.szReader = reader;
    SCardGetStatusChangeW(s.context, 0, &state, 1);
    s.known = state.dwEventState;
    const tsmb::UniqueHandle thread(CreateThread(nullptr, 0, &Waiter, &s, 0, nullptr));
    for (int i = 0; i < runs; ++i) {
        WaitForSingleObject(s.ready, INFINITE);
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        s.stop = i == runs - 1;
        const LARGE_INTEGER before = ToggleCard(reader, i);
        WaitForSingleObject(s.woke, INFINITE);
        micros.push_back(TicksToMicros(s.wokeAt.QuadPart - before.QuadPart));
    }
    WaitForSingleObject(thread.Get(), INFINITE);
    return micros;
}

// Microseconds from SetEvent to the return of another thread's wait on that event: what any
// cross-thread wake-up costs here, below every figure of the service.
inline std::vector<double> MeasureEventHandOff(int runs)
{
    using namespace benchwakeup;
    std::vector<double> micros;
    HandOff h = {};
    const tsmb::UniqueHandle go(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const tsmb::UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const tsmb::UniqueHandle woke(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    h.go = go.Get();
    h.ready = ready.Get();
    h.woke = woke.Get();
    const tsmb::UniqueHandle thread(CreateThread(nullptr, 0, &EventWaiter, &h, 0, nullptr));
    for (int i = 0; i < runs; ++i) {
        WaitForSingleObject(h.ready, INFINITE);
        h.stop = i == runs - 1;
        const LONGLONG before = Now();
        SetEvent(h.go);
        WaitForSingleObject(h.woke, INFINITE);
        micros.push_back(TicksToMicros(h.wokeAt.QuadPart - before));
    }
    WaitForSingleObject(thread.Get(), INFINITE);
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
    const CardContext context = EstablishContext();
    if (!context)
        return micros;
    s.context = context.Get();
    SCARD_READERSTATEW state = {};
    state.szReader = reader;
    SCardGetStatusChangeW(s.context, 0, &state, 1);
    s.known = state.dwEventState;
    for (int i = 0; i < runs; ++i) {
        const tsmb::UniqueHandle thread(CreateThread(nullptr, 0, &CancelledWaiter, &s, 0, nullptr));
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        const LONGLONG before = Now();
        SCardCancel(s.context);
        WaitForSingleObject(thread.Get(), INFINITE);
        micros.push_back(TicksToMicros(Now() - before));
    }
    return micros;
}
