#include "Registrar.h"

#include <objbase.h>

#include "ComPtr.h"
#include "Module.h"

namespace ctlfw {

// The system's registrar in atl.dll, which every Windows has; the mingw headers declare
// neither its class nor its interface. Not in an unnamed namespace: there the compiler sees
// that nothing implements the interface and drops every call through it as unreachable.
const CLSID CLSID_SystemRegistrar = {0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const IID IID_ISystemRegistrar = {0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

struct ISystemRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
};

namespace {

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
    wchar_t path[MAX_PATH];
    HRESULT hr = Module::FileName(path);
    if (FAILED(hr))
        return hr;
    ComScope com;
    ComPtr<ISystemRegistrar> registrar;
    hr = CoCreateInstance(CLSID_SystemRegistrar, nullptr, CLSCTX_INPROC_SERVER, IID_ISystemRegistrar,
                          reinterpret_cast<void**>(registrar.Put()));
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < count && SUCCEEDED(hr); ++i)
        hr = registrar->AddReplacement(replacements[i].key, replacements[i].value);
    if (SUCCEEDED(hr))
        hr = doRegister ? registrar->ResourceRegister(path, resourceId, L"REGISTRY")
                        : registrar->ResourceUnregister(path, resourceId, L"REGISTRY");
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
