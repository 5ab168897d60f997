#include "InPlaceImpl.h"

namespace ctlfw {

STDMETHODIMP InPlaceImpl::GetWindow(HWND* window)
{
    if (!window)
        return E_POINTER;
    *window = m_hWnd;
    return m_hWnd ? S_OK : E_FAIL;
}

STDMETHODIMP InPlaceImpl::SetObjectRects(LPCRECT position, LPCRECT)
{
    if (!position)
        return E_POINTER;
    return MoveTo(*position);
}

STDMETHODIMP InPlaceImpl::GetDropTarget(IDropTarget** target)
{
    if (!target)
        return E_POINTER;
    *target = nullptr;
    return E_NOTIMPL;
}

}  // namespace ctlfw
