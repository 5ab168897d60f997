#include "ViewObjectImpl.h"

namespace ctlfw {

STDMETHODIMP ViewObjectImpl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                                  BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!dc)
        return E_INVALIDARG;
    DrawInfo info = {dc, {}, aspect};
    if (bounds)
        info.bounds = {bounds->left, bounds->top, bounds->right, bounds->bottom};
    else
        info.bounds = m_position;
    return OnDrawAdvanced(info);
}

STDMETHODIMP ViewObjectImpl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors)
{
    if (colors)
        *colors = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP ViewObjectImpl::Freeze(DWORD, LONG, void*, DWORD* freeze)
{
    if (freeze)
        *freeze = 0;
    return E_NOTIMPL;
}

STDMETHODIMP ViewObjectImpl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink)
{
    m_viewAdviseSink = sink;
    m_viewAdviseAspects = aspects;
    m_viewAdviseFlags = flags;
    return S_OK;
}

STDMETHODIMP ViewObjectImpl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink)
{
    if (aspects)
        *aspects = m_viewAdviseAspects;
    if (flags)
        *flags = m_viewAdviseFlags;
    if (sink)
        m_viewAdviseSink.CopyTo(sink);
    return S_OK;
}

STDMETHODIMP ViewObjectImpl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    *size = m_extent;
    return S_OK;
}

STDMETHODIMP ViewObjectImpl::GetViewStatus(DWORD* status)
{
    if (!status)
        return E_POINTER;
    // Draws nothing: neither opaque nor a solid background.
    *status = 0;
    return S_OK;
}

STDMETHODIMP ViewObjectImpl::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG, DWORD* hit)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!bounds || !hit)
        return E_POINTER;
    *hit = PtInRect(bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

STDMETHODIMP ViewObjectImpl::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG, DWORD* hit)
{
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!bounds || !location || !hit)
        return E_POINTER;
    RECT common;
    *hit = IntersectRect(&common, bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
}

}  // namespace ctlfw
