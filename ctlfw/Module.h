#pragma once
// The server module: its instance handle and its lock count (live objects, class objects and
// LockServer calls), behind DllCanUnloadNow.
#include <windows.h>

namespace ctlfw {

class Module {
public:
    static void SetInstance(HINSTANCE instance) { s_instance = instance; }
    static HINSTANCE Instance() { return s_instance; }

    static void Lock() { InterlockedIncrement(&s_locks); }
    static void Unlock() { InterlockedDecrement(&s_locks); }
    static LONG LockCount() { return s_locks; }
    static HRESULT CanUnloadNow() { return s_locks == 0 ? S_OK : S_FALSE; }

    // Full path of the module file.
    static HRESULT FileName(wchar_t (&path)[MAX_PATH]);

private:
    static HINSTANCE s_instance;
    static volatile LONG s_locks;
};

}  // namespace ctlfw
