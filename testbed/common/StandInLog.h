#pragma once
/* The test bed's one-line call log, in C: a stand-in that is loaded and freed again and again
   (the session-control SDK) is written in C, because a 32-bit DLL that carries the C++ runtime
   leaves handles behind at every unload. */
#include <windows.h>

/* Appends text (its line end included, written in one piece so that processes sharing the
   log do not interleave) to the file named by the environment variable; nothing when unset. */
static inline void StandInAppendToLog(const char* variable, const char* text, DWORD length)
{
    char path[MAX_PATH];
    const DWORD pathLength = GetEnvironmentVariableA(variable, path, MAX_PATH);
    if (pathLength == 0 || pathLength >= MAX_PATH)
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text, length, &written, NULL);
    CloseHandle(file);
}
