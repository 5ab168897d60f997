#pragma once
// Shared by the card benchmarks: one insertion or removal on the simulated service, timed.
#include <windows.h>

#include "scardsim.h"

// Inserts a card into reader on even rounds and removes it on odd ones; returns the
// performance counter read just before the change.
inline LARGE_INTEGER ToggleCard(const wchar_t* reader, int round)
{
    LARGE_INTEGER before;
    QueryPerformanceCounter(&before);
    if (round % 2 == 0)
        SimInsertCard(reader, nullptr, 0, nullptr, nullptr);
    else
        SimRemoveCard(reader);
    return before;
}
