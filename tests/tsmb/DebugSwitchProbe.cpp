// Reads the debug switch for the value name given and exits 1 when tracing is now on, 0 when
// it is off, 2 on bad usage.
#include "RegistryKey.h"
#include "Trace.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    tsmb::ReadDebugSwitch(argv[1]);
    return tsmb::IsTracingEnabled() ? 1 : 0;
}
