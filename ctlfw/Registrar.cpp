#include "Registrar.h"

#include <objbase.h>

#include <vector>

#include "Module.h"

namespace ctlfw {

namespace {

// The system's registrar, reached through the entry point of atl100.dll (the mingw headers
// declare neither it nor the registrar's interface).
struct RegistryMapEntry {
    LPCOLESTR key;
    LPCOLESTR data;
};
typedef HRESULT(WINAPI* UpdateRegistryFn)(HINSTANCE, LPCOLESTR, BOOL, RegistryMapEntry*, IUnknown*);

// COM for the registrar, also when the caller (a setup tool calling the export) has none.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }

private:
    HRESULT m_hr;
};

}  // namespace

HRESULT UpdateRegistryFromResource(UINT resourceId, bool doRegister, const Replacement* replacements, size_t count)
{
    HRESULT hr = S_OK;
    ComScope com;
    HMODULE atl = LoadLibraryW(L"atl100.dll");
    if (!atl)
        return HRESULT_FROM_WIN32(GetLastError());
    auto update = reinterpret_cast<UpdateRegistryFn>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlUpdateRegistryFromResourceD")));
    if (!update) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        FreeLibrary(atl);
        return hr;
    }
    std::vector<RegistryMapEntry> map;
    for (size_t i = 0; i < count; ++i)
        map.push_back({replacements[i].key, replacements[i].value});
    map.push_back({nullptr, nullptr});
    hr = update(Module::Instance(), MAKEINTRESOURCEW(resourceId), doRegister, map.data(), nullptr);
    FreeLibrary(atl);
    return hr;
}

PerUserClasses::PerUserClasses(bool active)
{
    if (!active)
        return;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &m_classes, nullptr);
    if (result == ERROR_SUCCESS)
        result = RegOverridePredefKey(HKEY_CLASSES_ROOT, m_classes);
    m_result = HRESULT_FROM_WIN32(result);
}

PerUserClasses::~PerUserClasses()
{
    if (!m_classes)
        return;
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(m_classes);
}

}  // namespace ctlfw
