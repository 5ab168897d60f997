#pragma once
// The quiet registry read: a value's type and bytes, without tracing or throwing, for
// configuration whose absence is an ordinary default. tsmb::RegistryKey's quiet forms are built
// on it; header-only, so that a program that needs nothing else of the foundation (Tumblet)
// takes no more than this for its reads.
#include <windows.h>

#include "UniqueHandle.h"

#include <new>
#include <vector>

namespace tsmb {

// The value's type and bytes (none for an empty value); false when it cannot be read.
inline bool TryQueryRegistryValue(HKEY key, const wchar_t* valueName, std::vector<BYTE>& data, DWORD& type)
{
    data.clear();
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (RegQueryValueExW(key, valueName, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
        data.clear();
        return false;
    }
    // The value may have shrunk between the two calls.
    data.resize(size);
    return true;
}

// The same from root\path, opened with access exactly as given (no view flag added).
inline bool TryReadRegistryValue(HKEY root, const wchar_t* path, const wchar_t* valueName, REGSAM access,
                                 std::vector<BYTE>& data, DWORD& type)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(root, path, 0, access, key.Put()) != ERROR_SUCCESS) {
        key.Release();
        return false;
    }
    return TryQueryRegistryValue(key.Get(), valueName, data, type);
}

}  // namespace tsmb
