#include "Module.h"

namespace ctlfw {

HINSTANCE Module::s_instance = nullptr;
volatile LONG Module::s_locks = 0;

HRESULT Module::FileName(wchar_t (&path)[MAX_PATH])
{
    const DWORD length = GetModuleFileNameW(s_instance, path, MAX_PATH);
    if (length == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

}  // namespace ctlfw
