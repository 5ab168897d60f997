#pragma once
// The bare simulated service: how long a blocked status-change wait takes to wake after a
// card is inserted or removed. Shared by the benchmarks that compare against it.
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
