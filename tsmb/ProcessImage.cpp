#include "ProcessImage.h"

#include <psapi.h>

#include <cwchar>

namespace tsmb {

bool GetProcessBaseName(HANDLE process, std::wstring& baseName)
{
    HMODULE module = nullptr;
    DWORD needed = 0;
    wchar_t name[MAX_PATH] = {};
    if (EnumProcessModules(process, &module, sizeof(module), &needed) && GetModuleBaseNameW(process, module, name, MAX_PATH)) {
        baseName = name;
        return true;
    }
    // Image paths may be longer than MAX_PATH; the base name is what counts.
    wchar_t path[32768];
    DWORD length = ARRAYSIZE(path);
    if (!QueryFullProcessImageNameW(process, 0, path, &length))
        return false;
    const wchar_t* slash = wcsrchr(path, L'\\');
    baseName = slash ? slash + 1 : path;
    return true;
}

}  // namespace tsmb
