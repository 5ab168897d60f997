// Benchmark of the bare simulated service, the floor of every card figure: how long a blocked
// status-change wait takes to wake after a card is inserted or removed, beside a bare event
// hand-off between two threads in the same run; and SCardCancel to the end of a thread
// blocked in the wait.
//   scardsim_wakeup.exe [runs]
#include "BenchWakeUp.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 300;
    SimReset();
    SimAttachReader(L"Bench Reader");
    const std::vector<double> handOff = MeasureEventHandOff(runs);
    const std::vector<double> wakeUp = MeasureServiceWakeUp(L"Bench Reader", runs);
    SimRemoveCard(L"Bench Reader");
    const std::vector<double> cancel = MeasureServiceCancel(L"Bench Reader", runs);
    SimReset();
    if (wakeUp.empty() || cancel.empty()) {
        fwprintf(stderr, L"no context\n");
        return 1;
    }
    ReportLatency("handoff", L"bare event: SetEvent to the other thread's wait return", handOff);
    ReportLatency("wakeup", L"bare service: insert/remove to the blocked wait's return", wakeUp);
    ReportLatency("cancel", L"bare service: SCardCancel to the end of the thread blocked in the wait", cancel);
    return 0;
}
