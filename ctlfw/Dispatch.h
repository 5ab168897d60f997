#pragma once
// IDispatch for a dual interface I, driven by the module's type library: names, dispatch ids
// and argument coercion all come from ITypeInfo, which calls I's vtable.
#include <oaidl.h>

#include "ComPtr.h"
#include "TypeLibrary.h"

namespace ctlfw {

template <class I, const IID* Iid>
class DispatchImpl : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        const HRESULT hr = EnsureTypeInfo();
        return FAILED(hr) ? hr : m_typeInfo.CopyTo(info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        if (!IsEqualIID(iid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        const HRESULT hr = EnsureTypeInfo();
        return FAILED(hr) ? hr : m_typeInfo->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override
    {
        if (!IsEqualIID(iid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        const HRESULT hr = EnsureTypeInfo();
        if (FAILED(hr))
            return hr;
        return m_typeInfo->Invoke(static_cast<I*>(this), id, flags, params, result, exception, argumentError);
    }

private:
    HRESULT EnsureTypeInfo()
    {
        return m_typeInfo ? S_OK : LoadModuleTypeInfo(*Iid, m_typeInfo);
    }

    ComPtr<ITypeInfo> m_typeInfo;
};

}  // namespace ctlfw
