#pragma once
// One WinINet handle, of the foundation's family of owners: closed once by its owner (through
// the module's own import of InternetCloseHandle), movable, never copied.
#include <windows.h>
#include <wininet.h>

#include "UniqueHandle.h"

struct InternetHandleTraits {
    using Type = HINTERNET;
    static BOOL Close(HINTERNET handle) { return InternetCloseHandle(handle); }
};

using InternetHandle = tsmb::UniqueResource<InternetHandleTraits>;
