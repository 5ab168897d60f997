#pragma once
// In-place activation: IOleInPlaceObjectWindowless (with IOleInPlaceObject and IOleWindow) and
// IOleInPlaceActiveObject, which share IOleWindow and so one implementation.
#include "ControlBase.h"

namespace ctlfw {

class InPlaceImpl : public IOleInPlaceObjectWindowless, public IOleInPlaceActiveObject, public virtual ControlBase {
public:
    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    // IOleInPlaceObject
    STDMETHODIMP InPlaceDeactivate() override { return DeactivateInPlace(); }
    STDMETHODIMP UIDeactivate() override { return DeactivateUI(); }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }
    // IOleInPlaceObjectWindowless: a windowed control gets no window messages this way.
    STDMETHODIMP OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) override { return S_FALSE; }
    STDMETHODIMP GetDropTarget(IDropTarget** target) override;
    // IOleInPlaceActiveObject
    STDMETHODIMP TranslateAccelerator(LPMSG) override { return S_FALSE; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
};

}  // namespace ctlfw
