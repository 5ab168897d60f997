#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace tsmb {
namespace {

// Only ever goes from false to true, so an unlocked read is at worst a little late.
volatile bool g_enabled = false;

// Written by the host's start-up code before any tracing worker starts; a fixed buffer so
// that a later assignment of the same text never frees memory another thread is reading.
wchar_t g_prefix[64] = L"";

class TraceLock {
public:
    TraceLock() { InitializeCriticalSection(&m_section); }
    ~TraceLock() { DeleteCriticalSection(&m_section); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

// Built during static initialisation of the module, before any code of the program runs.
TraceLock g_lock;

}  // namespace

void EnableTracing() { g_enabled = true; }

bool IsTracingEnabled() { return g_enabled; }

void SetComponentPrefix(const wchar_t* prefix)
{
    wcsncpy(g_prefix, prefix ? prefix : L"", sizeof(g_prefix) / sizeof(g_prefix[0]) - 1);
    g_prefix[sizeof(g_prefix) / sizeof(g_prefix[0]) - 1] = L'\0';
}

const wchar_t* GetComponentPrefix() { return g_prefix; }

}  // namespace tsmb

void Trace(const char* format, ...)
{
    if (!tsmb::g_enabled || format == nullptr)
        return;

    const DWORD savedError = GetLastError();
    tsmb::g_lock.Enter();

    char message[tsmb::TRACE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    // The runtime's own _vsnprintf: "%S" is a wide string there. It leaves the buffer
    // unterminated when the message is cut, so the last byte is always set here.
    const int written = _vsnprintf(message, sizeof(message) - 1, format, args);
    va_end(args);
    message[sizeof(message) - 1] = '\0';
    if (written >= 0 && static_cast<size_t>(written) < sizeof(message) - 1)
        message[written] = '\0';

    fputs("\n[", stdout);
    fputs(message, stdout);
    fputc(']', stdout);
    fflush(stdout);
    OutputDebugStringA(message);

    tsmb::g_lock.Leave();
    SetLastError(savedError);
}
