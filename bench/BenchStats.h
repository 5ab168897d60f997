#pragma once
// Shared by the benchmark programs: tick conversion and the report lines. Every line starts
// with a short key and a colon ("wakeup: ..."), so that bench/run.py can pick the figures out
// and set each beside its baseline of the same run.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
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

inline LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// "key: what over N runs: median A us, p95 B us, max C us"; nothing when there are no runs.
inline void ReportLatency(const char* key, const wchar_t* what, std::vector<double> micros)
{
    if (micros.empty()) {
        wprintf(L"%hs: %ls: no runs\n", key, what);
        return;
    }
    std::sort(micros.begin(), micros.end());
    wprintf(L"%hs: %ls over %u runs: median %.1f us, p95 %.1f us, max %.1f us\n", key, what,
            static_cast<unsigned>(micros.size()), micros[micros.size() / 2], micros[micros.size() * 95 / 100],
            micros.back());
}

// "key: <text>", printf-style: counts and other figures that are no latency.
inline void ReportValue(const char* key, const wchar_t* format, ...)
{
    wprintf(L"%hs: ", key);
    va_list args;
    va_start(args, format);
    vwprintf(format, args);
    va_end(args);
    wprintf(L"\n");
}
