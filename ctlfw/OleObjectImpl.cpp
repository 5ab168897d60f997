#include "OleObjectImpl.h"

#include <olectl.h>

namespace ctlfw {

STDMETHODIMP OleObjectImpl::SetClientSite(IOleClientSite* site)
{
    // A new site (or none) ends the relation with the old one's in-place site.
    if (site != m_clientSite.Get()) {
        if (m_inPlaceActive)
            DeactivateInPlace();
        m_inPlaceSite.Reset();
    }
    m_clientSite = site;
    return S_OK;
}

STDMETHODIMP OleObjectImpl::GetClientSite(IOleClientSite** site) { return m_clientSite.CopyTo(site); }

STDMETHODIMP OleObjectImpl::Close(DWORD saveOption)
{
    DeactivateInPlace();
    if (m_clientSite && m_dirty && (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE))
        m_clientSite->SaveObject();
    m_inPlaceSite.Reset();
    if (m_oleAdviseHolder)
        m_oleAdviseHolder->SendOnClose();
    // Advise connections end with the running state.
    m_oleAdviseHolder.Reset();
    m_dataAdviseHolder.Reset();
    return S_OK;
}

STDMETHODIMP OleObjectImpl::GetMoniker(DWORD, DWORD, IMoniker** moniker)
{
    if (!moniker)
        return E_POINTER;
    *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OleObjectImpl::GetClipboardData(DWORD, IDataObject** data)
{
    if (!data)
        return E_POINTER;
    *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OleObjectImpl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT position)
{
    if (site && !m_clientSite)
        m_clientSite = site;
    HRESULT hr;
    switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
        hr = ActivateInPlace(verb);
        if (SUCCEEDED(hr) && position)
            MoveTo(*position);
        return hr;
    case OLEIVERB_HIDE:
        DeactivateUI();
        if (m_hWnd)
            ShowWindow(m_hWnd, SW_HIDE);
        return S_OK;
    case OLEIVERB_DISCARDUNDOSTATE:
        return S_OK;
    case OLEIVERB_OPEN:
    case OLEIVERB_PROPERTIES:
        return E_NOTIMPL;
    default:
        return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
    }
}

STDMETHODIMP OleObjectImpl::EnumVerbs(IEnumOLEVERB** verbs)
{
    if (!verbs)
        return E_POINTER;
    return OleRegEnumVerbs(ClassId(), verbs);
}

STDMETHODIMP OleObjectImpl::GetUserClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = ClassId();
    return S_OK;
}

STDMETHODIMP OleObjectImpl::GetUserType(DWORD form, LPOLESTR* userType)
{
    if (!userType)
        return E_POINTER;
    return OleRegGetUserType(ClassId(), form, userType);
}

STDMETHODIMP OleObjectImpl::SetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    if (size->cx != m_extent.cx || size->cy != m_extent.cy) {
        m_extent = *size;
        SetDirty(true);
        NotifyViewChange();
    }
    return S_OK;
}

STDMETHODIMP OleObjectImpl::GetExtent(DWORD aspect, SIZEL* size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    *size = m_extent;
    return S_OK;
}

STDMETHODIMP OleObjectImpl::Advise(IAdviseSink* sink, DWORD* connection)
{
    if (!connection)
        return E_POINTER;
    *connection = 0;
    if (!m_oleAdviseHolder) {
        const HRESULT hr = CreateOleAdviseHolder(m_oleAdviseHolder.Put());
        if (FAILED(hr))
            return hr;
    }
    return m_oleAdviseHolder->Advise(sink, connection);
}

STDMETHODIMP OleObjectImpl::Unadvise(DWORD connection)
{
    return m_oleAdviseHolder ? m_oleAdviseHolder->Unadvise(connection) : OLE_E_NOCONNECTION;
}

STDMETHODIMP OleObjectImpl::EnumAdvise(IEnumSTATDATA** advise)
{
    if (!advise)
        return E_POINTER;
    *advise = nullptr;
    return m_oleAdviseHolder ? m_oleAdviseHolder->EnumAdvise(advise) : E_FAIL;
}

STDMETHODIMP OleObjectImpl::GetMiscStatus(DWORD aspect, DWORD* status)
{
    if (!status)
        return E_POINTER;
    // The declared status, so that a container sees it before (and without) registration.
    *status = aspect == DVASPECT_CONTENT ? MiscStatus() : 0;
    return S_OK;
}

}  // namespace ctlfw
