#pragma once
// Process-wide diagnostic trace. Off until the debug switch turns it on; when off a call
// costs one flag test and formats nothing.
#include <windows.h>

namespace tsmb {

// Fixed size of the formatting buffer; a longer message is cut to fit.
constexpr size_t TRACE_BUFFER_SIZE = 4096;

void EnableTracing();
bool IsTracingEnabled();

// The running component's name ("SCardAuth", "SCardAmbrel"), read by the "%S" that opens the
// foundation's and the monitoring framework's trace formats.
void SetComponentPrefix(const wchar_t* prefix);
const wchar_t* GetComponentPrefix();

}  // namespace tsmb

// printf-style; "%S" takes a wide string, "%s" a narrow one, "%ld" a 32-bit long.
// Each line goes to standard output as "\n[message]" and to OutputDebugStringA as the bare
// message. Never throws and leaves GetLastError as it found it.
void Trace(const char* format, ...);

using tsmb::EnableTracing;
