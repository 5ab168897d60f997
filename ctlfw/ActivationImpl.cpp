#include "ActivationImpl.h"

#include "TypeLibrary.h"

namespace ctlfw {

namespace {

template <class I>
HRESULT QueryOwn(ObjectIdentity& object, REFIID iid, ComPtr<I>& out)
{
    return object.ControllingUnknown()->QueryInterface(iid, reinterpret_cast<void**>(out.Put()));
}

}  // namespace

STDMETHODIMP QuickActivateImpl::QuickActivate(QACONTAINER* container, QACONTROL* control)
{
    if (!container || !control)
        return E_POINTER;
    if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL))
        return E_INVALIDARG;

    ComPtr<IOleObject> oleObject;
    HRESULT hr = QueryOwn(*this, IID_IOleObject, oleObject);
    if (FAILED(hr))
        return hr;
    hr = oleObject->SetClientSite(container->pClientSite);
    if (FAILED(hr))
        return hr;
    if (container->pAdviseSink) {
        ComPtr<IViewObject> view;
        if (SUCCEEDED(QueryOwn(*this, IID_IViewObject, view)))
            view->SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    }

    const ULONG size = control->cbSize;
    ZeroMemory(control, size);
    control->cbSize = size;
    control->dwMiscStatus = MiscStatus();
    ComPtr<IViewObjectEx> viewEx;
    if (SUCCEEDED(QueryOwn(*this, IID_IViewObjectEx, viewEx)))
        viewEx->GetViewStatus(&control->dwViewStatus);

    // The container's event sink goes to the default source interface.
    if (container->pUnkEventSink) {
        ComPtr<IProvideClassInfo2> classInfo;
        ComPtr<IConnectionPointContainer> points;
        ComPtr<IConnectionPoint> point;
        IID source;
        if (SUCCEEDED(QueryOwn(*this, IID_IProvideClassInfo2, classInfo)) &&
            SUCCEEDED(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source)) &&
            SUCCEEDED(QueryOwn(*this, IID_IConnectionPointContainer, points)) &&
            SUCCEEDED(points->FindConnectionPoint(source, point.Put())))
            point->Advise(container->pUnkEventSink, &control->dwEventCookie);
    }
    return S_OK;
}

STDMETHODIMP QuickActivateImpl::SetContentExtent(LPSIZEL size)
{
    if (!size)
        return E_POINTER;
    m_extent = *size;
    return S_OK;
}

STDMETHODIMP QuickActivateImpl::GetContentExtent(LPSIZEL size)
{
    if (!size)
        return E_POINTER;
    *size = m_extent;
    return S_OK;
}

STDMETHODIMP DataObjectImpl::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out)
{
    if (out)
        out->ptd = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP DataObjectImpl::EnumFormatEtc(DWORD, IEnumFORMATETC** formats)
{
    if (formats)
        *formats = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP DataObjectImpl::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection)
{
    if (!connection)
        return E_POINTER;
    *connection = 0;
    if (!m_dataAdviseHolder) {
        const HRESULT hr = CreateDataAdviseHolder(m_dataAdviseHolder.Put());
        if (FAILED(hr))
            return hr;
    }
    ComPtr<IDataObject> self;
    QueryOwn(*this, IID_IDataObject, self);
    return m_dataAdviseHolder->Advise(self.Get(), format, flags, sink, connection);
}

STDMETHODIMP DataObjectImpl::DUnadvise(DWORD connection)
{
    return m_dataAdviseHolder ? m_dataAdviseHolder->Unadvise(connection) : OLE_E_NOCONNECTION;
}

STDMETHODIMP DataObjectImpl::EnumDAdvise(IEnumSTATDATA** advise)
{
    if (!advise)
        return E_POINTER;
    *advise = nullptr;
    return m_dataAdviseHolder ? m_dataAdviseHolder->EnumAdvise(advise) : OLE_E_ADVISENOTSUPPORTED;
}

STDMETHODIMP ProvideClassInfoImpl::GetClassInfo(ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    ComPtr<ITypeInfo> typeInfo;
    const HRESULT hr = LoadModuleTypeInfo(ClassId(), typeInfo);
    return FAILED(hr) ? hr : typeInfo.CopyTo(info);
}

STDMETHODIMP ProvideClassInfoImpl::GetGUID(DWORD kind, GUID* guid)
{
    if (!guid)
        return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = DefaultSourceIid();
    return S_OK;
}

STDMETHODIMP ObjectSafetyImpl::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled)
{
    if (!supported || !enabled)
        return E_POINTER;
    *supported = *enabled = 0;
    ComPtr<IUnknown> answered;
    if (FAILED(QueryOwn(*this, iid, answered)))
        return E_NOINTERFACE;
    *supported = SupportedSafetyOptions();
    *enabled = m_safetyOptions;
    return S_OK;
}

STDMETHODIMP ObjectSafetyImpl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled)
{
    ComPtr<IUnknown> answered;
    if (FAILED(QueryOwn(*this, iid, answered)))
        return E_NOINTERFACE;
    // An option the control does not support cannot be asked for.
    if (mask & ~SupportedSafetyOptions())
        return E_FAIL;
    m_safetyOptions = (m_safetyOptions & ~mask) | (enabled & mask);
    return S_OK;
}

}  // namespace ctlfw
