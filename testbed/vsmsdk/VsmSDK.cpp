// Stand-in for the client software's session-control SDK: never shipped. Each export's result
// comes from the environment (VSMSDK_INITIALIZE_RESULT, VSMSDK_DISCONNECT_RESULT,
// VSMSDK_UNINITIALIZE_RESULT; decimal or 0x hex; 0 when unset), read at every call so a test
// can change it between calls. Every call, and the library's loading and unloading, is
// appended as one line to the file named by VSMSDK_LOG:
//   attach | detach | VsmInitialize "<client name>" -> 0x<result> |
//   VsmDisconnectAllSessions -> 0x<result> | VsmUninitialize -> 0x<result>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "StandIn.h"

namespace {

DWORD ConfiguredResult(const char* variable)
{
    char text[32];
    const DWORD length = GetEnvironmentVariableA(variable, text, sizeof(text));
    return (length > 0 && length < sizeof(text)) ? strtoul(text, nullptr, 0) : 0;
}

void Log(const std::string& line) { standin::AppendToLog("VSMSDK_LOG", line); }

DWORD Answer(const std::string& call, const char* variable)
{
    const DWORD result = ConfiguredResult(variable);
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", result);
    Log(call + " -> " + code);
    return result;
}

}  // namespace

extern "C" {

DWORD WINAPI VsmInitialize(const char* clientName)
{
    return Answer(std::string("VsmInitialize \"") + (clientName ? clientName : "(null)") + "\"",
                  "VSMSDK_INITIALIZE_RESULT");
}

DWORD WINAPI VsmDisconnectAllSessions()
{
    return Answer("VsmDisconnectAllSessions", "VSMSDK_DISCONNECT_RESULT");
}

DWORD WINAPI VsmUninitialize()
{
    return Answer("VsmUninitialize", "VSMSDK_UNINITIALIZE_RESULT");
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        Log("attach");
    else if (reason == DLL_PROCESS_DETACH)
        Log("detach");
    return TRUE;
}

}  // extern "C"
