#pragma once
// Shared by the benchmark programs: tick conversion and the one-line latency report.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

inline double TicksToMicros(LONGLONG ticks)
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return ticks * 1e6 / frequency;
}

inline void ReportLatency(const wchar_t* what, std::vector<double> micros)
{
    std::sort(micros.begin(), micros.end());
    wprintf(L"%ls over %u runs: median %.0f us, p95 %.0f us, max %.0f us\n", what, static_cast<unsigned>(micros.size()),
            micros[micros.size() / 2], micros[micros.size() * 95 / 100], micros.back());
}
