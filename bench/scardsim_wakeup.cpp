// Benchmark: how long a blocked status-change wait takes to wake after a card is inserted or
// removed in the simulated service. Prints median, 95th percentile and maximum over the runs.
//   scardsim_wakeup.exe [runs]
#include "BenchWakeUp.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 300;
    SimReset();
    SimAttachReader(L"Bench Reader");
    const std::vector<double> micros = MeasureServiceWakeUp(L"Bench Reader", runs);
    SimReset();
    if (micros.empty()) {
        fwprintf(stderr, L"no context\n");
        return 1;
    }
    ReportLatency(L"wake-up after insert/remove", micros);
    return 0;
}
