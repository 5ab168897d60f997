// Benchmark of the card-monitoring worker against the simulated service, each beside its
// bare counterpart in the same run:
//  - insertion or removal to the subclass hook (bare: the blocked wait's return),
//  - RequestStop to the end of the worker (bare: SCardCancel to the end of a blocked thread),
//  - the worker's CPU time while nothing changes (bare: a thread blocked in the wait).
//   monitor_latency.exe [insertions] [stops]
#include "BenchWakeUp.h"
#include "SCardMonitoringThread.h"

#include <cwchar>

namespace {

class HookedMonitor : public scardm::SCardMonitoringThread {
public:
    const tsmb::UniqueHandle initial{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    const tsmb::UniqueHandle changed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    LARGE_INTEGER changedAt = {};

protected:
    void ProcessInitalReaderStates(scardm::ReaderStates&) override { SetEvent(initial.Get()); }
    void ProcessStateChangeInReaderStates(scardm::ReaderStates&) override
    {
        QueryPerformanceCounter(&changedAt);
        SetEvent(changed.Get());
    }
};

double CpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    GetThreadTimes(thread, &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000.0;
}

// Blocks in the service's wait on "Bench Reader" until cancelled.
DWORD WINAPI BlockedWaiter(LPVOID context)
{
    SCARD_READERSTATEW state = {};
    state.szReader = L"Bench Reader";
    SCardGetStatusChangeW(reinterpret_cast<SCARDCONTEXT>(context), 0, &state, 1);
    state.dwCurrentState = state.dwEventState;
    SCardGetStatusChangeW(reinterpret_cast<SCARDCONTEXT>(context), INFINITE, &state, 1);
    return 0;
}

RefPtr<HookedMonitor> Started()
{
    RefPtr<HookedMonitor> m(new HookedMonitor());
    m->Start();
    m->EnableMonitoring();
    WaitForSingleObject(m->initial.Get(), 10000);
    return m;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int insertions = argc > 1 ? _wtoi(argv[1]) : 300;
    const int stops = argc > 2 ? _wtoi(argv[2]) : 50;
    SimReset();
    SimAttachReader(L"Bench Reader");
    const std::vector<double> bareWakeUp = MeasureServiceWakeUp(L"Bench Reader", insertions);
    SimRemoveCard(L"Bench Reader");
    const std::vector<double> bareCancel = MeasureServiceCancel(L"Bench Reader", stops);

    RefPtr<HookedMonitor> monitor = Started();
    std::vector<double> hook;
    for (int i = 0; i < insertions; ++i) {
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        const LARGE_INTEGER before = ToggleCard(L"Bench Reader", i);
        WaitForSingleObject(monitor->changed.Get(), 10000);
        hook.push_back(TicksToMicros(monitor->changedAt.QuadPart - before.QuadPart));
    }

    // CPU time of the worker over two idle seconds, beside a bare thread blocked in the wait.
    double idleCpuMs = 0, bareIdleCpuMs = 0;
    {
        const CardContext context = EstablishContext();
        const tsmb::UniqueHandle bare(
            CreateThread(nullptr, 0, &BlockedWaiter, reinterpret_cast<LPVOID>(context.Get()), 0, nullptr));
        while (SimCountPendingWaits() < 2)
            Sleep(0);
        const double monitorCpu0 = CpuMs(monitor->GetHandle()), bareCpu0 = CpuMs(bare.Get());
        Sleep(2000);
        idleCpuMs = CpuMs(monitor->GetHandle()) - monitorCpu0;
        bareIdleCpuMs = CpuMs(bare.Get()) - bareCpu0;
        SCardCancel(context.Get());
        WaitForSingleObject(bare.Get(), INFINITE);
    }
    monitor->RequestStop();
    monitor->WaitForStop();
    monitor = nullptr;

    std::vector<double> stop;
    for (int i = 0; i < stops; ++i) {
        RefPtr<HookedMonitor> m = Started();
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        m->RequestStop();
        m->WaitForStop();
        QueryPerformanceCounter(&after);
        stop.push_back(TicksToMicros(after.QuadPart - before.QuadPart));
    }
    SimReset();

    ReportLatency("wakeup", L"bare service: insert/remove to the blocked wait's return", bareWakeUp);
    ReportLatency("hook", L"monitor: insert/remove to ProcessStateChangeInReaderStates", hook);
    ReportLatency("cancel", L"bare service: SCardCancel to the end of a thread blocked in the wait", bareCancel);
    ReportLatency("stop", L"monitor: RequestStop to the end of the worker (blocked in the status wait)", stop);
    ReportValue("idlecpu", L"CPU time over 2 s idle: worker %.1f ms, bare blocked thread %.1f ms", idleCpuMs,
                bareIdleCpuMs);
    return 0;
}
