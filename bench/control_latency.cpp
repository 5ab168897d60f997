// Benchmark of the control hosted in the platform's container, against the simulated service:
//  - a card inserted or removed to the page sink's ReportSCardEvent, beside the bare wake-up
//    of a blocked status-change wait (the service's share of it);
//  - handles, threads and USER objects over create-activate-destroy cycles of the control.
//   control_latency.exe [changes] [cycles]
#include "BenchWakeUp.h"
#include "ControlHost.h"

#include <cwchar>

using keyvoratest::ProcessCounts;

int wmain(int argc, wchar_t** argv)
{
    const int changes = argc > 1 ? _wtoi(argv[1]) : 300;
    const int cycles = argc > 2 ? _wtoi(argv[2]) : 200;
    const wchar_t reader[] = L"Bench Reader";
    SimReset();
    SimAttachReader(reader);
    const std::vector<double> bare = MeasureServiceWakeUp(reader, changes);
    SimRemoveCard(reader);

    keyvoratest::ClassRegistration registration;
    std::vector<double> event;
    {
        keyvoratest::EventSink sink;
        keyvoratest::HostedControl host(&sink);
        if (!keyvoratest::PumpUntil([&] { return !sink.events.empty(); }, 10000)) {
            fwprintf(stderr, L"the control reported nothing\n");
            return 1;
        }
        for (int i = 0; i < changes; ++i) {
            // The monitor has left its last wait (it reported); the change goes to its next one.
            while (SimCountPendingWaits() == 0)
                Sleep(0);
            const LARGE_INTEGER before = ToggleCard(reader, i);
            const size_t expected = static_cast<size_t>(i) + 2;
            if (!keyvoratest::PumpUntil([&] { return sink.events.size() >= expected; }, 10000)) {
                fwprintf(stderr, L"no event for change %d\n", i);
                return 1;
            }
            event.push_back(TicksToMicros(sink.events.back().firedAt - before.QuadPart));
        }
    }

    auto cycle = [&] {
        keyvoratest::EventSink sink;
        keyvoratest::HostedControl host(&sink);
        keyvoratest::PumpUntil([&] { return !sink.events.empty(); }, 10000);
    };
    cycle();  // what the first one loads stays loaded
    const ProcessCounts before = keyvoratest::CurrentProcessCounts();
    for (int i = 0; i < cycles; ++i)
        cycle();
    keyvoratest::PumpFor(100);
    const ProcessCounts after = keyvoratest::CurrentProcessCounts();
    SimReset();

    ReportLatency("wakeup", L"bare service: insert/remove to the blocked wait's return", bare);
    ReportLatency("event", L"hosted control: insert/remove to the sink's ReportSCardEvent", event);
    ReportValue("cycles", L"%d create-activate-destroy cycles: handles %lu -> %lu, threads %lu -> %lu, USER objects %lu -> %lu",
                cycles, before.handles, after.handles, before.threads, after.threads, before.userObjects,
                after.userObjects);
    return 0;
}
