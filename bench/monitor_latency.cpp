// Benchmark of the card-monitoring worker against the simulated service:
//  - insertion or removal to the subclass hook,
//  - RequestStop to the end of the worker,
//  - the worker's CPU time while nothing changes.
//   monitor_latency.exe [insertions] [stops]
#include "BenchCard.h"
#include "BenchStats.h"
#include "SCardMonitoringThread.h"

#include <cwchar>

namespace {

class HookedMonitor : public scardm::SCardMonitoringThread {
public:
    HANDLE initial = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    LARGE_INTEGER changedAt = {};
    ~HookedMonitor() override
    {
        CloseHandle(initial);
        CloseHandle(changed);
    }

protected:
    void ProcessInitalReaderStates(scardm::ReaderStates&) override { SetEvent(initial); }
    void ProcessStateChangeInReaderStates(scardm::ReaderStates&) override
    {
        QueryPerformanceCounter(&changedAt);
        SetEvent(changed);
    }
};

RefPtr<HookedMonitor> Started()
{
    RefPtr<HookedMonitor> m(new HookedMonitor());
    m->Start();
    m->EnableMonitoring();
    WaitForSingleObject(m->initial, 10000);
    return m;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int insertions = argc > 1 ? _wtoi(argv[1]) : 300;
    const int stops = argc > 2 ? _wtoi(argv[2]) : 50;
    SimReset();
    SimAttachReader(L"Bench Reader");

    RefPtr<HookedMonitor> monitor = Started();
    std::vector<double> hook;
    for (int i = 0; i < insertions; ++i) {
        while (SimCountPendingWaits() == 0)
            Sleep(0);
        const LARGE_INTEGER before = ToggleCard(L"Bench Reader", i);
        WaitForSingleObject(monitor->changed, 10000);
        hook.push_back(TicksToMicros(monitor->changedAt.QuadPart - before.QuadPart));
    }

    // CPU time of the worker over two idle seconds.
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    GetThreadTimes(monitor->GetHandle(), &created, &exited, &kernel0, &user0);
    Sleep(2000);
    GetThreadTimes(monitor->GetHandle(), &created, &exited, &kernel1, &user1);
    auto ticks = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    const double idleCpuMs = (ticks(kernel1) - ticks(kernel0) + ticks(user1) - ticks(user0)) / 10000.0;
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

    ReportLatency(L"insertion or removal to ProcessStateChangeInReaderStates", hook);
    ReportLatency(L"RequestStop to the end of the worker (blocked in the status wait)", stop);
    wprintf(L"worker CPU time while idle for 2 s: %.1f ms\n", idleCpuMs);
    return 0;
}
