#include "TypeLibrary.h"

#include "Module.h"

namespace ctlfw {

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& library)
{
    wchar_t path[MAX_PATH];
    const HRESULT hr = Module::FileName(path);
    if (FAILED(hr))
        return hr;
    return LoadTypeLibEx(path, REGKIND_NONE, library.Put());
}

HRESULT LoadModuleTypeInfo(REFGUID guid, ComPtr<ITypeInfo>& info)
{
    ComPtr<ITypeLib> library;
    const HRESULT hr = LoadModuleTypeLib(library);
    if (FAILED(hr))
        return hr;
    return library->GetTypeInfoOfGuid(guid, info.Put());
}

namespace {

typedef HRESULT(WINAPI* RegisterForUserFn)(ITypeLib*, OLECHAR*, OLECHAR*);
typedef HRESULT(WINAPI* UnregisterForUserFn)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The per-user function of oleaut32, or nullptr where the system has none (before Vista SP1,
// where the plain function follows the redirected classes root).
template <class F>
F OleAutomationExport(const char* name)
{
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    return oleaut ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(oleaut, name))) : nullptr;
}

}  // namespace

HRESULT RegisterModuleTypeLib(bool perUser)
{
    wchar_t path[MAX_PATH];
    HRESULT hr = Module::FileName(path);
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeLib> library;
    hr = LoadTypeLibEx(path, REGKIND_NONE, library.Put());
    if (FAILED(hr))
        return hr;
    if (perUser) {
        if (RegisterForUserFn forUser = OleAutomationExport<RegisterForUserFn>("RegisterTypeLibForUser"))
            return forUser(library.Get(), path, nullptr);
    }
    return RegisterTypeLib(library.Get(), path, nullptr);
}

HRESULT UnregisterModuleTypeLib(bool perUser)
{
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLib(library);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr))
        return hr;
    const TLIBATTR a = *attributes;
    library->ReleaseTLibAttr(attributes);
    UnregisterForUserFn forUser =
        perUser ? OleAutomationExport<UnregisterForUserFn>("UnRegisterTypeLibForUser") : nullptr;
    hr = forUser ? forUser(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind)
                 : UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    // Not registered counts as removed.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

}  // namespace ctlfw
