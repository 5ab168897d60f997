/* Stand-in for the client software's session-control SDK: never shipped. Each export's result
   comes from the environment (VSMSDK_INITIALIZE_RESULT, VSMSDK_DISCONNECT_RESULT,
   VSMSDK_UNINITIALIZE_RESULT; decimal or 0x hex; 0 when unset), read at every call so a test
   can change it between calls. Every call, and the library's loading and unloading, is
   appended as one line to the file named by VSMSDK_LOG:
     attach | detach | VsmInitialize "<client name>" -> 0x<result> |
     VsmDisconnectAllSessions -> 0x<result> | VsmUninitialize -> 0x<result>
   When VSMSDK_TIMES names a file, each of those events is also appended there as
   "<event> <QueryPerformanceCounter value>" (event: attach, detach, or the export's name),
   the counter read first thing, so a benchmark can tell when the shell reached each call;
   VSMSDK_LOG keeps its lines as they are.
   The shell loads and frees it at every disconnection, so it is C: no C++ runtime whose
   per-module state a 32-bit unload would leave behind. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "StandInLog.h"

static void Log(const char* line)
{
    char text[400];
    const int length = snprintf(text, sizeof(text), "%s\n", line);
    if (length > 0)
        StandInAppendToLog("VSMSDK_LOG", text, (DWORD)(length < (int)sizeof(text) ? length : (int)sizeof(text) - 1));
}

/* The counter is read by the caller on entry: the file work here comes after it. */
static void LogTime(const char* event, LARGE_INTEGER counter)
{
    char text[96];
    const int length = snprintf(text, sizeof(text), "%s %lld\n", event, (long long)counter.QuadPart);
    if (length > 0 && length < (int)sizeof(text))
        StandInAppendToLog("VSMSDK_TIMES", text, (DWORD)length);
}

static LARGE_INTEGER Now(void)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter;
}

static DWORD Answer(const char* call, const char* variable)
{
    char value[32];
    const DWORD valueLength = GetEnvironmentVariableA(variable, value, sizeof(value));
    const DWORD result = (valueLength > 0 && valueLength < sizeof(value)) ? strtoul(value, NULL, 0) : 0;
    char line[360];
    snprintf(line, sizeof(line), "%s -> 0x%08lX", call, (unsigned long)result);
    Log(line);
    return result;
}

DWORD WINAPI VsmInitialize(const char* clientName)
{
    LogTime("VsmInitialize", Now());
    char call[320];
    snprintf(call, sizeof(call), "VsmInitialize \"%s\"", clientName ? clientName : "(null)");
    return Answer(call, "VSMSDK_INITIALIZE_RESULT");
}

DWORD WINAPI VsmDisconnectAllSessions(void)
{
    LogTime("VsmDisconnectAllSessions", Now());
    return Answer("VsmDisconnectAllSessions", "VSMSDK_DISCONNECT_RESULT");
}

DWORD WINAPI VsmUninitialize(void)
{
    LogTime("VsmUninitialize", Now());
    return Answer("VsmUninitialize", "VSMSDK_UNINITIALIZE_RESULT");
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        LogTime("attach", Now());
        Log("attach");
    } else if (reason == DLL_PROCESS_DETACH) {
        LogTime("detach", Now());
        Log("detach");
    }
    return TRUE;
}
