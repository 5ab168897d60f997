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

HRESULT RegisterModuleTypeLib()
{
    wchar_t path[MAX_PATH];
    HRESULT hr = Module::FileName(path);
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeLib> library;
    hr = LoadTypeLibEx(path, REGKIND_NONE, library.Put());
    if (FAILED(hr))
        return hr;
    return RegisterTypeLib(library.Get(), path, nullptr);
}

HRESULT UnregisterModuleTypeLib()
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
    hr = UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    // Not registered counts as removed.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

}  // namespace ctlfw
