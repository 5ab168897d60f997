#include "ProcessImage.h"

#include <psapi.h>

#include <cwchar>
#include <new>
#include <vector>

#include "UniqueHandle.h"

namespace tsmb {
namespace {

const DWORD kSnapshotStep = 1024;

// The process identifiers of one snapshot; false when it could not be taken.
bool TakeProcessSnapshot(std::vector<DWORD>& ids)
{
    DWORD bufferSize = 0;
    DWORD returned = 0;
    try {
        // A full buffer may mean a cut list: grow and take the snapshot again.
        do {
            bufferSize += kSnapshotStep;
            ids.assign(bufferSize / sizeof(DWORD), 0);
            if (!EnumProcesses(ids.data(), bufferSize, &returned))
                return false;
        } while (returned == bufferSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    ids.resize(returned / sizeof(DWORD));
    return true;
}

}  // namespace

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

bool ForEachProcessBaseName(DWORD extraAccess, const ProcessAction& action)
{
    std::vector<DWORD> ids;
    if (!TakeProcessSnapshot(ids))
        return false;
    for (const DWORD id : ids) {
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | extraAccess, FALSE, id));
        if (!process)
            continue;
        std::wstring baseName;
        if (GetProcessBaseName(process.Get(), baseName))
            action(baseName.c_str(), process.Get());
    }
    return true;
}

}  // namespace tsmb
