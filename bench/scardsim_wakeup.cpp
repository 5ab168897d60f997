// Benchmark: how long a blocked status-change wait takes to wake after a card is inserted or
// removed in the simulated service. Prints median, 95th percentile and maximum over the runs.
//   scardsim_wakeup.exe [runs]
#include "BenchCard.h"
#include "BenchStats.h"

#include <winscard.h>

#include <cwchar>

namespace {

struct Shared {
    SCARDCONTEXT context;
    HANDLE ready;   // the waiter is about to block
    HANDLE woke;    // the waiter has returned
    LARGE_INTEGER wokeAt;
    DWORD known;
    bool stop;
};

DWORD WINAPI Waiter(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    for (;;) {
        SCARD_READERSTATEW state = {};
        state.szReader = L"Bench Reader";
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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 300;
    SimReset();
    SimAttachReader(L"Bench Reader");
    Shared s = {};
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &s.context) != SCARD_S_SUCCESS) {
        fwprintf(stderr, L"no context\n");
        return 1;
    }
    s.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.woke = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Learn the current state first, so the first measured wait really blocks.
    SCARD_READERSTATEW state = {};
    state.szReader = L"Bench Reader";
    SCardGetStatusChangeW(s.context, 0, &state, 1);
    s.known = state.dwEventState;
    HANDLE thread = CreateThread(nullptr, 0, &Waiter, &s, 0, nullptr);

    std::vector<double> micros;
    for (int i = 0; i < runs; ++i) {
        WaitForSingleObject(s.ready, INFINITE);
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        s.stop = i == runs - 1;
        const LARGE_INTEGER before = ToggleCard(L"Bench Reader", i);
        WaitForSingleObject(s.woke, INFINITE);
        micros.push_back(TicksToMicros(s.wokeAt.QuadPart - before.QuadPart));
    }
    WaitForSingleObject(thread, INFINITE);
    SCardReleaseContext(s.context);
    SimReset();

    ReportLatency(L"wake-up after insert/remove", micros);
    return 0;
}
